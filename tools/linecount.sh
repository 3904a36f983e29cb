#!/usr/bin/env bash
# Prints the lines of test code, product code and tools, and the test share
# of all code. With --check it exits 1 when the share is above a third.
#
# Code files are the tracked files with one of the extensions below, and
# every CMakeLists.txt. Test code is what lives under a tests/, test/ or
# fuzz/ folder or has _test., _fuzz. or fuzz_ in its name; tools are the
# other files under tools/; product code is the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
code='\.(c|cc|cpp|h|hpp|rc|def|cmake|sh|py)$|(^|/)CMakeLists\.txt$'
test_code='(^|/)(tests?|fuzz)/|_test\.|_fuzz\.|fuzz_'
tests=0 product=0 tools=0
while IFS= read -r -d '' file; do
  if [[ ! "$file" =~ $code ]] || [ ! -f "$file" ]; then continue; fi
  lines=$(wc -l <"$file")
  if [[ "$file" =~ $test_code ]]; then
    tests=$((tests + lines))
  elif [[ "$file" == tools/* ]]; then
    tools=$((tools + lines))
  else
    product=$((product + lines))
  fi
done < <(git ls-files -z)
all=$((tests + product + tools))
printf 'test code     %6d lines\n' "$tests"
printf 'product code  %6d lines\n' "$product"
printf 'tools         %6d lines\n' "$tools"
share=$(awk -v t="$tests" -v a="$all" 'BEGIN { printf "%.1f", a ? 100 * t / a : 0 }')
printf 'test share    %6s%% of %d lines (at most a third)\n' "$share" "$all"
if [ "${1:-}" = --check ] && [ $((3 * tests)) -gt "$all" ]; then
  echo "linecount: test code is above a third of all code" >&2
  exit 1
fi
