#!/usr/bin/env bash
# Builds, then runs every benchmark program (tools/programs/bench_*.cpp)
# inside a private network namespace with only loopback up, with a Wine
# prefix of its own created inside that namespace.
#
#   TESSMAR_BUILD=build-x tools/bench.sh [arguments for every benchmark]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = "--inside" ]; then
  build=$2; shift 2
  . "$root/tools/wine-env.sh"
  # The prefix's server owns the sockets: it must start in this namespace.
  wine_session "$build/bench/wineprefix"
  status=0
  for program in "$build"/tests/bench_*.exe; do
    [ -e "$program" ] || continue
    echo "== $(basename "$program" .exe)"
    "$root/tools/wine-run.sh" "$program" "$@" 2>/dev/null || status=1
  done
  exit $status
fi

export TESSMAR_BUILD=${TESSMAR_BUILD:-$root/build}
"$root/tools/build.sh" >/dev/null
build=$(cd "$TESSMAR_BUILD" && pwd)
exec "$root/tools/in-netns.sh" "$0" --inside "$build" "$@"
