#!/usr/bin/env bash
# Two simulated machines joined by a private link: network namespaces A
# (10.77.0.1/24) and B (10.77.0.2/24) made by this script and joined by a
# veth pair, each with its own Wine prefix whose wineserver is started
# inside its namespace, so every socket of a machine lives there. Machine B
# opens three input ports (same show with a shared group, same show with
# other groups, another show); machine A plays a phrase and two
# system-exclusive messages into its output port. Prints both sides with
# time stamps and exits 0 only if exactly what A played reached B's first
# port, in order and intact, and nothing reached the other two.
#
# With --tcp the machines use the TCP transport: A's output port connects to
# B (10.77.0.2), and B opens only its first port (one connection).
#
# Usage: tools/twomachines-test.sh [--tcp] [build-folder]   (root, or sudo)
# The build folder is the one tools/build.sh filled (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
transport=()
if [ "${1:-}" = "--tcp" ]; then transport=(--tcp); shift; fi
build=${1:-${TESSMAR_BUILD:-$root/build}}
build=$(cd "$build" && pwd)
programs=$build/tests
if [ ! -f "$programs/demo_peer.exe" ] || [ ! -f "$programs/Tessmar.dll" ]; then
  echo "twomachines: $programs has no demo_peer.exe / Tessmar.dll; run tools/build.sh" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "${transport[@]}" "$build"; fi

. "$root/tools/wine-env.sh"
work=$build/twomachines          # the prefixes stay for the next run
mkdir -p "$work"
tag=tsm$$
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
  [ -n "${receiver:-}" ] && kill "$receiver" 2>/dev/null
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

echo "== machine B (${addresses[1]}): three input ports =="
log=$work/receiver.log
: >"$log"
(cd "$programs" && on 1 "$wine_bin" demo_peer.exe receive "${addresses[1]}" 30000 "${transport[@]}" >"$log" 2>"$work/receiver.err") &
receiver=$!
for _ in $(seq 600); do
  grep -q '^READY' "$log" && break
  kill -0 "$receiver" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^READY' "$log"; then
  echo "twomachines: machine B did not get ready" >&2; cat "$log" "$work/receiver.err" >&2; exit 1
fi
grep -v '^READY' "$log" | tr -d '\r'

echo "== machine A (${addresses[0]}): output port =="
sent=0
(cd "$programs" && on 0 "$wine_bin" demo_peer.exe send "${addresses[0]}" ${transport:+"${transport[@]}" "${addresses[1]}"}) | tr -d '\r' || sent=$?

status=0
wait "$receiver" || status=$?
receiver=
echo "== machine B received (time stamps: ms since its port started) =="
grep -v -e '^READY' -e '^machine B: listening' "$log" | tr -d '\r'
if [ "$sent" -ne 0 ]; then echo "twomachines: machine A failed to send ($sent)" >&2; status=1; fi
exit "$status"
