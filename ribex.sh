#!/usr/bin/env bash
# ribex's one entry point: installs what is missing, builds the Windows
# programs with MinGW-w64 and runs them under Wine.
#
#   ./ribex.sh demo        install, build and run the end-to-end demo
#   ./ribex.sh test        install, build and run every test under Wine
#   ./ribex.sh deps        install the Debian packages only
#   ./ribex.sh build       configure and build (build/ by default)
#   ./ribex.sh bench       build and run the benchmarks
#   ./ribex.sh soak [MINUTES]  build and run the stress tool (default 10 minutes)
#   ./ribex.sh package     build the Windows installer and zip (build/package/)
#   ./ribex.sh wine PROG [ARGS]   run build/bin/PROG under the test prefix
#   ./ribex.sh stop        stop the build's persistent wineserver
#
# BUILD_DIR overrides the build folder; BUILD_TYPE the CMake build type.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}
# nsis: makensis for ./ribex.sh package and the installer test; python3-can: the peer that
# proves our log formats and the socketcand server against code nobody here wrote; tmux: the
# real terminal in which canmon's console test runs.
# python3-canmatrix: the DBC oracle; nlohmann-json3-dev: the JSON Lines writer (header-only).
# libz-mingw-w64-dev: zlib for BLF log containers, linked statically into the tools.
# libboost1.81-dev: Boost.Beast and Boost.URL, ribexweb's HTTP server (header-only; Debian's
# cpp-httplib ships its code only as a Linux library). chromium, chromium-driver and
# python3-selenium: the real browser in which ribexweb's page test runs.
PACKAGES=(wine64 wine g++-mingw-w64-x86-64 cmake ninja-build python3 nsis python3-can tmux python3-canmatrix nlohmann-json3-dev libz-mingw-w64-dev libboost1.81-dev chromium chromium-driver python3-selenium)

log() { printf '== %s\n' "$*" >&2; }

deps() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  # npm fetches the page's plotting library (uPlot) at build time; a Node.js of
  # another origin may bring its own npm.
  command -v npm >/dev/null || missing+=(npm)
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
  fi
  # GoogleTest sources come with the googletest package.
  if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
    log "installing googletest sources"
    DEBIAN_FRONTEND=noninteractive ${sudo:-} apt-get install -y -q googletest
  fi
}

configure() {
  if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    log "configuring $BUILD_DIR"
    local launcher=()
    # ccache, where installed, lets several work trees share their objects.
    if command -v ccache >/dev/null; then
      launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "${launcher[@]}" >/dev/null
  fi
}

build() {
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
  configure
  log "building"
  cmake --build "$BUILD_DIR" -j "$(nproc)"
}

wine_run() { "$BUILD_DIR/wine-run.sh" "$@"; }

# A program by path, by name in build/bin with or without .exe, or else as
# Wine knows it (cmd, regedit).
program_path() {
  local p=$1
  if [ -f "$p" ]; then echo "$p"
  elif [ -f "$BUILD_DIR/bin/$p" ]; then echo "$BUILD_DIR/bin/$p"
  elif [ -f "$BUILD_DIR/bin/$p.exe" ]; then echo "$BUILD_DIR/bin/$p.exe"
  else echo "$p"
  fi
}

stop_server() {
  if [ -d "$BUILD_DIR/wineprefix" ]; then
    WINEPREFIX="$BUILD_DIR/wineprefix" wineserver -k 2>/dev/null || true
  fi
}

# Starts the prefix (and its persistent wineserver) once, before the tests.
start_prefix() {
  log "starting the Wine prefix"
  # The first program after the wineserver starts also starts the prefix's
  # services; they keep the stdio they inherit, so give them none of ours.
  wine_run cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}

# Installs and starts the virtual CAN driver (devices VCAN1..VCAN8).
driver_up() {
  log "loading the virtual CAN driver"
  bash "$ROOT/SRC/WIN32/DRIVER/vcan/vcan_service.sh" --build "$BUILD_DIR" --count 8 up >/dev/null
}

run_tests() {
  deps
  build
  start_prefix
  trap stop_server EXIT
  log "running the tests"
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j 2 --timeout 600
}

run_bench() {
  deps
  build
  start_prefix
  trap stop_server EXIT
  driver_up
  local b
  for b in "$BUILD_DIR"/bin/*_bench.exe; do
    [ -f "$b" ] || continue
    log "$(basename "$b")"
    wine_run "$b"
  done
  # Benchmarks driven from the host: an emulated serial adapter, TCP clients, python-can.
  for b in "$ROOT"/SRC/WIN32/TOOLS/*/bench/*_bench.py; do
    [ -f "$b" ] || continue
    log "$(basename "$b")"
    /usr/bin/python3 "$b" "$BUILD_DIR"
  done
}

# The long stress run: 500 frames/s on a simulated and a device net, 120
# client processes a minute, half of them killed. Its exit code is the verdict.
run_soak() {
  local minutes=${1:-10}
  if ! [[ $minutes =~ ^[1-9][0-9]*$ ]]; then
    echo "soak: MINUTES must be a positive whole number, not '$minutes'" >&2
    exit 2
  fi
  deps
  build
  start_prefix
  trap stop_server EXIT
  driver_up
  log "ribexstress for $minutes minute(s)"
  # The server is killed every minute and the driver restarted every 90 s;
  # quiet points every 30 s sample each server's handles and memory at rest.
  wine_run "$BUILD_DIR/bin/ribexstress.exe" -t $((minutes * 60)) -r 500 -c 120 -k 60 -i 30 \
    -K 60 -D 90 -s SOAKSIM -d VCAN5
}

run_demo() {
  deps
  build
  start_prefix
  trap stop_server EXIT
  driver_up || log "virtual CAN driver not loaded: the demo shows the simulated net only"
  BUILD_DIR="$BUILD_DIR" bash "$ROOT/scripts/demo.sh"
}

# The 64-bit NSIS installer and the portable zip, made by CPack from the
# build's install rules.
run_package() {
  deps
  build
  log "packaging"
  (cd "$BUILD_DIR" && cpack -C "$BUILD_TYPE" --config CPackConfig.cmake >"$BUILD_DIR/cpack.log") ||
    { cat "$BUILD_DIR/cpack.log" >&2; exit 1; }
  ls -1 "$BUILD_DIR"/package/ribex-*.exe "$BUILD_DIR"/package/ribex-*.zip
}

cmd=${1:-help}
shift || true
case "$cmd" in
  deps) deps ;;
  build) deps; build ;;
  test) run_tests ;;
  bench) run_bench ;;
  soak) run_soak "$@" ;;
  demo) run_demo ;;
  package) run_package ;;
  wine) wine_run "$(program_path "$1")" "${@:2}" ;;
  stop) stop_server ;;
  *) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 1 ;;
esac
