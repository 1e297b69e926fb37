#!/usr/bin/env bash
# The trace demo: the viewer follows the lines that a small traced program
# writes into the shared trace ring, reports the lines that a burst made it
# lose, and a holder keeps the ring (and its last lines) after the program
# has ended.
#
#   scripts/trace-demo.sh [BUILD_DIR]      (default: $BUILD_DIR or ./build)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=${1:-${BUILD_DIR:-$ROOT/build}}
RUN="$B/wine-run.sh"
BIN="$B/bin"
for prog in traceview tracedemo; do
  [ -f "$BIN/$prog.exe" ] || { echo "trace-demo: $BIN/$prog.exe is not built" >&2; exit 1; }
done

say() { printf '\n== %s\n' "$*"; }
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# Starts the prefix and its wineserver before anything is timed.
"$RUN" "$BIN/traceview.exe" -h >/dev/null

say "traceview hold 32 100: a ring of 32 lines, held for 15 s"
"$RUN" "$BIN/traceview.exe" -T 15000 hold 32 100 &
pids+=($!)
sleep 1

say "traceview -l follow: the lines as tracedemo writes them"
"$RUN" "$BIN/traceview.exe" -l -t 6 follow &
follower=$!
pids+=($follower)
sleep 1

# 12 lines at 150 ms each, then a burst of 100 lines that laps the
# 32-slot ring before the viewer looks again.
"$RUN" "$BIN/tracedemo.exe" -n 12 -d 150 -b 100
wait "$follower" || true

say "traceview info, after tracedemo has ended: the holder kept the ring"
"$RUN" "$BIN/traceview.exe" info

say "traceview -l dump: the last 32 lines, oldest first (first 5 and last 3 shown)"
"$RUN" "$BIN/traceview.exe" -l dump >"$B/trace-demo-dump.txt"
head -n 5 "$B/trace-demo-dump.txt"
echo "..."
tail -n 3 "$B/trace-demo-dump.txt"

say "traceview clear; traceview info"
"$RUN" "$BIN/traceview.exe" clear
"$RUN" "$BIN/traceview.exe" info
