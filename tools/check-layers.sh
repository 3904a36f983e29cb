#!/usr/bin/env bash
# Checks that includes point one way: a folder includes only its own
# headers and those of the layers below it (docs/ARCHITECTURE.md).
#   core < diag < config < {install, configurator, input} < net < driver
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A rank=([core]=0 [diag]=1 [config]=2 [install]=3 [configurator]=3 [input]=3 [net]=4 [driver]=5)
status=0
for folder in "${!rank[@]}"; do
  while IFS=: read -r file target; do
    [ -n "${rank[$target]+x}" ] || continue
    if [ "$target" != "$folder" ] && [ "${rank[$target]}" -ge "${rank[$folder]}" ]; then
      echo "layers: $file includes $target/, which is not below $folder/" >&2
      status=1
    fi
  done < <(grep -HoE '#include "[a-z]+/' "$folder"/*.{h,cpp} 2>/dev/null | sed -E 's/#include "([a-z]+)\//\1/')
done
# The core knows nothing of the platform.
if grep -nE '#include <(windows|winsock2|ws2tcpip|mmsystem|mmddk|pthread)\.h>' core/*; then
  echo "layers: core/ includes a platform header" >&2; status=1
fi
[ $status -eq 0 ] && echo "layers: includes point one way"
exit $status
