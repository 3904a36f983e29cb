#!/usr/bin/env bash
# Builds the installer, <package folder>/Tessmar-<version>-x64.msi, from the
# x64 and x86 tools and drivers of the build folder (TESSMAR_BUILD, default
# build/; the package folder is TESSMAR_PACKAGE_DIR, default <build>/package).
# <version> is the driver's, from resources/version.rc.
#
# Signing: with TESSMAR_SIGN_CERT (a PEM certificate with TESSMAR_SIGN_KEY,
# its PEM key, or a PKCS#12 file) and TESSMAR_SIGN_PASS when the key or the
# PKCS#12 file has a password, the four programs and then the package are
# signed with osslsigncode. The programs are signed as copies staged in the
# package folder: the build outputs stay as the compiler wrote them, so the
# tests and incremental builds never see a file rewritten behind their back.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${TESSMAR_BUILD:-$root/build}" && pwd)
out=${TESSMAR_PACKAGE_DIR:-$build/package}
version=$(sed -n 's/^#define TESSMAR_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$root/resources/version.rc")
[ -n "$version" ] || { echo "package: no TESSMAR_VERSION_TEXT in resources/version.rc" >&2; exit 1; }
msi=$out/Tessmar-$version-x64.msi
stage=$out/stage
rm -rf "$stage" && mkdir -p "$stage/x64" "$stage/x86"
for f in tessmar.exe Tessmar.dll; do
  cp "$build/x86_64/$f" "$stage/x64/$f"
  cp "$build/i686/$f" "$stage/x86/$f"
done

signing=
if [ -n "${TESSMAR_SIGN_CERT:-}" ]; then
  if grep -q -- '-----BEGIN' "$TESSMAR_SIGN_CERT"; then
    [ -n "${TESSMAR_SIGN_KEY:-}" ] || { echo "package: TESSMAR_SIGN_KEY is needed with a PEM certificate" >&2; exit 1; }
    signing=(-certs "$TESSMAR_SIGN_CERT" -key "$TESSMAR_SIGN_KEY")
  else
    signing=(-pkcs12 "$TESSMAR_SIGN_CERT")
  fi
  [ -z "${TESSMAR_SIGN_PASS:-}" ] || signing+=(-pass "$TESSMAR_SIGN_PASS")
else
  echo "package: TESSMAR_SIGN_CERT is not set, the package and its programs are not signed"
fi
sign() {
  osslsigncode sign "${signing[@]}" -h sha256 -n Tessmar -in "$1" -out "$1.signed" >/dev/null
  mv "$1.signed" "$1"
}
if [ -n "$signing" ]; then
  for f in "$stage"/*/*; do sign "$f"; done
fi

# MSI compares only three fields of ProductVersion: 2.0.1.5 is 2.0.1.
IFS=. read -r major minor patch _ <<<"$version"
(cd "$stage" && wixl -a x64 -D Version="$major.$minor.$patch" -D NextVersion="$major.$minor.$((patch + 1))" -o "$msi.tmp" "$root/tools/package/tessmar.wxs")
[ -z "$signing" ] || sign "$msi.tmp"
mv "$msi.tmp" "$msi"
echo "package: $msi"
