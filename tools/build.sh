#!/usr/bin/env bash
# Builds Tessmar.dll for x86 and x64, the data-path core natively (its unit
# tests and fuzz targets), the x64 test programs and the installer package
# (tools/package.sh: signed when TESSMAR_SIGN_CERT is set).
# TESSMAR_BUILD names the build folder (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TESSMAR_BUILD:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
for arch in i686 x86_64; do
  if [ ! -f "$build/$arch/build.ninja" ]; then
    cmake -G Ninja -S "$root" -B "$build/$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$arch-win32.cmake" >/dev/null
  fi
  cmake --build "$build/$arch"
done
if [ ! -f "$build/native/build.ninja" ]; then
  cmake -G Ninja -S "$root/core" -B "$build/native" >/dev/null
fi
cmake --build "$build/native"
if ! grep -qs "TESSMAR_NATIVE_DIR:PATH=$build/native" "$build/tests/CMakeCache.txt"; then
  cmake -G Ninja -S "$root/tests" -B "$build/tests" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-posix.cmake" \
    -DTESSMAR_PRODUCT_DIR="$build/x86_64" -DTESSMAR_X86_DIR="$build/i686" \
    -DTESSMAR_NATIVE_DIR="$build/native" >/dev/null
fi
cmake --build "$build/tests"
"$root/tools/package.sh"
