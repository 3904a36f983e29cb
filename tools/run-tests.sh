#!/usr/bin/env bash
# Inside the test namespace: prepares the prefix, starts a display and a
# persistent wineserver, and runs CTest. Extra arguments go to ctest.
set -euo pipefail
build=$1; shift
. "$(dirname "$0")/wine-env.sh"
wine_env "$build/tests/wineprefix"
# A server left by an earlier run may belong to another namespace or to a
# display that is gone: start from a fresh one.
wine_server_stop
wine_session "$WINEPREFIX"
cd "$build/tests"
ctest --output-on-failure "$@"
