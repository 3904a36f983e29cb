#!/usr/bin/env bash
# The two-machine demonstration: installs what is missing, builds, then
# plays MIDI from one simulated machine to another over a private link
# (tools/twomachines-test.sh). Nothing leaves the namespaces it makes.
#   tools/demo.sh          UDP broadcast (the default transport)
#   tools/demo.sh --tcp    one TCP connection from machine A to machine B
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TESSMAR_BUILD=${TESSMAR_BUILD:-$root/build}
"$root/tools/setup.sh"
echo "== building (log: $TESSMAR_BUILD/demo-build.log) =="
mkdir -p "$TESSMAR_BUILD"
if ! "$root/tools/build.sh" >"$TESSMAR_BUILD/demo-build.log" 2>&1; then
  tail -30 "$TESSMAR_BUILD/demo-build.log" >&2
  exit 1
fi
exec "$root/tools/twomachines-test.sh" "$@" "$TESSMAR_BUILD"
