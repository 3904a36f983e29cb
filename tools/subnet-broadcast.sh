#!/usr/bin/env bash
# Checks for real where UDP output is broadcast on a subnet. The run builds
# its own network namespace holding veth pairs whose both ends stay inside
# it, so nothing can reach a real network. Wine resolves the machine's own
# name to the addresses of its adapters.
#
#   TESSMAR_BUILD=build-x tools/subnet-broadcast.sh   (builds first)
#
# Expected: with one adapter 10.77.5.9/16 and no TCP address configured,
# the host's subnet decides (10.77.255.255, sent from 10.77.5.9); with a
# second adapter 10.88.0.5/24 and TCP address 10.88.0.7, that address's
# subnet decides (10.88.0.255, sent from 10.88.0.5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = "--inside" ]; then
  build=$2
  ip link set lo up
  ip link add tsm0 type veth peer name tsm1
  ip addr add 10.77.5.9/16 dev tsm0
  ip link set tsm0 up
  ip link set tsm1 up
  export TESSMAR_IN_NETNS=1
  . "$root/tools/wine-env.sh"
  # The prefix's server owns the sockets: it must start in this namespace.
  wine_session "$build/subnet/wineprefix"
  probe=$build/tests/broadcast_probe.exe
  status=0
  "$root/tools/wine-run.sh" "$probe" - 10.77.255.255 10.77.5.9 2>/dev/null || status=1
  ip link add tsm2 type veth peer name tsm3
  ip addr add 10.88.0.5/24 dev tsm2
  ip link set tsm2 up
  ip link set tsm3 up
  "$root/tools/wine-run.sh" "$probe" 10.88.0.7 10.88.0.255 10.88.0.5 2>/dev/null || status=1
  exit $status
fi

export TESSMAR_BUILD=${TESSMAR_BUILD:-$root/build}
"$root/tools/build.sh" >/dev/null
build=$(cd "$TESSMAR_BUILD" && pwd)
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo -E"
exec $sudo_cmd unshare -n -- "$0" --inside "$build"
