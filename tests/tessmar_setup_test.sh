# tessmar install, status, repair and remove in a prefix of their own, from
# the folder a package leaves ("C:\Program Files\Tessmar", with the 32-bit
# tool and driver in x86\, which a 64-bit-only Wine cannot run): install
# puts every piece in place; each piece deleted by hand is reported by
# status and put back by repair, and nothing else changes; the MIDI mode is
# read; remove leaves the registry and the files as they were before.
set -euo pipefail
root=$1
tests=$2
build=$(dirname "$tests")
. "$root/tools/wine-env.sh"
prefix=$tests/setup-prefix
wine_session "$prefix"
work=$tests/setup-work
rm -rf "$work" && mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
folder="$prefix/drive_c/Program Files/Tessmar"
mkdir -p "$folder/x86"
cp "$build/x86_64/tessmar.exe" "$build/x86_64/Tessmar.dll" "$folder/"
cp "$build/i686/tessmar.exe" "$build/i686/Tessmar.dll" "$folder/x86/"
t() { "$wine_bin" 'C:\Program Files\Tessmar\tessmar.exe' "$@" 2>&1 | tr -d '\r'; }
system32=$prefix/drive_c/windows/system32
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
c=$prefix/drive_c
. "$root/tests/support/snapshot.sh"
same() {
  diff "$work/$1.txt" "$work/$2.txt" >"$work/diff.txt" && diff "$work/$1.files" "$work/$2.files" >>"$work/diff.txt" ||
    { fail "$3"; head -20 "$work/diff.txt" >&2; }
}
# Whether status reports exactly these pieces missing.
missing() {
  t status >"$work/status.txt" || true
  [ "$(grep MISSING "$work/status.txt" | sed 's/  *MISSING//' | tr '\n' '|')" = "$1" ] ||
    { fail "status should miss '$1'"; cat "$work/status.txt" >&2; }
}

t remove >/dev/null || true
snapshot before
missing "driver file in the system folder|MIDI driver entry (Drivers32)|Control Panel entry|device registration|firewall rule for port 12555|"

echo "== install"
t install >"$work/install.txt" || fail "install failed: $(cat "$work/install.txt")"
cat "$work/install.txt"
grep -qF 'running: netsh advfirewall firewall add rule name="Tessmar MIDI" dir=in action=allow protocol=UDP localport=12555' \
  "$work/install.txt" || fail "install did not ask for the firewall rule"
grep -qF 'cannot run 32-bit programs' "$work/install.txt" || fail "install did not say the 32-bit driver was left out"
[ -f "$system32/Tessmar.dll" ] || fail "no driver in the system folder"
# Wine has no firewall: the rule is the one piece missing here.
missing "firewall rule for port 12555|"
alias=$(sed -n 's/^Drivers32 value: \(midi[0-9]*\) = Tessmar.dll$/\1/p' "$work/status.txt")
[ -n "$alias" ] || fail "status names no Drivers32 value"
t install >/dev/null || fail "a second install failed"
snapshot installed
driverkey=$(grep -B3 '^"Alias"="'"$alias"'"' "$work/installed.txt" | sed -n 's/^\[\(.*\)\]$/\1/p' | tail -1)
[ -n "$driverkey" ] || fail "no device driver key names $alias"

echo "== each piece deleted by hand: status reports it, repair restores only it"
while IFS='|' read -r piece remove; do
  eval "$remove" >/dev/null 2>&1 || fail "could not delete $piece"
  missing "$piece|firewall rule for port 12555|"
  t repair >/dev/null || fail "repair of $piece failed"
  missing "firewall rule for port 12555|"
  snapshot repaired
  same installed repaired "repair of $piece changed more than it"
done <<EOF
driver file in the system folder|rm "$system32/Tessmar.dll"
MIDI driver entry (Drivers32)|"\$wine_bin" reg delete '$drivers32' /v $alias /f
Control Panel entry|"\$wine_bin" reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Control Panel\Cpls' /v Tessmar /f
device registration|"\$wine_bin" reg delete '$driverkey' /v Alias /f
EOF

echo "== MIDI mode"
while IFS='|' read -r value text; do
  if [ "$value" = none ]; then "$wine_bin" reg delete "$drivers32" /v UseLegacyMidi /f >/dev/null 2>&1 || true
  else "$wine_bin" reg add "$drivers32" /v UseLegacyMidi /t REG_DWORD /d "$value" /f >/dev/null; fi
  { t status || true; } | grep -qF "MIDI mode: $text" || fail "UseLegacyMidi $value: not '$text'"
done <<'EOF'
0|UseLegacyMidi = 0, the full MIDI service
1|UseLegacyMidi = 1, legacy MIDI
2|UseLegacyMidi = 2, hybrid
none|no MIDI service setting
EOF

echo "== remove"
t remove >"$work/remove.txt" || fail "remove failed: $(cat "$work/remove.txt")"
snapshot after
same before after "remove left something behind"
t remove >/dev/null || fail "a second remove failed"

[ "$failures" -eq 0 ] && echo "all checks passed" || { echo "$failures checks failed" >&2; exit 1; }
