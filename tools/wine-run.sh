#!/usr/bin/env bash
# Runs a Windows program under wine64 in the test prefix (CTest's emulator).
# Refuses to run outside a private network namespace made by tools/in-netns.sh.
# A WINEDEBUG given by the caller is kept.
if [ "${TESSMAR_IN_NETNS:-}" != 1 ]; then
  echo "wine-run: not inside a private network namespace (use tools/in-netns.sh)" >&2
  exit 2
fi
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
. "$(dirname "$0")/wine-env.sh"
debug=${WINEDEBUG:--all}
wine_env "$WINEPREFIX"
WINEDEBUG=$debug
exec "$wine_bin" "$@"
