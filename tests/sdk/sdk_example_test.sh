#!/usr/bin/env bash
# The SDK from a staging install: "cmake --install" into build/sdk-test/stage,
# examples/ configured on its own with CMAKE_PREFIX_PATH at the stage (so
# find_package(ribex) must find ribex::client there, not in the source
# tree), built, and run from the stage's bin folder while canpeer feeds a
# simulated net: it prints the frames and the DLL's version; a net nobody
# serves is explained.
#
#   sdk_example_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

B=$(cd "$1" && pwd)
S=$(cd "$2" && pwd)
W=$B/sdk-test
STAGE=$W/stage
RUN=("$B/wine-run.sh")
NET=SDK$$

fail() { echo "sdk_example_test: FAILED: $*" >&2; exit 1; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

rm -rf "$W"
mkdir -p "$W"
cmake --install "$B" --prefix "$STAGE" >"$W/install.log" || fail "cmake --install"

cmake -S "$S/examples" -B "$W/example" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$S/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$STAGE" -DCMAKE_BUILD_TYPE=Release >"$W/example.log" 2>&1 &&
  cmake --build "$W/example" >>"$W/example.log" 2>&1 ||
  fail "example build: $(tail -n 20 "$W/example.log")"
grep -q "ribex_DIR:PATH=$STAGE/lib/cmake/ribex" "$W/example/CMakeCache.txt" ||
  fail "find_package(ribex) did not use the stage: $(grep ribex_DIR "$W/example/CMakeCache.txt")"
! grep -q "$S/SRC" "$W/example/build.ninja" || fail "the example reaches into the source tree"

# Beside the stage's DLL and server, as a user's program in the install.
cp "$W/example/ribex_listen.exe" "$STAGE/bin/"
"${RUN[@]}" "$(winpath "$STAGE/bin/canpeer.exe")" -s "$NET" -g -n 60 -r 20 -I 7e1 -L 2 -t 20000 \
  -w 5000 </dev/null >"$W/canpeer.txt" 2>&1 &
peer=$!
trap 'kill $peer 2>/dev/null || true' EXIT
# The net opens once the peer's queue is there: a client that came first
# tries again.
for try in 1 2 3; do
  sleep 1
  rc=0
  "${RUN[@]}" "$(winpath "$STAGE/bin/ribex_listen.exe")" "$NET" 4 30 </dev/null >"$W/out.txt" 2>&1 ||
    rc=$?
  [ "$rc" = 0 ] && break
done
[ "$rc" = 0 ] || fail "ribex_listen ended with $rc: $(cat "$W/out.txt")"
wait "$peer" || fail "canpeer ended with $?: $(cat "$W/canpeer.txt")"
out=$(tr -d '\r' <"$W/out.txt")
echo "$out"
grep -qx "ribexclient 1.0.0" <<<"$out" || fail "no version line"
[ "$(grep -cE "^\([0-9]+\.[0-9]{6}\) $NET 7E1#[0-9A-F]{4}$" <<<"$out")" = 4 ] || fail "not 4 frames"
grep -qx "4 frames, 0 lost" <<<"$out" || fail "no closing line"

# A net nobody serves: the installed DLL explains the failed open to the
# example (RibexOpenNetEx, RibexDescribeOpenFailure), exit code 1.
rc=0
"${RUN[@]}" "$(winpath "$STAGE/bin/ribex_listen.exe")" "NO$NET" 1 5 </dev/null >"$W/none.txt" 2>&1 ||
  rc=$?
none=$(tr -d '\r' <"$W/none.txt")
echo "$none"
[ "$rc" = 1 ] || fail "ribex_listen on NO$NET ended with $rc"
grep -q "^ribex_listen: cannot open NO$NET: no device .*no simulated peer queue named NO$NET" \
  <<<"$none" || fail "the failed open was not explained"
echo "sdk_example_test: passed"
