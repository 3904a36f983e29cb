#!/usr/bin/env bash
# Installs what is missing, builds both DLLs and the tests, and runs every
# test inside a private network namespace under a virtual display.
# Extra arguments go to ctest (for example -R config).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TESSMAR_BUILD=${TESSMAR_BUILD:-$root/build}
"$root/tools/setup.sh"
"$root/tools/build.sh"
build=$(cd "$TESSMAR_BUILD" && pwd)
exec "$root/tools/in-netns.sh" xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$root/tools/run-tests.sh" "$build" "$@"
