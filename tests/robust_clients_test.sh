# The careless-clients program's short run (tools/programs/robust_clients.cpp,
# as tools/robust-clients.sh runs it) on port 12555 of the test run's
# namespace, in a prefix of its own: callbacks that call the driver back,
# bad headers, closes with buffers queued or while another thread sends,
# sixteen threads opening and closing ports. Fails on a crash, a call that
# hung, an answer against the driver's rules or a leak.
set -euo pipefail
root=$1
tests=$2
. "$root/tools/wine-env.sh"
wine_session "$tests/robust-prefix"
cd "$tests"
status=0
"$wine_bin" robust_clients.exe | tr -d '\r' | tee robust-clients.txt || status=$?
grep -q '^verdict: .* -> PASS$' robust-clients.txt || { echo "FAIL: no passing verdict" >&2; exit 1; }
exit "$status"
