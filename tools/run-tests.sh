#!/usr/bin/env bash
# Inside the test namespace: prepares the prefix, starts a display and a
# persistent wineserver, and runs CTest. Extra arguments go to ctest.
set -euo pipefail
build=$1; shift
export WINEPREFIX=$build/tests/wineprefix
# A server left by an earlier run may belong to another namespace or to a
# display that is gone: start from a fresh one.
/usr/lib/wine/wineserver64 -k 2>/dev/null || true
"$(dirname "$0")/wine-prefix.sh" "$WINEPREFIX"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Keep one server for the whole run (it may already run for the prefix).
/usr/lib/wine/wineserver64 -p 2>/dev/null || true
trap '/usr/lib/wine/wineserver64 -k 2>/dev/null || true' EXIT
cd "$build/tests"
ctest --output-on-failure "$@"
