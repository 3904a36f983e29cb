# The installer package, built here by tools/package.sh and signed with a
# throw-away certificate: its tables and its signatures; then, in a fresh
# Wine prefix of its own, a silent install that registers the driver and
# silent removals that leave the registry and drive_c as they were, also
# after a second install, a second removal, a half-done install and a
# rebuilt package installed over the first.
set -euo pipefail
root=$1
tests=$2
build=$(dirname "$tests")
work=$tests/package-work
rm -rf "$work" && mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

echo "== signed with a throw-away certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tessmar test signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
TESSMAR_BUILD=$build TESSMAR_PACKAGE_DIR=$work TESSMAR_SIGN_CERT=$work/cert.pem \
  TESSMAR_SIGN_KEY=$work/key.pem "$root/tools/package.sh" >/dev/null
version=$(sed -n 's/^#define TESSMAR_VERSION_TEXT "\(.*\)"$/\1/p' "$root/resources/version.rc")
pkg=$work/Tessmar-$version-x64.msi
verified() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" 2>&1 | grep -qx 'Signature verification: ok'; }
for f in "$pkg" "$work"/stage/x64/* "$work"/stage/x86/*; do verified "$f" || fail "not signed: $f"; done
[ "$(ls "$work"/stage/*/* | wc -l)" = 4 ] || fail "staged programs: $(ls "$work"/stage/*/*)"
# The build outputs themselves stay unsigned.
! verified "$build/x86_64/Tessmar.dll" || fail "the build's Tessmar.dll was signed in place"

echo "== tables"
size() { stat -c %s "$work/stage/$1"; }
msiinfo suminfo "$pkg" | grep -qx 'Template: x64;1033' || fail "not an x64 package"
guid='\{[0-9A-F-]{36}\}'
# Action types: 18 (FileKey exe) + deferred 1024 + not impersonated 2048,
# + 64 for the ignored result of the removal.
while IFS='|' read -r table row; do
  msiinfo export "$pkg" "$table" | tr -d '\r' | grep -qP "^$row\$" || fail "$table lacks: $row"
done <<EOF
Directory|INSTALLFOLDER\tProgramFiles64Folder\tTessmar
Directory|X86FOLDER\tINSTALLFOLDER\tx86
Component|ToolX64\t$guid\tINSTALLFOLDER\t256\t\tToolX64
Component|DriverX64\t$guid\tINSTALLFOLDER\t256\t\tDriverX64
Component|ToolX86\t$guid\tX86FOLDER\t256\t\tToolX86
Component|DriverX86\t$guid\tX86FOLDER\t256\t\tDriverX86
File|ToolX64\tToolX64\ttessmar.exe\t$(size x64/tessmar.exe)\t.*
File|DriverX64\tDriverX64\tTessmar.dll\t$(size x64/Tessmar.dll)\t.*
File|ToolX86\tToolX86\ttessmar.exe\t$(size x86/tessmar.exe)\t.*
File|DriverX86\tDriverX86\tTessmar.dll\t$(size x86/Tessmar.dll)\t.*
CustomAction|TessmarInstall\t3090\tToolX64\tinstall\t
CustomAction|TessmarRemove\t3154\tToolX64\tremove\t
InstallExecuteSequence|RemoveExistingProducts\t\t1401
InstallExecuteSequence|TessmarRemove\tREMOVE="ALL"\t3499
InstallExecuteSequence|RemoveFiles\t\t3500
InstallExecuteSequence|InstallFiles\t\t4000
InstallExecuteSequence|TessmarInstall\tNOT REMOVE\t4001
Property|ProductVersion\t${version%.*}
Property|UpgradeCode\t\{99566A23-65A6-4B98-99C9-AC77FF6366DA\}
Property|ALLUSERS\t1
EOF

echo "== under Wine, in a fresh prefix"
. "$root/tools/wine-env.sh"
rm -rf "$tests/package-prefix"
wine_session "$tests/package-prefix"
c=$WINEPREFIX/drive_c
# Runs msiexec silently and prints its exit code.
msi() { local rc=0; "$wine_bin" msiexec "$1" "${2:-$pkg}" /qn >/dev/null 2>&1 || rc=$?; echo "$rc"; }
reg_key() { "$wine_bin" reg query "$1" 2>/dev/null | tr -d '\r'; }
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
cpls='HKLM\Software\Microsoft\Windows\CurrentVersion\Control Panel\Cpls'
. "$root/tests/support/snapshot.sh"
same_as_before() {
  snapshot after
  diff "$work/before.txt" "$work/after.txt" >"$work/reg.diff" || fail "$1: registry: $(head -c 600 "$work/reg.diff")"
  diff "$work/before.files" "$work/after.files" >"$work/files.diff" || fail "$1: drive_c: $(head -c 600 "$work/files.diff")"
}
installed() {
  for f in "Program Files/Tessmar/tessmar.exe" "Program Files/Tessmar/Tessmar.dll" \
           "Program Files/Tessmar/x86/tessmar.exe" "Program Files/Tessmar/x86/Tessmar.dll" \
           "windows/system32/Tessmar.dll"; do
    [ -f "$c/$f" ] || fail "$1: missing $f"
  done
  reg_key "$drivers32" | grep -qE '^ +midi[0-9]* +REG_SZ +Tessmar\.dll$' || fail "$1: no Drivers32 midi value"
  reg_key "$cpls" | grep -qE '^ +Tessmar +REG_EXPAND_SZ +.*system32\\Tessmar\.dll$' || fail "$1: no Cpls value"
}
tool() { "$wine_bin" 'C:\Program Files\Tessmar\tessmar.exe' "$@" 2>&1 | tr -d '\r'; }
snapshot before

[ "$(msi /i)" = 0 ] || fail "install failed"
installed install
# status exits non-zero here: Wine has no firewall, the one piece missing.
tool status >"$work/status.txt" || true
[ "$(grep -E ' MISSING$' "$work/status.txt")" = "firewall rule for port 12555       MISSING" ] &&
  grep -qE '^Drivers32 value: midi[0-9]+ = Tessmar\.dll$' "$work/status.txt" &&
  [ "$(grep -cE '^(driver file in the system folder|MIDI driver entry \(Drivers32\)|Control Panel entry|device registration) +present$' \
      "$work/status.txt")" = 4 ] || fail "status: $(cat "$work/status.txt")"
tool list --dll 'C:\windows\system32\Tessmar.dll' >"$work/list.txt" || fail "list: $(cat "$work/list.txt")"
grep -q 'Configure Me' "$work/list.txt" || fail "list shows no default port: $(cat "$work/list.txt")"
[ "$(msi /x)" = 0 ] || fail "removal failed"
same_as_before removal

echo "== installing twice, removing twice"
[ "$(msi /i)" = 0 ] && [ "$(msi /i)" = 0 ] || fail "second install failed"
installed "second install"
[ "$(msi /x)" = 0 ] || fail "removal after two installs failed"
# Wine's msiexec ends a removal of what is not installed with 0.
[ "$(msi /x)" = 0 ] || fail "second removal failed"
same_as_before "second removal"

echo "== removal after a half-done install"
[ "$(msi /i)" = 0 ] || fail "install failed"
slot=$(reg_key "$drivers32" | awk '$3 == "Tessmar.dll" { print $1 }')
"$wine_bin" reg delete "$drivers32" /v "$slot" /f >/dev/null 2>&1 || fail "no Drivers32 value to delete"
rm -f "$c/windows/system32/Tessmar.dll"
[ "$(msi /x)" = 0 ] || fail "removal of a half-done install failed"
same_as_before "half-done removal"

echo "== a rebuilt package (same version, new ProductCode) replaces the installed one"
TESSMAR_BUILD=$build TESSMAR_PACKAGE_DIR=$work/rebuilt "$root/tools/package.sh" >/dev/null
[ "$(msi /i)" = 0 ] && [ "$(msi /i "$work/rebuilt/${pkg##*/}")" = 0 ] || fail "install over the first package failed"
installed "rebuilt install"
[ "$(reg_key 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' | grep -c '{')" = 1 ] || fail "both packages installed"
[ "$(msi /x "$work/rebuilt/${pkg##*/}")" = 0 ] || fail "removal of the rebuilt package failed"
same_as_before "rebuilt removal"

[ "$failures" = 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "package: all checks passed"
