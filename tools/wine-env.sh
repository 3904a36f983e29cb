#!/usr/bin/env bash
# Wine for the tests, the benchmarks and the demonstration, in one place:
# the environment of a prefix, its preparation and its persistent server.
#
# Sourced, it defines the functions below. Run, it exports the environment
# of a prefix and runs a command there, one of these functions or a program:
#
#   tools/wine-env.sh PREFIX wine_prepare
#   tools/wine-env.sh PREFIX "$wine_bin" program.exe ...
#
# A prefix's server creates the sockets of its programs, so a prefix is
# prepared and its server started inside the network namespace that will
# use them; run, this script refuses to work anywhere else
# (TESSMAR_IN_NETNS=1).

wine_bin=/usr/lib/wine/wine64
wineserver_bin=/usr/lib/wine/wineserver64

# Exports the environment of PREFIX: no Wine traces, no Mono or Gecko.
wine_env() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# Creates the exported prefix once; windows without a window manager hide
# at once.
wine_prepare() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$wine_bin" wineboot -i >/dev/null 2>&1
  fi
  "$wine_bin" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
}

# Keeps one server for the exported prefix until it is stopped (wineboot
# may have left one running: that one stays).
wine_server_start() {
  "$wineserver_bin" -p 2>/dev/null || true
}

# Stops the server of the exported prefix, if one runs.
wine_server_stop() {
  "$wineserver_bin" -k 2>/dev/null || true
}

# A run of its own on PREFIX: environment, prepared prefix and one server
# for the whole run, stopped when the calling script exits.
wine_session() {
  wine_env "$1"
  wine_prepare
  wine_server_start
  trap wine_server_stop EXIT
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  if [ "${TESSMAR_IN_NETNS:-}" != 1 ]; then
    echo "wine-env: not inside a private network namespace" >&2
    exit 2
  fi
  wine_env "$1"
  shift
  if declare -F "$1" >/dev/null; then "$@"; else exec "$@"; fi
fi
