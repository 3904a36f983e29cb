#!/usr/bin/env bash
# A simulated show: MACHINES network namespaces on one bridge (in a switch
# namespace of their own, 10.78.0.0/24), a Wine prefix and wineserver each,
# every machine running tools/programs/traffic_peer.cpp with OUTPUTS output
# and INPUTS input ports of one show, all sending at RATE stamped messages a
# second per port for SECONDS. Adds up what every input port received from
# every output port: nothing may be lost or repeated; prints the one-way
# latency, and each machine's handles, private memory and driver heap at
# the start, at the peak and after its ports closed.
#
#   tools/show-test.sh [--machines N] [--outputs N] [--inputs N] [--rate R]
#                      [--seconds S] [--mixed] [--reopen S] [--lossy] [--compare] [build]
#
# --compare runs two machines first and then MACHINES, in the same run.
# --lossy reports lost messages and damaged dumps without failing (a long
# run on a busy host: UDP drops what a starved receiver cannot take); a
# repeat, a crash, a hang or a leak still fails.
# The soak is: --machines 2 --seconds 3600 --rate 300 --mixed --reopen 120 --lossy.
# Root (or sudo); nothing leaves the namespaces it makes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
machines=8 outputs=2 inputs=2 rate=50 seconds=20 compare=0 lossy=0 extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --machines) machines=$2; shift 2 ;;
    --outputs) outputs=$2; shift 2 ;;
    --inputs) inputs=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --mixed) extra+=(--mixed); shift ;;
    --reopen) extra+=(--reopen "$2"); shift 2 ;;
    --lossy) extra+=(--lossy); lossy=1; shift ;;
    --compare) compare=1; shift ;;
    *) break ;;
  esac
done
build=$(cd "${1:-${TESSMAR_BUILD:-$root/build}}" && pwd)
programs=$build/tests
if [ ! -f "$programs/traffic_peer.exe" ]; then echo "show-test: run tools/build.sh first" >&2; exit 2; fi
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi

. "$root/tools/wine-env.sh"
work=$build/show
mkdir -p "$work"
tag=tss$$
switch=$tag-sw
space() { echo "$tag-m$1"; }
prefix() { echo "$work/machine-$1"; }
on() {
  local i=$1; shift
  ip netns exec "$(space "$i")" env TESSMAR_IN_NETNS=1 "$root/tools/wine-env.sh" "$(prefix "$i")" "$@"
}
cleanup() {
  set +e
  for i in $(seq "$machines"); do
    (wine_env "$(prefix "$i")" && wine_server_stop)
    ip netns del "$(space "$i")" 2>/dev/null
  done
  ip netns del "$switch" 2>/dev/null
  return 0
}
trap cleanup EXIT

# The switch, and each machine on it through a veth pair made inside the
# switch namespace: nothing is attached to the namespace this ran from.
ip netns add "$switch"
ip -n "$switch" link add br0 type bridge
ip -n "$switch" link set br0 up
for i in $(seq "$machines"); do
  ip netns add "$(space "$i")"
  ip -n "$switch" link add "p$i" type veth peer name eth0 netns "$(space "$i")"
  ip -n "$switch" link set "p$i" master br0 up
  ip -n "$(space "$i")" addr add "10.78.0.$i/24" dev eth0
  ip -n "$(space "$i")" link set eth0 up
  ip -n "$(space "$i")" link set lo up
  (wine_env "$(prefix "$i")" && wine_server_stop)
  on "$i" wine_prepare
  on "$i" wine_server_start
done

# Runs the peers of machines 1..$1 together; prints the summary and
# returns non-zero when anything was lost, repeated or leaked.
show() {
  local count=$1 go=$work/go pids=()
  rm -f "$go" "$work"/peer-*.log
  for i in $(seq "$count"); do
    (cd "$programs" && on "$i" "$wine_bin" traffic_peer.exe "$i" "$outputs" "$inputs" "$rate" "$seconds" \
      "${extra[@]}" --go 'Z:'"${go//\//\\}") >"$work/peer-$i.log" 2>&1 &
    pids+=($!)
  done
  for i in $(seq "$count"); do
    for _ in $(seq 600); do grep -q '^READY' "$work/peer-$i.log" && break; sleep 0.1; done
    grep -q '^READY' "$work/peer-$i.log" || { echo "show-test: machine $i did not start" >&2; cat "$work/peer-$i.log" >&2; return 1; }
  done
  touch "$go"
  local status=0
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
  echo "== $count machines, $outputs output and $inputs input ports each, $rate messages/s per output port, $seconds s"
  local reopen=0
  if [[ " ${extra[*]} " == *" --reopen "* ]]; then reopen=1; fi
  cat "$work"/peer-*.log | tr -d '\r' | awk -v machines="$count" -v inputs="$inputs" -v reopen="$reopen" -v lossy="$lossy" '
    $1 == "sent" { sent[$2 " " $3] = $4; senders++ }
    $1 == "recv" { key = $4 " " $5; got[key] += $7; rep += $9; gap += $11; seen[key]++ }
    $1 == "latency" { printf "machine %d: latency median %.3f ms, 99th percentile %.3f ms, worst %.3f ms\n", $2, $4, $6, $8 }
    $1 == "figures" { printf "machine %d: handles %d/%d/%d, private MiB %.1f/%.1f/%.1f, driver heap bytes %d/%d/%d (start/peak/end)\n", $2, $4, $8, $12, $5/1048576, $9/1048576, $13/1048576, $6, $10, $14 }
    $1 == "dumps" { intact += $4; damaged += $6 }
    $1 == "FAULT:" { print; faults++ }
    END {
      # With ports reopened now and then, what was sent while a port was
      # closed is missed by design: counted, not a fault.
      for (key in sent) { want = sent[key] * machines * inputs; total += want; delivered += got[key]
        if (!reopen && !lossy && (got[key] != want || seen[key] != machines * inputs)) { printf "stream %s: %d of %d delivered\n", key, got[key], want; lost++ } }
      printf "delivered %d messages of %d sent to all input ports; repeats %d, gaps %d, streams short %d; dumps intact %d, damaged %d\n", delivered, total, rep, gap, lost, intact, damaged
      exit (rep || faults || (!lossy && (lost || gap || damaged))) }' || status=1
  grep -h '^RESULT' "$work"/peer-*.log | tr -d '\r' | sort | uniq -c
  return $status
}

status=0
if [ "$compare" = 1 ] && [ "$machines" -gt 2 ]; then show 2 || status=1; fi
show "$machines" || status=1
echo "RESULT: $([ "$status" -eq 0 ] && echo OK || echo FAILED)"
exit $status
