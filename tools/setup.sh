#!/usr/bin/env bash
# Installs what the build, the tests and the demonstration need (Debian).
set -euo pipefail
packages=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools wine64 cmake ninja-build
          googletest xvfb xauth iproute2 util-linux imagemagick x11-apps)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
