#!/usr/bin/env bash
# Builds the benchmarks natively in Release and runs them. Extra arguments go to the
# decode benchmark (e.g. --benchmark_filter=photo).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/bench"
(cd "$top" && cmake --preset bench >/dev/null)
cmake --build "$build" -j2 --target decode_bench receive_bench host_bench change_bench
echo
"$build/bench/decode_bench" "$@"
echo
"$build/bench/receive_bench"
echo
"$build/bench/host_bench"
echo
"$build/bench/change_bench"

# The receiver thread under Wine, against a Release build of the counterpart server.
tavimo_top="$top"
source "$top/scripts/wine-env.sh"
(cd "$top" && cmake --preset release >/dev/null)
cmake --build "$top/build/release" -j2 --target tavimo-server >/dev/null
(cd "$top" && cmake --preset "win-$TAVIMO_WIN_ARCH" >/dev/null)
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

# A real desktop streamed to Tavimo: tavimo-host sharing a 1920x1080 Xvfb with a window
# manager, a terminal and a clock, Tavimo.exe under Wine showing it. Frames per second over
# 10 s, to read next to the receiver's bound above and the host's capture+encode time.
cmake --build "$top/build/release" -j2 --target tavimo-host >/dev/null
cmake --build "$TAVIMO_WIN_BUILD" -j2 --target Tavimo >/dev/null
source "$top/scripts/remote-desktop.sh"
trap 'tavimo_stop_remote_desktop; tavimo_stop_wine' EXIT
desktop="$TAVIMO_TEST_TMP/desktop"
mkdir -p "$desktop"
address="127.0.$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))"
printf '[host]\r\n00=%s\r\n' "$address" >"$desktop/client.ini"
tavimo_start_remote_desktop 1920x1080 "$address" "$desktop"
(cd "$desktop" && LC_ALL=ja_JP.UTF-8 "$WINE" explorer /desktop=Tavimo,1280x1024 "$TAVIMO_WIN_BUILD/Tavimo.exe" \
  >/dev/null 2>&1 </dev/null) &
sleep 4
xdotool mousemove 560 512 click 1  # the dialog, centred on the virtual desktop; Enter is OK
xdotool key Return
frames() { grep -c 'frame-send body' "$desktop/host.log" 2>/dev/null || true; }
for _ in $(seq 300); do [ "$(frames)" -ge 20 ] && break; sleep 0.1; done
first=$(frames)
start=$(date +%s.%N)
sleep 10
last=$(frames)
end=$(date +%s.%N)
echo
awk -v n=$((last - first)) -v s="$start" -v e="$end" 'BEGIN {
  printf "real desktop 1920x1080 via tavimo-host to Tavimo under Wine: %.1f frames per second (%.2f ms a frame)\n",
    n / (e - s), (e - s) * 1000 / n }'
wineserver -k 2>/dev/null || true  # Tavimo goes; the host ends the session with its summary
for _ in $(seq 100); do grep -q '^frames ' "$desktop/host.log" && break; sleep 0.1; done
grep '^frames ' "$desktop/host.log" | sed 's/^/tavimo-host, the whole session: /'

# The Windows host's GDI capture and change check next to the encode, under Wine on a
# 1920x1080 screen of its own.
cmake --build "$TAVIMO_WIN_BUILD" -j2 --target capture_bench >/dev/null
tavimo_stop_remote_desktop
tavimo_stop_wine
tavimo_start_xvfb 1920x1080
"$WINE" wineboot >/dev/null 2>&1 </dev/null || true
echo
"$WINE" "$TAVIMO_WIN_BUILD/capture_bench.exe" </dev/null
