#!/usr/bin/env bash
# Robustness of the network half (tools/programs/robust_network.cpp), in a
# network namespace this script makes: loopback and tsm-net0 10.79.0.1/24,
# one end of a veth pair whose other end (tsm-net1, no address) is in the
# same namespace, so that nothing can reach a real network. Runs
# the program's modes with a Wine prefix of its own made inside the
# namespace, and prints a summary table:
#
#   datagrams   hostile datagrams to four input ports (about 50,000; with
#               --long 1,000,000)
#   tcp         TCP peers that vanish, reset, never read, send half a packet
#   interface   tsm-net0 removed, restored, and given another address while
#               the program holds ports open and writes to them
#   winsock     Winsock failing to start for the driver
#
#   tools/robust-network.sh [--long] [--no-build] [mode...]   (root, or sudo)
#
# TESSMAR_BUILD names the build folder (default: build). Exits 0 only when
# every mode reported OK.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
interface=tsm-net0

if [ "${1:-}" = --inside ]; then
  build=$2 count=$3
  shift 3
  # Only in the namespace made below: another one than the script was
  # started in, with nothing but loopback yet.
  if [ "$(readlink /proc/$$/ns/net)" = "${TSM_ROBUST_FROM:-}" ] || [ -z "${TSM_ROBUST_FROM:-}" ] ||
    ip -o link show | grep -v ': lo:' | grep -q .; then
    echo "robust-network: not in a network namespace of its own" >&2
    exit 2
  fi
  ip link set lo up
  # The interface, with an address; deleting it deletes the pair.
  add_interface() {
    ip link add "$interface" type veth peer name tsm-net1
    ip addr add "$1" dev "$interface"
    ip link set tsm-net1 up
    ip link set "$interface" up
  }
  add_interface 10.79.0.1/24
  export TESSMAR_IN_NETNS=1
  . "$root/tools/wine-env.sh"
  work=$build/robust
  mkdir -p "$work"
  # The prefix's server owns the sockets: it must start in this namespace.
  wine_session "$work/wineprefix"
  program=$build/tests/robust_network.exe
  limit=300
  if [ "$count" -gt 100000 ]; then limit=3600; fi

  # The interface mode asks for changes with files NAME.req in this folder
  # and waits for NAME.done.
  signal=$work/signal
  serve_interface() {
    local step
    while [ ! -e "$signal/end" ]; do
      for step in down up moved; do
        if [ -e "$signal/$step.req" ] && [ ! -e "$signal/$step.done" ]; then
          case $step in
            down) ip link del "$interface" ;;
            up) add_interface 10.79.0.1/24 ;;
            moved) ip link del "$interface"; add_interface 10.79.1.1/24 ;;
          esac
          touch "$signal/$step.done"
        fi
      done
      sleep 0.05
    done
  }

  declare -A results
  for mode in "$@"; do
    arguments=()
    case $mode in
      datagrams) arguments=(--count "$count") ;;
      interface) rm -rf "$signal"; mkdir -p "$signal"; arguments=(--signal "$signal")
                 serve_interface & ;;
    esac
    echo "===== $mode"
    start=$(date +%s)
    code=0
    timeout -k 10 "$limit" "$root/tools/wine-run.sh" "$program" "$mode" "${arguments[@]}" 2>&1 \
      | tr -d '\r' | tee "$work/$mode.log" || code=${PIPESTATUS[0]}
    if [ "$mode" = interface ]; then touch "$signal/end"; wait; fi
    seconds=$(($(date +%s) - start))
    result=$(sed -n "s/^RESULT $mode: //p" "$work/$mode.log")
    summary=$(sed -n "s/^SUMMARY $mode //p" "$work/$mode.log")
    if [ -z "$result" ]; then
      if [ "$code" -eq 124 ]; then result="HUNG (killed after ${limit} s)"; else result="CRASHED (exit $code)"; fi
    fi
    results[$mode]="$(printf '%-24s %5s s  %s' "$result" "$seconds" "$summary")"
  done

  echo "===== summary"
  printf '%-10s %-24s %7s  %s\n' mode result time figures
  status=0
  for mode in "$@"; do
    printf '%-10s %s\n' "$mode" "${results[$mode]}"
    case ${results[$mode]} in OK*) ;; *) status=1 ;; esac
  done
  exit $status
fi

count=50000
build_first=1
modes=()
for argument in "$@"; do
  case $argument in
    --long) count=1000000 ;;
    --no-build) build_first=0 ;;
    datagrams|tcp|interface|winsock) modes+=("$argument") ;;
    *) echo "usage: tools/robust-network.sh [--long] [--no-build] [datagrams|tcp|interface|winsock ...]" >&2
       exit 2 ;;
  esac
done
if [ ${#modes[@]} -eq 0 ]; then modes=(datagrams tcp interface winsock); fi
export TESSMAR_BUILD=${TESSMAR_BUILD:-$root/build}
if [ "$build_first" -eq 1 ]; then "$root/tools/build.sh" >/dev/null; fi
build=$(cd "$TESSMAR_BUILD" && pwd)
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo -E"
# The inside part checks that it runs in another namespace than this one.
TSM_ROBUST_FROM=$(readlink /proc/$$/ns/net)
export TSM_ROBUST_FROM
exec $sudo_cmd unshare -n -- "$0" --inside "$build" "$count" "${modes[@]}"
