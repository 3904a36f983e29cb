#!/usr/bin/env bash
# Runs the careless-clients program (tools/programs/robust_clients.cpp)
# inside a private network namespace made for the run, with a Wine prefix of
# its own created inside it, and prints its figures. The short run (five
# rounds, as the test run's robust_clients_test) takes about a minute;
# --long (60 rounds) about five. Other arguments go to the program
# (--rounds N, --seed S, --slow MS). Exit status: the program's (0 only
# when nothing crashed, hung, answered wrongly or leaked).
#
#   tools/robust-clients.sh [--long] [--rounds N] [--seed S]
#   TESSMAR_BUILD=build-x tools/robust-clients.sh   (a build folder of its own)
#   tools/robust-clients.sh --no-build BUILD ...    (a build that exists)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = "--inside" ]; then
  build=$2; shift 2
  . "$root/tools/wine-env.sh"
  # The prefix's server owns the sockets: it must start in this namespace.
  wine_session "$build/robust/wineprefix"
  exec "$wine_bin" "$build/tests/robust_clients.exe" "$@"
fi

rounds=()
if [ "${1:-}" = "--long" ]; then
  rounds=(--rounds 60); shift
fi
if [ "${1:-}" = "--no-build" ]; then
  build=$(cd "$2" && pwd); shift 2
else
  export TESSMAR_BUILD=${TESSMAR_BUILD:-$root/build}
  "$root/tools/build.sh" >/dev/null
  build=$(cd "$TESSMAR_BUILD" && pwd)
fi
exec "$root/tools/in-netns.sh" "$0" --inside "$build" ${rounds[@]+"${rounds[@]}"} "$@"
