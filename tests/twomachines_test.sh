# MIDI crosses between two simulated machines: two network namespaces made by
# the test and joined by a veth pair, each with its own Wine prefix and
# configuration (see tools/twomachines-test.sh), configured, played and
# watched with the tessmar command. Exactly what one machine plays reaches
# the other's port of the same show and a shared group, and nothing reaches
# its ports of another show or of disjoint groups; tessmar bench measures
# between the two; then the same over one TCP connection.
set -euo pipefail
root=$1
build=$(dirname "$2")
"$root/tools/twomachines-test.sh" --bench "$build"
echo "== the same over TCP =="
exec "$root/tools/twomachines-test.sh" --tcp "$build"
