#!/usr/bin/env bash
# canmon's console in a real terminal: tmux runs it under Wine on VCAN5
# while canpeer puts two identifiers on the bus (0x100 at 40/s, 0x050 at
# 10/s). Keys go in with send-keys, the screen comes back with capture-pane:
# the table appears sorted by identifier, 'r' sorts it by rate, 'f' filters
# it, 'p' holds the figures (while a candump counts the frames that keep
# coming) and releases them, 'q' quits with the net closed,
# and the server that canmon started ends by itself.
# Then Ctrl+C ends a run of plain tables the same clean way. Last, with a DBC
# file the test writes, 's' switches to the signals view: a row per signal
# with its value (highlighted while it changes), unit, minimum, maximum and
# its message's rate; 's' again goes back to the bytes.
#
#   canmon_console_test.sh BUILD_DIR
set -euo pipefail

B=${1:?build folder}
# shellcheck source=../../../../../tests/support/wait_until.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../../../../tests/support/wait_until.sh"
RUN="$B/wine-run.sh"
BIN="$B/bin"
command -v tmux >/dev/null || { echo "tmux is missing (./ribex.sh deps installs it)" >&2; exit 1; }

SOCKET="canmon-test-$$"
SESSION=canmon
QUEUE="canmonConsoleQ$$"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  tmux -L "$SOCKET" kill-server 2>/dev/null || true
}
trap cleanup EXIT

screen() { tmux -L "$SOCKET" capture-pane -p -t "$SESSION"; }
fail() {
  echo "FAIL: $*" >&2
  echo "---- screen ----" >&2
  screen >&2 || true
  exit 1
}
# Waits up to $1 seconds until the screen matches the extended regex $2.
screen_matches() { screen | grep -Eq "$1"; }
wait_screen() { wait_until "$1" screen_matches "$2"; }
# Line number of the first table row of identifier $1.
row_of() { screen | grep -nE "^VCAN5 +$1 " | head -n 1 | cut -d: -f1; }
# Row $1 stands above row $2.
row_above() {
  local a b
  a=$(row_of "$1") b=$(row_of "$2")
  [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ]
}

tmux -L "$SOCKET" new-session -d -s "$SESSION" -x 120 -y 30 \
  "TERM=xterm-256color '$RUN' '$BIN/canmon.exe' -q $QUEUE -r 100 VCAN5; echo \"canmon exit \$?\"; sleep 120"
wait_screen 60 'canmon 1\..*sort: id' || fail "the table did not appear"
wait_screen 10 '^VCAN5: ' || fail "no header line for VCAN5"

"$RUN" "$BIN/canpeer.exe" -d VCAN5 -g -n 1200 -r 40 -I 100 -L 8 >/dev/null 2>&1 &
pids+=($!)
"$RUN" "$BIN/canpeer.exe" -d VCAN5 -g -n 300 -r 10 -I 050 -L 2 >/dev/null 2>&1 &
pids+=($!)

# Both rows, each with a rate: sorted by identifier, 050 comes first.
wait_screen 60 '^VCAN5 +050 +std +([3-9]|[0-9]{2,}) ' || fail "row 050 did not get going"
wait_screen 20 '^VCAN5 +100 +std +[0-9]{2,} ' || fail "row 100 did not get going"
[ "$(row_of 050)" -lt "$(row_of 100)" ] || fail "not sorted by identifier"

tmux -L "$SOCKET" send-keys -t "$SESSION" r
wait_screen 10 'sort: rate' || fail "'r' did not switch to sorting by rate"
wait_until 10 row_above 100 050 || fail "not sorted by rate (100 is the busier)"
echo "sorted by identifier, then by rate after 'r'"

# 'f' prompts for a filter in candump's syntax; Enter applies it: 050 goes.
tmux -L "$SOCKET" send-keys -t "$SESSION" f
wait_screen 10 '^filter ID:MASK' || fail "'f' did not prompt for a filter"
tmux -L "$SOCKET" send-keys -t "$SESSION" -l '100:7FF'
tmux -L "$SOCKET" send-keys -t "$SESSION" Enter
wait_screen 10 'filter: 100:7FF' || fail "the filter was not applied"
filtered() { [ -z "$(row_of 050)" ] && [ -n "$(row_of 100)" ]; }
wait_until 10 filtered || fail "filter 100:7FF did not leave row 100 alone (050 at '$(row_of 050)', 100 at '$(row_of 100)')"
echo "'f' filtered the table down to 100"

# 'p' holds the figures while frames keep coming; 'p' again lets them run.
count_of() { screen | grep -E "^VCAN5 +$1 " | awk '{print $4}'; }
tmux -L "$SOCKET" send-keys -t "$SESSION" p
wait_screen 10 'PAUSED' || fail "'p' did not pause"
held=$(count_of 100)
# Proof that frames of 100 kept coming meanwhile: a candump of the same
# server counts twenty of them (half a second of traffic) and ends.
"$RUN" "$BIN/candump.exe" -q "$QUEUE" -n 20 -f 100:7FF VCAN5 >/dev/null 2>&1 ||
  fail "candump saw no twenty frames of 100 while canmon was paused"
[ "$(count_of 100)" = "$held" ] || fail "the count moved while paused ($held, $(count_of 100))"
tmux -L "$SOCKET" send-keys -t "$SESSION" p
count_moved() { [ "$(count_of 100)" != "$held" ]; }
wait_until 10 count_moved || fail "the count stayed at $held after the second 'p'"
echo "'p' paused and resumed the figures"

server_runs() { pgrep -f "ribex\.exe.*$QUEUE" >/dev/null; }
server_runs || fail "no server runs on $QUEUE while canmon shows the table"

tmux -L "$SOCKET" send-keys -t "$SESSION" q
wait_screen 30 'canmon exit 0' || fail "'q' did not end canmon with exit code 0"
screen | grep -Eq 'canmon: VCAN5 closed: [0-9]+ frames, 0 lost' || fail "no closing statistics"
echo "'q' quit and closed VCAN5"

# No client left: the server canmon started on queue $QUEUE ends by itself.
no_server() { ! server_runs; }
expect_server_end() { wait_until 15 no_server || fail "the server on $QUEUE still runs"; }
expect_server_end
echo "the server ended by itself"

# Ctrl+C in the terminal ends canmon as cleanly, here printing plain tables.
tmux -L "$SOCKET" new-window -t "$SESSION" -n plain \
  "TERM=xterm-256color '$RUN' '$BIN/canmon.exe' -q $QUEUE -S -i 500 VCAN5; echo \"canmon exit \$?\"; sleep 120"
SESSION="$SESSION:plain"
wait_screen 60 '^== VCAN5: ' || fail "no plain table"
tmux -L "$SOCKET" send-keys -t "$SESSION" C-c
wait_screen 30 'canmon exit 0' || fail "Ctrl+C did not end canmon with exit code 0"
screen | grep -Eq 'canmon: VCAN5 closed: ' || fail "no closing statistics after Ctrl+C"
# The next test's clients would find this server's marker and start none.
expect_server_end
echo "Ctrl+C ended canmon and closed VCAN5; its server ended"

# The signals view: canpeer's generated frames carry a sequence number in
# byte 0, so Seq counts up and is highlighted as it changes.
DBC_DIR=$(mktemp -d)
pids+=()
trap 'cleanup; rm -rf "$DBC_DIR"' EXIT
cat >"$DBC_DIR/mon.dbc" <<'DBC'
VERSION ""

BS_:

BU_: Gen

BO_ 256 Counter: 8 Gen
 SG_ Seq : 0|8@1+ (0.5,0) [0|127.5] "step" Gen
 SG_ Rest : 16|8@1+ (1,0) [0|255] "" Gen

BO_ 80 Short: 2 Gen
 SG_ Low : 0|4@1+ (1,0) [0|15] "" Gen

VAL_ 256 Rest 0 "Zero" ;
DBC
WIN_DBC="Z:$(echo "$DBC_DIR/mon.dbc" | tr / '\\')"
tmux -L "$SOCKET" new-window -t canmon -n signals \
  "TERM=xterm-256color '$RUN' '$BIN/canmon.exe' -q $QUEUE -r 100 -d 'VCAN5=$WIN_DBC' VCAN5; echo \"canmon exit \$?\"; sleep 120"
SESSION="canmon:signals"
wait_screen 60 'canmon 1\..*s signals/bytes' || fail "the title does not offer 's' with -d"
"$RUN" "$BIN/canpeer.exe" -d VCAN5 -g -n 1200 -r 40 -I 100 -L 8 >/dev/null 2>&1 &
pids+=($!)
"$RUN" "$BIN/canpeer.exe" -d VCAN5 -g -n 300 -r 10 -I 050 -L 2 >/dev/null 2>&1 &
pids+=($!)
wait_screen 60 '^VCAN5 +100 +std +[0-9]{2,} ' || fail "no traffic in the bytes view"
tmux -L "$SOCKET" send-keys -t "$SESSION" s
wait_screen 10 'SIGNALS' || fail "'s' did not switch to the signals view"
wait_screen 10 'SIGNAL +VALUE +UNIT +MIN +MAX +RATE/s' || fail "no signals heading"
# Seq: value, unit, a minimum below the maximum, the message's rate.
seq_row='^VCAN5 +100 +Counter +Seq +[0-9.]+\*? +step +[0-9.]+ +[0-9.]+ +[0-9.]+$'
wait_screen 20 "$seq_row" || fail "no row for Counter.Seq"
wait_screen 20 '^VCAN5 +100 +Counter +Rest +0 "Zero" +[0-9]' || fail "Rest does not show its label"
wait_screen 20 '^VCAN5 +050 +Short +Low ' || fail "no row for Short.Low"
# The rate counts the last two seconds: it climbs to 40/s (80/s while the
# first part's canpeer still sends 100 as well) within them.
for i in $(seq 1 50); do
  read -r min max rate < <(screen | grep -E "$seq_row" | awk '{print $(NF-2), $(NF-1), $NF}')
  awk -v a="$min" -v b="$max" -v r="$rate" 'BEGIN { exit !(a < b && r > 35 && r < 90) }' && break
  sleep 0.2
done
awk -v a="$min" -v b="$max" 'BEGIN { exit !(a < b) }' || fail "Seq's minimum $min is not below its maximum $max"
awk -v r="$rate" 'BEGIN { exit !(r > 35 && r < 90) }' || fail "Counter's rate $rate is no rate of 40/s or 80/s"
# Sorted by identifier: Short (050) above Counter (100).
[ "$(screen | grep -nE '^VCAN5 +050 +Short' | cut -d: -f1)" -lt "$(screen | grep -nE '^VCAN5 +100 +Counter +Seq' | cut -d: -f1)" ] ||
  fail "signal rows not sorted by identifier"
# A changing value is drawn highlighted (black on yellow), as changed bytes are.
for i in $(seq 1 25); do
  tmux -L "$SOCKET" capture-pane -e -p -t "$SESSION" | grep -E 'Seq' | grep -q '43m' && break
  sleep 0.2
done
tmux -L "$SOCKET" capture-pane -e -p -t "$SESSION" | grep -E 'Seq' | grep -q '43m' ||
  fail "Seq's changing value is not highlighted"
echo "'s' showed the signals: value, unit, min < max, rate $rate/s, changes highlighted"
tmux -L "$SOCKET" send-keys -t "$SESSION" s
wait_screen 10 '^VCAN5 +100 +std ' || fail "'s' again did not go back to the bytes view"
tmux -L "$SOCKET" send-keys -t "$SESSION" q
wait_screen 30 'canmon exit 0' || fail "'q' did not end canmon with exit code 0 in the signals run"
expect_server_end
echo "'s' went back to the bytes; canmon quit and its server ended"
