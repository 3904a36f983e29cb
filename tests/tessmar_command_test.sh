# The tessmar command against the built DLL, in a prefix of its own inside
# the test run's namespace: config and list show what was configured; what
# send plays, monitor shows and the wire carries, byte for byte; a monitor
# log sent again gives the same packets; a MIDI file plays in order and on
# time; bad input gives its exit code and reason, and sends nothing.
set -euo pipefail
root=$1
tests=$2
product=$(dirname "$tests")/x86_64
. "$root/tools/wine-env.sh"
wine_session "$tests/command-prefix"
work=$tests/command-work
rm -rf "$work" && mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
t() { (cd "$product" && "$wine_bin" tessmar.exe "$@" --dll Tessmar.dll) | tr -d '\r'; }
# Starts a background program and waits until it says it is listening.
started() {
  for _ in $(seq 300); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  fail "not ready: $1"; cat "$1" >&2; return 1
}
capture() { (cd "$tests" && "$wine_bin" packet_capture.exe "$@") | tr -d '\r'; }
stripped() { sed -E 's/^@[0-9]+ //; s/ *#.*//' "$1"; }

"$wine_bin" reg delete 'HKLM\Software\Kalvera\Tessmar' /f >/dev/null 2>&1 || true
t config add out "Stage out" --show Opera --groups 1,2 >/dev/null
t config add in "Stage in" --show Opera --groups 2,5-7 >/dev/null
t config add in "Stage monitor" --show Ballet --groups 32 >/dev/null
t config transport udp 127.0.0.1 >/dev/null

echo "== config and list show the configuration"
t config >"$work/config.txt"
t list >"$work/list.txt"
cat "$work/list.txt"
while IFS='|' read -r file pattern; do
  grep -qE "$pattern" "$work/$file" || fail "$file lacks: $pattern"
done <<'EOF'
config.txt|^  +0  Stage out +show 'Opera', groups 1,2$
config.txt|^  +0  Stage in +show 'Opera', groups 2,5-7$
config.txt|^  +1  Stage monitor +show 'Ballet', groups 32$
config.txt|^Transport: UDP broadcast, network card chosen by 127.0.0.1$
list.txt|^  +0  Stage out +show 'Opera', groups 1,2$
list.txt|^  +1  Stage monitor +show 'Ballet', groups 32$
list.txt|^Output is broadcast to 127\.[0-9.]+ port 12555$
EOF

echo "== bad input: exit code and reason, nothing sent"
printf '\xF0\x7E\x01' >"$work/bad.syx"
printf 'MThd\0\0\0\6\0\2\0\1\0\140' >"$work/format2.mid"
capture 1 120 >"$work/quiet.txt" 2>"$work/quiet.err" &
started "$work/quiet.err" capturing
while IFS='|' read -r code reason words; do
  eval "set -- $words"
  actual=0
  t "$@" >/dev/null 2>"$work/err.txt" || actual=$?
  [ "$actual" = "$code" ] && grep -qF -- "$reason" "$work/err.txt" ||
    fail "tessmar $words: exit $actual, $(cat "$work/err.txt")"
done <<EOF
2|no output port 'Nope'; the ports are: 'Stage out'|send --port Nope on 60 100
2|more than one input port 'stage'; it could be: 'Stage in', 'Stage monitor'|monitor --port stage --timeout 1
2|velocity 200 is out of range 0..127|send --port "Stage out" on 60 100 on 60 200
2|odd number of hex digits|send --port "Stage out" cc 7 90 syx 7E7
2|unknown message 'blah'|send --port stage on 60 100 blah
2|cannot read 'missing.syx'|send --port "Stage out" on 60 100 syf missing.syx
2|bad.syx: |send --port "Stage out" on 60 100 syf $work/bad.syx
2|format 2 MIDI files are not supported|play --port "Stage out" $work/format2.mid
2|You have duplicated the port description.|config add in "Stage out" --show Opera --groups 1
2|A Show Name is required, and must start with an alphabetic character.|config add in Extra --show " lead" --groups 1
2|group 33 is out of range 1..32|config add in Extra --show Opera --groups 1,33
2|debug level 9 is out of range 0..8|config debug 9
1|0 messages before the time-out|monitor --port "Stage in" --timeout 1
2|unknown command 'bogus'|bogus
3|cannot load the driver 'missing.dll'|list --dll missing.dll
EOF
# The first packet after all that is the one sent now.
t send --port "Stage out" on 1 1 >/dev/null
wait
[ "$(cat "$work/quiet.txt")" = "seq=1 90 01 01" ] || fail "bad input sent packets: $(head -3 "$work/quiet.txt")"

# Sends the messages of `send` arguments ($1: how many) with a monitor and
# a capture running; leaves mon$run.log and wire$run.log.
run=0
exchange() {
  local count=$1; shift
  run=$((run + 1))
  t monitor --port "Stage in" --count "$count" --timeout 60 >"$work/mon$run.log" 2>"$work/mon$run.err" &
  capture "$count" 60 >"$work/wire$run.log" 2>"$work/wire$run.err" &
  started "$work/mon$run.err" monitoring && started "$work/wire$run.err" capturing
  t send --port "Stage out" "$@" >/dev/null || fail "send $* failed"
  wait
}

echo "== send, monitor and the wire agree"
exchange 27 ch 3 on C3 100 off 60 0 cc 7 90 pc 5 pb -8192 +5 pb 8191 at 33 pp 61 44 \
  syx 7E 7F 09 01 raw F8 F2 10 20 ch 16 panic
{
  printf '%s\n' "ch 3 on 60 100|92 3C 64" "ch 3 off 60 0|82 3C 00" "ch 3 cc 7 90|B2 07 5A" "ch 3 pc 5|C2 05" \
    "ch 3 pb -8192|E2 00 00" "ch 3 pb 8191|E2 7F 7F" "ch 3 at 33|D2 21" "ch 3 pp 61 44|A2 3D 2C" \
    "syx 7E 7F 09 01|F0 7E 7F 09 01 F7" "raw F8|F8" "raw F2 10 20|F2 10 20"
  for c in $(seq 0 15); do printf 'ch %d cc 123 0|B%X 7B 00\n' $((c + 1)) "$c"; done
} >"$work/expected.txt"
diff <(stripped "$work/mon1.log") <(cut -d'|' -f1 "$work/expected.txt") || fail "monitor shows other messages"
diff <(sed 's/^seq=[0-9]* //' "$work/wire1.log") <(cut -d'|' -f2 "$work/expected.txt") || fail "other bytes on the wire"

echo "== a monitor log sent again gives the same packets"
exchange 27 - <"$work/mon1.log"
diff <(sed 's/^seq=[0-9]* //' "$work/wire1.log") <(sed 's/^seq=[0-9]* //' "$work/wire2.log") ||
  fail "the log sent again gave other packets"
diff <(stripped "$work/mon1.log") <(stripped "$work/mon2.log") || fail "the log sent again shows differently"

echo "== a MIDI file plays in order and on time"
# Format 1, 96 ticks a quarter: track 0 holds the tempo, 120 bpm and after
# one bar 240 bpm; track 1 plays twelve quarter notes, each half a beat.
notes=""
for i in $(seq 0 11); do notes+=$(printf '%02X 90 %02X 64 30 80 %02X 40 ' $((i ? 48 : 0)) $((60 + i)) $((60 + i))); done
tempo="00 FF 51 03 07 A1 20 83 00 FF 51 03 03 D0 90 00 FF 2F 00"
chunk() { local n=$(($(wc -w <<<"$1"))); printf '4D 54 72 6B %08X ' "$n" | sed -E 's/(..)(..)(..)(..) $/\1 \2 \3 \4 /'; echo "$1"; }
hex="4D 54 68 64 00 00 00 06 00 01 00 02 00 60 $(chunk "$tempo") $(chunk "$notes 00 FF 2F 00")"
printf "$(sed -E 's/ *([0-9A-F]{2})/\\x\1/g' <<<"$hex")" >"$work/bars.mid"
t monitor --port "Stage in" --count 24 --timeout 60 >"$work/play.log" 2>"$work/play.err" &
started "$work/play.err" monitoring
t play --port "Stage out" "$work/bars.mid" >/dev/null 2>&1 || fail "play failed"
wait
# Note i starts at beat i: 500 ms a beat for four beats, then 250 ms; it
# ends half a beat (48 ticks) later.
awk '
  function at(tick) { return tick <= 384 ? tick * 500 / 96 : 2000 + (tick - 384) * 250 / 96 }
  { stamp = substr($1, 2); if (NR == 1) first = stamp
    i = int((NR - 1) / 2); tick = 96 * i + ((NR - 1) % 2) * 48
    want = sprintf("ch 1 %s %d %d", NR % 2 ? "on" : "off", 60 + i, NR % 2 ? 100 : 64)
    got = $2 " " $3 " " $4 " " $5 " " $6
    if (got != want) { print "message " NR ": " got ", expected " want; bad = 1 }
    error = (stamp - first) - at(tick); if (error < 0) error = -error
    sum += error; if (error > worst) worst = error }
  END { printf "timing: mean error %.1f ms, worst %.1f ms over %d messages\n", sum / NR, worst, NR
        exit bad || NR != 24 || worst > 15 || sum / NR > 4 }' "$work/play.log" ||
  fail "the file did not play in order and on time"

[ "$failures" -eq 0 ] && echo "all checks passed" || { echo "$failures checks failed" >&2; exit 1; }
