#!/usr/bin/env bash
# Builds the benchmarks natively in Release and runs them. Extra arguments go to the
# decode benchmark (e.g. --benchmark_filter=photo).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/bench"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVIMO_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target decode_bench receive_bench
echo
"$build/bench/decode_bench" "$@"
echo
"$build/bench/receive_bench"
