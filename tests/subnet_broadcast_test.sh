# Where UDP output is broadcast on a real subnet: a namespace of its own with
# veth adapters of chosen addresses and netmasks (see tools/subnet-broadcast.sh).
set -euo pipefail
root=$1
build=$(dirname "$2")
exec unshare -n -- "$root/tools/subnet-broadcast.sh" --inside "$build"
