#!/usr/bin/env bash
# Installs what the build, the tests and the demonstration need (Debian):
# the mingw-w64 cross compilers and Wine for the driver and its tests, Wine's
# fonts (wine64 comes without its recommended packages, and without these
# the dialogs draw with fallback fonts), native compilers with GoogleTest's
# sources (/usr/src/googletest) and clang's libFuzzer and sanitizer runtimes
# for the native core tests and fuzz targets, and the tools of the namespace
# and display setup, and wixl, msitools, osslsigncode and openssl for the
# installer package, its signing and its test. One apt call, only when
# something is missing; no recommended packages.
set -euo pipefail
packages=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools wine64 fonts-wine
          fonts-liberation cmake ninja-build g++ clang-14 libclang-rt-14-dev googletest
          xvfb xauth iproute2 util-linux imagemagick x11-apps
          wixl msitools osslsigncode openssl)
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
