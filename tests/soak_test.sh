# The short soak: two simulated machines on a bridge (tools/show-test.sh)
# send stamped messages, notes and 4 KiB dumps for half a minute, every
# port closed and reopened every ten seconds: nothing repeated, and each
# process's handles and driver heap back where they started. Losses are
# counted and shown, not failed: a test host may be starved. The hour-long soak is the same
# script with other numbers (docs/RELIABILITY.md).
set -euo pipefail
root=$1
build=$(dirname "$2")
exec "$root/tools/show-test.sh" --machines 2 --seconds 30 --rate 100 --mixed --reopen 10 --lossy "$build"
