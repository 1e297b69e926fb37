#!/usr/bin/env bash
# The end-to-end demo; ribex.sh demo runs it after building, with the
# prefix's wineserver running.
#
#   1. canpeer plays the simulated CAN peer of net CAN1 and sends frames;
#   2. candump opens CAN1, which starts ribex.exe on demand, and prints a
#      screenful of frames as candump log lines, then closes the net;
#   3. ribex.exe ends by itself once no client holds its queue: its last
#      trace lines (kept by a trace-ring holder) show exit code 0;
#   3b. canmon shows CAN1 at a glance (a plain snapshot of its table) while
#      canpeer replays a log with four identifiers at different rates;
#   4. where the virtual CAN driver is built, the same with device net VCAN1
#      receiving frames put on its bus.
#
#   scripts/demo.sh [BUILD_DIR]        (default: $BUILD_DIR or ./build)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=${1:-${BUILD_DIR:-$ROOT/build}}
RUN="$B/wine-run.sh"
BIN="$B/bin"
NET=CAN1
DEVICE_NET=VCAN1
for prog in ribex candump canpeer canmon traceview; do
  [ -f "$BIN/$prog.exe" ] || { echo "demo: $BIN/$prog.exe is not built" >&2; exit 1; }
done

say() { printf '\n== %s\n' "$*"; }
pids=()
vcan_installed_here=0
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ "$vcan_installed_here" = 1 ]; then
    bash "$ROOT/SRC/WIN32/DRIVER/vcan/vcan_service.sh" --build "$B" down >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

# A Windows path of a program in the build, for cmd.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# Runs candump with the server's trace settings in its environment, which
# the on-demand ribex.exe inherits (Wine does not pass Unix variables named
# like ribex.exe::main to Windows programs; cmd's set does).
traced_candump() { traced candump "$@"; }
traced() {
  "$RUN" cmd /c "set TRACESIZE=512 200&& set ribex.exe::main=6&& $(winpath "$BIN/$1.exe") ${*:2}"
}

# Four identifiers for 3 s: 0x100 every 20 ms with a counter, 0x200 every
# 100 ms, 0x7E8 every 500 ms, extended 18DAF110 every 200 ms.
monitor_log() {
  local i
  for i in $(seq 0 150); do
    printf '(%d.%06d) can0 100#%02X0011FF\n' $((i / 50)) $(((i % 50) * 20000)) $((i & 255))
    if ((i % 5 == 0)); then printf '(%d.%06d) can0 200#%02X%02X\n' $((i / 50)) $(((i % 50) * 20000)) $((i / 5)) $((i / 50)); fi
    if ((i % 25 == 0)); then printf '(%d.%06d) can0 7E8#0241000000000000\n' $((i / 50)) $(((i % 50) * 20000)); fi
    if ((i % 10 == 0)); then printf '(%d.%06d) can0 18DAF110#10%02X\n' $((i / 50)) $(((i % 50) * 20000)) $((i / 10)); fi
  done
}

# Waits until the server's exit line is in the ring; prints its last lines.
wait_server_exit() {
  local i
  for i in $(seq 1 40); do
    if "$RUN" "$BIN/traceview.exe" -l dump 2>/dev/null | grep -q 'ribex::main Exit'; then break; fi
    sleep 0.5
  done
  "$RUN" "$BIN/traceview.exe" -l dump | tr -d '\r' >"$B/demo-trace.txt" || true
  grep -E 'MESSAGE RECEVIED|canIf(Open|Close)Req\.(netName|uniqueId)|NO CLIENTS LEFT|ribex::main Exit' \
    "$B/demo-trace.txt" || true
  local code
  code=$(grep -o 'ribex::main Exit ([0-9]*)' "$B/demo-trace.txt" | tail -n 1 | tr -dc '0-9')
  if [ "$code" != "0" ]; then
    echo "demo: ribex.exe did not end with exit code 0 (exit line: '${code:-none}')" >&2
    exit 1
  fi
  echo "ribex.exe ended by itself with exit code 0"
  "$RUN" "$BIN/traceview.exe" clear >/dev/null
}

"$RUN" "$BIN/traceview.exe" -h >/dev/null 2>&1

say "traceview hold: a trace ring that keeps the server's last lines after it has ended"
"$RUN" "$BIN/traceview.exe" -T 120000 hold 512 200 &
pids+=($!)
sleep 1

say "canpeer -s $NET: the simulated peer of $NET sends 60 frames at 25 frames/s"
"$RUN" "$BIN/canpeer.exe" -s "$NET" -g -n 60 -r 25 -I i -L i -u 5ee5:1 -t 10000 -w 1500 &
peer=$!
pids+=($peer)
sleep 0.5

say "candump -n 40 -s $NET: opens $NET (starting ribex.exe on demand) and prints 40 frames"
traced_candump -n 40 -T 20000 -s "$NET"
wait "$peer" || true

say "ribex.exe, no client left: it ends by itself (its trace: requests and end)"
wait_server_exit

say "canmon -S -T 3500 $NET: the net at a glance while canpeer replays four identifiers"
monitor_log >"$B/demo-canmon.log"
"$RUN" "$BIN/canpeer.exe" -s "$NET" -p "$(winpath "$B/demo-canmon.log")" -Q 4 -t 10000 -w 1500 &
peer=$!
pids+=($peer)
sleep 0.5
traced canmon -S -T 3500 "$NET"
wait "$peer" || true
say "ribex.exe, no client left: it ends by itself"
wait_server_exit

# The device net, where the virtual CAN driver can be loaded into the prefix.
VCAN_SH="$ROOT/SRC/WIN32/DRIVER/vcan/vcan_service.sh"
if [ -f "$BIN/vcan.sys" ] && [ -f "$VCAN_SH" ]; then
  if ! bash "$VCAN_SH" --build "$B" status 2>/dev/null | grep -qi running; then
    say "vcan_service.sh up: loading the virtual CAN driver (devices VCAN1..VCAN4)"
    if bash "$VCAN_SH" --build "$B" up >/dev/null 2>&1; then vcan_installed_here=1; fi
  fi
  if bash "$VCAN_SH" --build "$B" status 2>/dev/null | grep -qi running; then
    say "candump -n 20 $DEVICE_NET while canpeer -d $DEVICE_NET puts 20 frames on its bus"
    traced_candump -n 20 -T 20000 "$DEVICE_NET" &
    dump=$!
    pids+=($dump)
    sleep 2
    "$RUN" "$BIN/canpeer.exe" -d "$DEVICE_NET" -g -n 20 -r 40 -I 7e0 -L 8
    wait "$dump"
    say "ribex.exe, no client left: it ends by itself"
    wait_server_exit
  else
    say "the virtual CAN driver could not be loaded here: device net skipped"
  fi
fi
