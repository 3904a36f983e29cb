#!/usr/bin/env bash
# Checks shipped DLLs: exactly the four driver entry points, undecorated,
# and imports only from DLLs that every Windows system has.
set -u
allowed='^(kernel32|msvcrt|winmm|ws2_32|advapi32|user32|gdi32|shell32|comctl32|psapi|version)\.dll$'
expected=$'CPlApplet\nDriverProc\nmidMessage\nmodMessage'
status=0
for dll in "$@"; do
  if [ ! -f "$dll" ]; then echo "FAIL $dll: missing"; status=1; continue; fi
  dump=$(x86_64-w64-mingw32-objdump -p "$dll") || { echo "FAIL $dll: objdump"; status=1; continue; }
  exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
  if [ "$exports" != "$expected" ]; then
    echo "FAIL $dll: exports are:"; printf '  %s\n' $exports; status=1
  else
    echo "ok   $dll: exports $(echo $exports)"
  fi
  bad=0
  for name in $(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p'); do
    lower=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
    if [[ ! "$lower" =~ $allowed ]]; then echo "FAIL $dll: imports $name"; bad=1; status=1; fi
  done
  [ $bad -eq 1 ] || echo "ok   $dll: imports $(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
done
exit $status
