# The short soak: two simulated machines on a bridge (tools/show-test.sh)
# send stamped messages, notes and 4 KiB dumps for half a minute, every
# port closed and reopened every ten seconds: nothing repeated or lost
# while ports are open, every dump intact, and each process's handles and
# driver heap back where they started. The hour-long soak is the same
# script with other numbers (docs/RELIABILITY.md).
set -euo pipefail
root=$1
build=$(dirname "$2")
exec "$root/tools/show-test.sh" --machines 2 --seconds 30 --rate 200 --mixed --reopen 10 "$build"
