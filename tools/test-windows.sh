#!/usr/bin/env bash
# Cross-builds volpack for 64-bit Windows with mingw-w64 into build-win/ and runs
# the whole test suite under Wine; then packages one tree with volpack.exe under
# Wine and with the Linux build and compares what 7-Zip reads from the two
# images (tools/compare-windows-image.sh); builds the .zip package and checks
# it (tools/check-package.sh). Installs what a Debian/Ubuntu
# machine lacks. Wine keeps its own Windows installation in build-win/wineprefix.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
[ -f /usr/x86_64-w64-mingw32/include/zlib.h ] || need+=(libz-mingw-w64-dev)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v 7zz >/dev/null || need+=(7zip)
# Debian installs the 64-bit loader as /usr/lib/wine/wine64, off PATH.
wine=$(command -v wine64 || true)
if [ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; fi
[ -n "$wine" ] || need+=(wine64)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
fi

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] || jobs=2
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
nice -n 10 cmake --build build-win -j"$jobs"

export WINEPREFIX="$PWD/build-win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One Wine server for all the test processes of this run, stopped at the end.
# Wine's own background processes start with the first program; starting them
# here keeps them from inheriting (and holding open) a test's output pipe.
wineserver="$(dirname "$(readlink -f "$wine")")/wineserver"
[ -x "$wineserver" ] || wineserver=wineserver
mkdir -p "$WINEPREFIX"
"$wineserver" -p 2>/dev/null || true  # a server of this prefix may be running already
trap '"$wineserver" -k 2>/dev/null || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i >/dev/null 2>&1 </dev/null || true
fi
"$wine" cmd.exe /c ver >/dev/null 2>&1 </dev/null || true

ctest --test-dir build-win -j"$jobs" --output-on-failure
tools/compare-windows-image.sh
VOLPACK_WINE="$wine" tools/check-package.sh build-win
