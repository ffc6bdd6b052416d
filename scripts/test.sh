#!/usr/bin/env bash
# The test command: sets up the machine if needed, builds natively and for Windows, and
# runs the native tests (with sanitizers, plus a short fuzz run) and the Windows-side
# tests under Wine on a display of its own.
set -euo pipefail
tavimo_top=$(cd "$(dirname "$0")/.." && pwd)
cd "$tavimo_top"

bash scripts/setup.sh

jobs=2
echo "== native build (AddressSanitizer, UBSan, fuzz targets)"
cmake --preset native >/dev/null
cmake --build build/native -j$jobs

source scripts/wine-env.sh
echo "== Windows builds (i686 ships; $TAVIMO_WIN_ARCH runs the tests here)"
for arch in i686 x86_64; do
  cmake --preset "win-$arch" >/dev/null
  cmake --build "build/win-$arch" -j$jobs
done

status=0
echo "== packages (build/packages)"
bash scripts/package.sh || status=1

echo "== native tests"
(cd build/native && ctest --output-on-failure -j$jobs) || status=1

echo "== Windows-side tests under Wine ($TAVIMO_WIN_ARCH)"
export TAVIMO_OWN_DISPLAY=1
tavimo_start_xvfb
trap tavimo_stop_wine EXIT
tavimo_prepare_prefix
# The remote Windows machine of TavimoHost.exe's tests: a prefix of its own.
export TAVIMO_REMOTE_PREFIX="$tavimo_top/build/wineprefix-remote-$TAVIMO_WIN_ARCH" TAVIMO_WINE="$WINE"
tavimo_prepare_prefix "$TAVIMO_REMOTE_PREFIX"
export TAVIMO_SERVER="$tavimo_top/build/native/server/tavimo-server"
export TAVIMO_HOST="$tavimo_top/build/native/host/tavimo-host"
export TAVIMO_WAYLAND_TYPIST="$tavimo_top/build/native/tests/wayland_typist"
export TAVIMO_TEST_TMP="$TAVIMO_WIN_BUILD/test-tmp"
rm -rf "$TAVIMO_TEST_TMP" && mkdir -p "$TAVIMO_TEST_TMP"
# Wine's helpers inherit the first Wine process's output; start them beforehand with
# output elsewhere, or ctest waits on their pipes.
wineserver -p 2>/dev/null || true
"$WINE" wineboot >/dev/null 2>&1 </dev/null || true
(cd "$TAVIMO_WIN_BUILD" && ctest --output-on-failure -j$jobs --timeout 300) || status=1

exit $status
