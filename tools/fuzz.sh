#!/usr/bin/env bash
# Runs each fuzz target of the data-path core for SECONDS (default 60),
# natively, with a corpus kept in build/fuzz-corpus/<target> so that
# later runs start where earlier ones stopped. Builds first.
#   tools/fuzz.sh [seconds] [extra libFuzzer options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TESSMAR_BUILD:-$root/build}
seconds=${1:-60}; shift || true
cmake -G Ninja -S "$root/core" -B "$build/native" >/dev/null
cmake --build "$build/native" >/dev/null
for target in "$build"/native/*_fuzz; do
  name=$(basename "$target")
  corpus=$build/fuzz-corpus/$name
  mkdir -p "$corpus"
  echo "== $name: $seconds s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$@" "$corpus" 2>&1 |
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)|ERROR|SUMMARY' || true
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz: $name found a fault (see above)"; exit 1; }
done
