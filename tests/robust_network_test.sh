# The robustness program's short run (tools/robust-network.sh): hostile
# datagrams to four input ports, TCP peers that vanish, reset, never read or
# send half a packet, the network interface going away under open ports,
# and Winsock failing to start for the driver; in a network namespace the
# script makes inside the test run's. Fails on any fault, hang or crash.
set -euo pipefail
root=$1
build=$(dirname "$2")
TESSMAR_BUILD=$build exec "$root/tools/robust-network.sh" --no-build
