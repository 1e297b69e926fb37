#!/usr/bin/env bash
# The installer as a user meets it, in a fresh Wine prefix with its own
# wineserver (killed at the end):
#   1. CPack builds the installer from this build;
#   2. "ribex-*.exe /S /DRIVER /D=C:\ribex test" installs silently: files,
#      registry, Start-menu shortcuts and the driver service are there;
#   3. from the installed folder, candump starts the installed ribex.exe on
#      demand and prints frames that canpeer sends into a simulated net;
#   4. the SDK example builds against the installed SDK (its CMake package
#      found in the installed folder) and receives frames too;
#   5. a second "ribex-*.exe /S", without /D= and /DRIVER, removes the first
#      installation (its driver service included, files of the user's
#      kept) and installs into the same folder again;
#   6. "Uninstall.exe /S" leaves nothing of ours: no folder, no registry
#      key, no shortcut, no service, no driver file.
#
#   installer_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

B=$(cd "$1" && pwd)
S=$(cd "$2" && pwd)
W=$B/installer-test
export RIBEX_WINEPREFIX=$W/prefix WINEPREFIX=$W/prefix
RUN=("$B/wine-run.sh")
C=$WINEPREFIX/drive_c
INSTALL_WIN='C:\ribex test'
INSTALL=$C/ribex\ test
START_MENU="$C/ProgramData/Microsoft/Windows/Start Menu/Programs/ribex"
NET=INST$$
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ribex'

fail() { echo "installer_test: FAILED: $*" >&2; exit 1; }
step() { echo "== $*"; }
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

w() { "${RUN[@]}" "$@" </dev/null; }
reg_has() { w reg query "$1" >/dev/null 2>&1; }
service_exists() { w sc query vcan >/dev/null 2>&1; }
# The data of a registry value (name "" for the key's default value).
reg_value() {
  local which=(/ve)
  [ -z "$2" ] || which=(/v "$2")
  w reg query "$1" "${which[@]}" 2>/dev/null | tr -d '\r' |
    sed -n 's/^    .*    REG_[A-Z_]*    //p'
}
expect_value() {
  local got
  got=$(reg_value "$1" "$2")
  [ "$got" = "$3" ] || fail "$1 ${2:-(default)} is '$got', not '$3'"
}

# Frames of a simulated net shown by a client run from the install:
# canpeer queues 60 frames of NET (its queue holds 64) over 3 s and keeps
# the queue 5 s longer; the client prints some of them. A simulated net
# opens only once its peer's queue is there: on a busy machine the client
# may come first, and then tries again.
frames_through() {
  local out=$1; shift
  w "$INSTALL_WIN\\bin\\canpeer.exe" -s "$NET" -g -n 60 -r 20 -I 123 -L 4 -t 20000 -w 5000 \
    >"$W/canpeer.txt" 2>&1 &
  pids+=($!)
  local peer=$! try rc
  for try in 1 2 3; do
    sleep 1
    rc=0
    w "$@" >"$out" 2>&1 || rc=$?
    [ "$rc" = 0 ] && break
  done
  [ "$rc" = 0 ] || fail "$* ended with $rc ($(tr -d '\r' <"$out" | tail -n 3))"
  wait "$peer" || fail "canpeer ended with $? ($(cat "$W/canpeer.txt"))"
  local n
  n=$(tr -d '\r' <"$out" | grep -cE "^\([0-9]+\.[0-9]{6}\) $NET 123#[0-9A-F]{8}$" || true)
  [ "$n" -ge 3 ] || fail "$* printed $n frames of $NET: $(tr -d '\r' <"$out")"
}

rm -rf "$W"
mkdir -p "$W"

step "cpack: the installer and the portable zip"
(cd "$B" && cpack -G "NSIS;ZIP" --config CPackConfig.cmake -B "$W/package" >"$W/cpack.log" 2>&1) ||
  fail "cpack: $(tail -n 20 "$W/cpack.log")"
installer=$(ls "$W"/package/ribex-*-win64.exe)
zip=$(ls "$W"/package/ribex-*-win64.zip)
zipped=$(cmake -E tar tf "$zip")
for f in bin/ribex.exe bin/candump.exe bin/ribexclient.dll include/ribex_client.h \
         lib/cmake/ribex/ribexConfig.cmake driver/vcan.sys README.md; do
  grep -qx "ribex-[0-9.]*-win64/$f" <<<"$zipped" || fail "not in the zip: $f"
done

step "fresh prefix $WINEPREFIX"
w cmd /c exit 0 >/dev/null 2>&1
[ ! -e "$C/windows/system32/drivers/vcan.sys" ] || fail "the fresh prefix already has vcan.sys"

step "silent install with the driver into $INSTALL_WIN"
cp "$installer" "$C/setup.exe"
# Through cmd, as a user types it: /D= is last and unquoted, spaces and all.
w cmd /c "C:\setup.exe /S /DRIVER /D=$INSTALL_WIN" || fail "the installer ended with $?"
rm -f "$C/setup.exe"
for f in bin/ribex.exe bin/candump.exe bin/canpeer.exe bin/traceview.exe bin/msgqtool.exe \
         bin/ribexclient.dll include/ribex_client.h include/rx_buffer_layout.h lib/ribexclient.lib \
         lib/cmake/ribex/ribexConfig.cmake lib/cmake/ribex/ribexConfigVersion.cmake \
         examples/ribex_listen.c driver/vcan.sys driver/WINDOWS_TEST_SIGNING.md README.md \
         Uninstall.exe; do
  [ -f "$INSTALL/$f" ] || fail "not installed: $f"
done
reg_has "$UNINSTALL_KEY" || fail "no Uninstall key"
reg_has 'HKLM\Software\ribex\ribex' || fail "no HKLM\\Software\\ribex\\ribex key"
service_exists || fail "no service vcan"
[ -f "$C/windows/system32/drivers/vcan.sys" ] || fail "vcan.sys not in system32\\drivers"
# The batch that carries a full bus, as vcan_service.sh writes it.
w reg query 'HKLM\SYSTEM\CurrentControlSet\Services\vcan' /v NoMsgPerRead | tr -d '\r' |
  grep -q 'REG_DWORD[[:space:]]*0x40$' || fail "the service key has no NoMsgPerRead 64"
expect_value 'HKLM\Software\ribex\ribex' "" "$INSTALL_WIN"
expect_value "$UNINSTALL_KEY" DisplayName "ribex 1.0.0"
expect_value "$UNINSTALL_KEY" DisplayVersion 1.0.0
expect_value "$UNINSTALL_KEY" UninstallString "\"$INSTALL_WIN\\Uninstall.exe\""
[ -f "$START_MENU/ribex console.lnk" ] && [ -f "$START_MENU/ribex README.lnk" ] &&
  [ -f "$START_MENU/Uninstall.lnk" ] ||
  fail "Start-menu shortcuts missing: $(ls "$START_MENU" 2>&1)"
w "$INSTALL_WIN\\bin\\candump.exe" -V | tr -d '\r' | grep -qx "candump 1.0.0" ||
  fail "installed candump -V"

step "candump from the installed folder, frames from canpeer -s $NET"
frames_through "$W/candump.txt" "$INSTALL_WIN\\bin\\candump.exe" -n 3 -T 30000 "$NET"
cat "$W/candump.txt"

step "the SDK example, built against the installed SDK"
cmake -S "$INSTALL/examples" -B "$W/example" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$S/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$INSTALL" -DCMAKE_BUILD_TYPE=Release >"$W/example.log" 2>&1 &&
  cmake --build "$W/example" >>"$W/example.log" 2>&1 ||
  fail "example build: $(tail -n 20 "$W/example.log")"
grep -q "$INSTALL/include" "$W/example/build.ninja" ||
  fail "the example was not compiled against the installed headers"
! grep -q "$S/SRC" "$W/example/build.ninja" || fail "example reaches into the source tree"
# Run from its build folder: the DLL through PATH, the server by RIBEX_SERVER.
export WINEPATH="$INSTALL_WIN\\bin" RIBEX_SERVER="$INSTALL_WIN\\bin\\ribex.exe"
frames_through "$W/example.txt" "$W/example/ribex_listen.exe" "$NET" 3 30
unset WINEPATH RIBEX_SERVER
grep -qx "ribexclient 1.0.0" <(tr -d '\r' <"$W/example.txt") || fail "example: no version line"
cat "$W/example.txt"

step "a second install, without /D= and /DRIVER, replaces the first"
# The server that the example started may still be running: the old
# uninstaller waits for it to end before it deletes ribex.exe.
echo "not ours" >"$INSTALL/bin/notes.txt"
cp "$installer" "$C/setup.exe"
w cmd /c "C:\setup.exe /S" || fail "the second install ended with $?"
rm -f "$C/setup.exe"
[ -f "$INSTALL/bin/ribex.exe" ] && [ -f "$INSTALL/Uninstall.exe" ] ||
  fail "the second install did not go to $INSTALL_WIN: $(ls "$INSTALL" 2>&1)"
[ ! -e "$INSTALL/driver" ] || fail "the first install's driver folder is left"
! service_exists || fail "the first install's service vcan is left"
[ ! -e "$C/windows/system32/drivers/vcan.sys" ] || fail "the first install's vcan.sys is left"
[ -z "$(reg_value 'HKLM\Software\ribex\ribex' DriverService)" ] ||
  fail "the first install's DriverService mark is left"
grep -qx "not ours" "$INSTALL/bin/notes.txt" || fail "a file of the user's went with the first install"
rm "$INSTALL/bin/notes.txt"
expect_value "$UNINSTALL_KEY" UninstallString "\"$INSTALL_WIN\\Uninstall.exe\""

step "silent uninstall"
# The uninstaller copies itself away and returns at once: wait for its work.
w "$INSTALL_WIN\\Uninstall.exe" /S || fail "the uninstaller ended with $?"
for _ in $(seq 1 120); do
  if [ ! -e "$INSTALL" ] && ! reg_has "$UNINSTALL_KEY"; then break; fi
  sleep 0.5
done
[ ! -e "$INSTALL" ] || fail "left in the install folder: $(cd "$INSTALL" && find . | head)"
! reg_has "$UNINSTALL_KEY" || fail "Uninstall key left"
! reg_has 'HKLM\Software\ribex' || fail "HKLM\\Software\\ribex left"
! service_exists || fail "service vcan left"
[ ! -e "$C/windows/system32/drivers/vcan.sys" ] || fail "system32\\drivers\\vcan.sys left"
[ ! -e "$START_MENU" ] || fail "Start-menu folder left: $(ls "$START_MENU")"
echo "installer_test: passed"
