#!/usr/bin/env bash
# Two simulated machines joined by a private link: network namespaces A
# (10.77.0.1/24) and B (10.77.0.2/24) made by this script and joined by a
# veth pair, each with its own Wine prefix whose wineserver is started
# inside its namespace, so every socket of a machine lives there. Machine B
# configures three input ports with `tessmar config` (same show with a
# shared group, same show with other groups, another show) and watches each
# with `tessmar monitor`; machine A configures an output port and plays
# tools/demo-phrase.txt and two long system-exclusive dumps into it with
# `tessmar send`. Prints both sides with time stamps and exits 0 only if
# exactly what A played reached B's first port, in order and intact, and
# nothing reached the other two.
#
# With --bench (UDP only) the machines then measure latency and throughput
# with `tessmar bench`: B echoes on an output port of its own, A times it.
#
# With --tcp the machines use the TCP transport: A's output port connects to
# B (10.77.0.2), and B opens only its first port (one connection).
#
# Usage: tools/twomachines-test.sh [--tcp | --bench] [build-folder]   (root, or sudo)
# The build folder is the one tools/build.sh filled (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
transport=()
bench=()
while [ "${1:-}" = --tcp ] || [ "${1:-}" = --bench ]; do
  if [ "$1" = --tcp ]; then transport=(--tcp); else bench=(--bench); fi
  shift
done
build=${1:-${TESSMAR_BUILD:-$root/build}}
build=$(cd "$build" && pwd)
product=$build/x86_64
if [ ! -f "$product/tessmar.exe" ] || [ ! -f "$product/Tessmar.dll" ]; then
  echo "twomachines: $product has no tessmar.exe / Tessmar.dll; run tools/build.sh" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "${transport[@]}" "${bench[@]}" "$build"; fi

. "$root/tools/wine-env.sh"
work=$build/twomachines          # the prefixes stay for the next run
mkdir -p "$work"
tag=tsm$$
monitors=()
names=(A B)
spaces=("$tag-a" "$tag-b")
addresses=(10.77.0.1 10.77.0.2)
prefixes=("$work/machine-a" "$work/machine-b")

# Runs a command on one machine: inside its namespace, with its prefix.
on() {
  local i=$1; shift
  ip netns exec "${spaces[$i]}" env TESSMAR_IN_NETNS=1 \
    "$root/tools/wine-env.sh" "${prefixes[$i]}" "$@"
}

# Stops the server of one machine's prefix, wherever it runs.
stop_server() {
  (wine_env "${prefixes[$1]}" && wine_server_stop)
}

cleanup() {
  set +e
  for i in 0 1; do
    stop_server "$i"
    ip netns del "${spaces[$i]}" 2>/dev/null
  done
  for pid in "${monitors[@]}"; do kill "$pid" 2>/dev/null; done
  return 0
}
trap cleanup EXIT

# The private link. The veth pair is made inside A, so nothing is ever
# attached to the namespace this script was started in.
for i in 0 1; do ip netns add "${spaces[$i]}"; done
ip -n "${spaces[0]}" link add veth-a type veth peer name veth-b netns "${spaces[1]}"
for i in 0 1; do
  dev=veth-$(echo "${names[$i]}" | tr AB ab)
  ip -n "${spaces[$i]}" addr add "${addresses[$i]}/24" dev "$dev"
  ip -n "${spaces[$i]}" link set "$dev" up
  ip -n "${spaces[$i]}" link set lo up
  # Only loopback and the link may exist on a machine.
  if ip -n "${spaces[$i]}" -o link show | grep -v -e ': lo:' -e ": $dev@" | grep -q .; then
    echo "twomachines: unexpected interface on machine ${names[$i]}" >&2; exit 2
  fi
done

# Each prefix gets a wineserver of its own inside its machine's namespace
# (a server still running elsewhere for the prefix is stopped first).
for i in 0 1; do
  stop_server "$i"
  on "$i" wine_prepare
  on "$i" wine_server_start
done

# tessmar on one machine, with the DLL of this build.
tessmar() {
  local i=$1; shift
  (cd "$product" && on "$i" "$wine_bin" tessmar.exe "$@" --dll Tessmar.dll) | tr -d '\r'
}

# Long lines (the dumps) shortened for the screen, their byte count kept.
shorten() { awk '{ n = index($0, "#"); if (length($0) > 100) $0 = substr($0, 1, 72) " ..." (n ? " " substr($0, n) : ""); print }'; }

# What A plays: the phrase, then a 1 KiB and a 64 KiB dump (3 and 171 packets).
phrase=$work/phrase.txt
dump() { seq 1 "$1" | awk -v k="$2" '{ printf " %02X", ($1 * 3 + k) % 128 }'; }
{ cat "$root/tools/demo-phrase.txt"; echo "+200 syx$(dump 1022 1)"; echo "+200 syx$(dump 65534 2)"; } >"$phrase"
# What B's first port must show: the same messages without waits or comments.
expected=$work/expected.txt
sed -E 's/#.*//; s/\+[0-9]+ *//g; s/ +$//; /^$/d' "$phrase" >"$expected"
count=$(wc -l <"$expected")

ports=("Monitor (Opera 2+3)" "Lights (Opera 4)" "Ballet desk (Ballet 1+2)")
shows=(Opera Opera Ballet)
groups=(2,3 4 1,2)
mode=udp
if [ ${#transport[@]} -gt 0 ]; then mode=tcp; fi
for i in 0 1; do on "$i" "$wine_bin" reg delete 'HKLM\Software\Kalvera\Tessmar' /f >/dev/null 2>&1 || true; done

echo "== machine B (${addresses[1]}): three input ports =="
for p in 0 1 2; do tessmar 1 config add in "${ports[$p]}" --show "${shows[$p]}" --groups "${groups[$p]}" >/dev/null; done
tessmar 1 config transport "$mode" "${addresses[1]}" >/dev/null
tessmar 1 list
watched=3
if [ "$mode" = tcp ]; then watched=1; fi   # a process has one TCP connection
monitors=()
for ((p = 0; p < watched; p++)); do
  if [ "$p" -eq 0 ]; then limit=(--count "$count" --timeout 40); else limit=(--timeout 15); fi
  tessmar 1 monitor --port "${ports[$p]}" "${limit[@]}" >"$work/port$p.log" 2>"$work/port$p.err" &
  monitors+=($!)
done
for ((p = 0; p < watched; p++)); do
  for _ in $(seq 600); do grep -q '^monitoring' "$work/port$p.err" && break; sleep 0.1; done
  if ! grep -q '^monitoring' "$work/port$p.err"; then
    echo "twomachines: machine B's monitor of port $p did not start" >&2; cat "$work/port$p.err" >&2; exit 1
  fi
done

echo "== machine A (${addresses[0]}): output port 'Stage out', show Opera, groups 1 and 2 =="
tessmar 0 config add out "Stage out" --show Opera --groups 1,2 >/dev/null
tessmar 0 config transport "$mode" "${addresses[$([ "$mode" = tcp ] && echo 1 || echo 0)]}" >/dev/null
sent=0
tessmar 0 send --verbose --port "Stage out" - <"$phrase" | shorten || sent=$?

status=0
for ((p = 0; p < watched; p++)); do
  code=0
  wait "${monitors[$p]}" || code=$?
  if [ "$p" -eq 0 ] && [ "$code" -ne 0 ]; then echo "twomachines: port 0 monitor ended with $code" >&2; status=1; fi
  if [ "$p" -gt 0 ] && [ -s "$work/port$p.log" ]; then echo "twomachines: port $p received MIDI" >&2; status=1; fi
done
monitors=()
echo "== machine B received on '${ports[0]}' (time stamps: ms since its port started) =="
shorten <"$work/port0.log"
if ! diff <(sed -E 's/^@[0-9]+ //; s/ *#.*//' "$work/port0.log") "$expected" >"$work/diff.txt"; then
  echo "twomachines: port 0 did not receive exactly what A played:" >&2
  cut -c1-100 "$work/diff.txt" | head -20 >&2; status=1
fi
for ((p = 1; p < watched; p++)); do echo "port '${ports[$p]}': $(wc -l <"$work/port$p.log") messages"; done
if [ "$sent" -ne 0 ]; then echo "twomachines: machine A failed to send ($sent)" >&2; status=1; fi
if [ ${#bench[@]} -gt 0 ] && [ "$mode" = udp ] && [ "$status" -eq 0 ]; then
  echo "== tessmar bench: machine B echoes on 'Echo out', machine A measures on 'Stage return' =="
  tessmar 1 config add out "Echo out" --show Opera --groups 1 >/dev/null
  tessmar 0 config add in "Stage return" --show Opera --groups 1 >/dev/null
  tessmar 1 bench --echo --port "Echo out" --in Monitor --timeout 60 >"$work/echo.log" 2>"$work/echo.err" &
  monitors=($!)
  for _ in $(seq 600); do grep -q '^echoing' "$work/echo.err" && break; sleep 0.1; done
  tessmar 0 bench --port "Stage out" --in "Stage return" || status=1
  wait "${monitors[0]}" || status=1
  monitors=()
  tr -d '\r' <"$work/echo.log"
fi
echo "RESULT: $([ "$status" -eq 0 ] && echo OK || echo FAILED)"
exit "$status"
