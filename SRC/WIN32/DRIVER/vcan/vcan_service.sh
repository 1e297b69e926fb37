#!/usr/bin/env bash
# Installs, starts, stops and removes the virtual CAN driver in a Wine
# prefix, and writes the values of its service key.
#
#   vcan_service.sh [options] install      copy the driver, create the service, write its key
#                                          (devices, prefix, NoMsgPerRead 64)
#   vcan_service.sh [options] start        load the driver (creates the devices)
#   vcan_service.sh [options] stop         unload it (open handles lose their reads)
#   vcan_service.sh [options] restart      stop (if running) and start: picks up new values
#   vcan_service.sh [options] uninstall    stop, delete the service, remove the file
#   vcan_service.sh [options] up           install and start (the test fixture's setup)
#   vcan_service.sh [options] down         the same as uninstall
#   vcan_service.sh [options] set NAME DWORD     e.g. set NoMsgPerRead 16, set MajorVersion 5
#   vcan_service.sh [options] unset NAME
#   vcan_service.sh [options] status
#
# Options:
#   --build DIR     a build folder: its wine-run.sh, wineprefix and bin/vcan.sys
#   --service NAME  service key name (default vcan)
#   --prefix TEXT   device name prefix (default VCAN: devices VCAN1..VCANn)
#   --count N       number of devices (default 4)
#   --sys FILE      the driver image (default DIR/bin/vcan.sys)
#
# Without --build, WINEPREFIX must name the prefix and `wine` is used.
# Values the driver reads when it starts: DeviceCount, DevicePrefix,
# QueueFrames, MajorVersion, MinorVersion. Values the server reads when it
# opens a net: NoMsgPerRead, RxProcPrio.
set -euo pipefail

SERVICE=vcan
PREFIX=VCAN
COUNT=4
SYS=""
WINE=(wine)

usage() { sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

while [ $# -gt 0 ]; do
  case "$1" in
    --build) B=$(cd "$2" && pwd); WINE=("$B/wine-run.sh"); export WINEPREFIX="$B/wineprefix"; SYS=${SYS:-$B/bin/vcan.sys}; shift 2 ;;
    --service) SERVICE=$2; shift 2 ;;
    --prefix) PREFIX=$2; shift 2 ;;
    --count) COUNT=$2; shift 2 ;;
    --sys) SYS=$2; shift 2 ;;
    -h|--help) usage ;;
    --*) echo "vcan_service.sh: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || usage
CMD=$1; shift

: "${WINEPREFIX:?set WINEPREFIX or pass --build}"
KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$SERVICE"
DRIVERS="$WINEPREFIX/drive_c/windows/system32/drivers"

w() { "${WINE[@]}" "$@" </dev/null; }
quiet() { w "$@" >/dev/null 2>&1; }

# "wine wineboot -i" on a fresh prefix leaves two service managers running.
# Each sc call then reaches one of them at random, and drivers started by
# either time out (both name their control pipes alike). The younger one
# is the stray: it is stopped, by its process id, and only when there are
# two in this very prefix.
one_service_manager() {
  local pids=() p
  for p in $(pgrep -x services.exe 2>/dev/null; pgrep -f '\\services\.exe' 2>/dev/null); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && pids+=("$p")
  done
  mapfile -t pids < <(printf '%s\n' "${pids[@]}" | sort -u)
  [ "${#pids[@]}" -gt 1 ] || return 0
  local oldest="" oldestStart="" start
  for p in "${pids[@]}"; do
    start=$(awk '{print $22}' "/proc/$p/stat" 2>/dev/null) || continue
    if [ -z "$oldest" ] || [ "$start" -lt "$oldestStart" ]; then oldest=$p; oldestStart=$start; fi
  done
  for p in "${pids[@]}"; do
    [ "$p" = "$oldest" ] && continue
    echo "vcan_service.sh: a second service manager (pid $p) runs in $WINEPREFIX; stopping it" >&2
    kill "$p" 2>/dev/null || true
  done
  sleep 0.5
}

sc_q() { w sc "$@" 2>/dev/null; }
is_installed() { sc_q query "$SERVICE" >/dev/null; }
is_running() { sc_q query "$SERVICE" | grep -q RUNNING; }

do_install() {
  [ -f "$SYS" ] || { echo "vcan_service.sh: no driver image at '$SYS' (use --sys or --build)" >&2; exit 1; }
  quiet cmd /c exit 0 || true      # creates the prefix on first use
  one_service_manager
  if is_installed; then do_stop; sc_q delete "$SERVICE" >/dev/null || true; fi
  mkdir -p "$DRIVERS"
  cp -f "$SYS" "$DRIVERS/$SERVICE.sys"
  sc_q create "$SERVICE" type= kernel start= demand binPath= "C:\\windows\\system32\\drivers\\$SERVICE.sys" >/dev/null ||
    { echo "vcan_service.sh: sc create $SERVICE failed" >&2; exit 1; }
  quiet reg add "$KEY" /v DeviceCount /t REG_DWORD /d "$COUNT" /f
  quiet reg add "$KEY" /v DevicePrefix /t REG_SZ /d "$PREFIX" /f
  # 64 frames per server read carry a full 1 Mbit/s bus (7,600 frames/s)
  # with room to spare; the server's own default of 2 overflows the
  # driver's queue there. The installer writes the same value.
  quiet reg add "$KEY" /v NoMsgPerRead /t REG_DWORD /d 64 /f
}

do_start() {
  is_running && return 0
  sc_q start "$SERVICE" >/dev/null || true
  for _ in $(seq 50); do is_running && return 0; sleep 0.1; done
  echo "vcan_service.sh: $SERVICE did not reach RUNNING" >&2; exit 1
}

do_stop() {
  is_running || return 0
  sc_q stop "$SERVICE" >/dev/null || true
  for _ in $(seq 50); do is_running || return 0; sleep 0.1; done
  echo "vcan_service.sh: $SERVICE did not stop" >&2; exit 1
}

do_uninstall() {
  if is_installed; then do_stop; sc_q delete "$SERVICE" >/dev/null || true; fi
  rm -f "$DRIVERS/$SERVICE.sys"
}

case "$CMD" in
  install) do_install ;;
  start) do_start ;;
  stop) do_stop ;;
  restart) do_stop; do_start ;;
  uninstall|down) do_uninstall ;;
  up) do_install; do_start ;;
  set) [ $# -eq 2 ] || usage; quiet reg add "$KEY" /v "$1" /t REG_DWORD /d "$2" /f ;;
  unset) [ $# -eq 1 ] || usage; quiet reg delete "$KEY" /v "$1" /f || true ;;
  status) sc_q query "$SERVICE" ;;
  *) echo "vcan_service.sh: unknown command $CMD" >&2; usage ;;
esac
