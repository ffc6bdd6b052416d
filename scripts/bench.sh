#!/usr/bin/env bash
# Builds the benchmarks natively in Release and runs them. Extra arguments go to the
# decode benchmark (e.g. --benchmark_filter=photo).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/bench"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVIMO_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target decode_bench receive_bench host_bench
echo
"$build/bench/decode_bench" "$@"
echo
"$build/bench/receive_bench"
echo
"$build/bench/host_bench"

# The receiver thread under Wine, against a Release build of the counterpart server.
tavimo_top="$top"
source "$top/scripts/wine-env.sh"
cmake -S "$top" -B "$top/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build/release" -j2 --target tavimo-server >/dev/null
cmake -S "$top" -B "$TAVIMO_WIN_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$TAVIMO_WIN_ARCH.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$TAVIMO_WIN_BUILD" -j2 --target stream_bench >/dev/null
export TAVIMO_OWN_DISPLAY=1
tavimo_start_xvfb
trap tavimo_stop_wine EXIT
tavimo_prepare_prefix
export TAVIMO_SERVER="$top/build/release/server/tavimo-server"
export TAVIMO_TEST_TMP="$TAVIMO_WIN_BUILD/bench-tmp"
mkdir -p "$TAVIMO_TEST_TMP"
echo
"$WINE" "$TAVIMO_WIN_BUILD/stream_bench.exe" </dev/null
