#!/usr/bin/env bash
# Builds the benchmarks natively in Release and runs them.
#
#   bash scripts/bench.sh [ARG...]   all of them; ARGs go to the decode benchmark
#                                    (e.g. --benchmark_filter=photo)
#   bash scripts/bench.sh pair       only the pair's scenarios (the last part below)
#
# TAVIMO_HOST=PROGRAM puts another host in the pair: it gets --address, --log and, in the
# last scenario, --max-rate, with DISPLAY naming the screen to share.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/bench"
tavimo_top="$top"
source "$top/scripts/wine-env.sh"
source "$top/scripts/remote-desktop.sh"
export TAVIMO_OWN_DISPLAY=1
trap 'tavimo_stop_remote_desktop; tavimo_stop_wine' EXIT
for preset in bench release "win-$TAVIMO_WIN_ARCH"; do (cd "$top" && cmake --preset "$preset" >/dev/null); done

# start_viewer FOLDER ADDRESS WxH: Tavimo under Wine on a virtual desktop of that size, in
# FOLDER (no destination history there), connected through its dialog: a click in the
# address field, the address typed, Enter for OK.
start_viewer() {
  rm -f "$1/client.ini"
  (cd "$1" && LC_ALL=ja_JP.UTF-8 "$WINE" explorer /desktop=Tavimo,"$3" "$TAVIMO_WIN_BUILD/Tavimo.exe" \
    >/dev/null 2>&1 </dev/null) &
  timeout 60 xdotool search --sync --onlyvisible --name '^Tavimo$' \
    mousemove --window %1 120 43 click 1 type --delay 20 "$2"
  xdotool key Return
}

# end_session FOLDER: Tavimo goes; the host ends the session and logs its summary.
end_session() {
  wineserver -k 2>/dev/null || true
  for _ in $(seq 100); do grep -q '^frames ' "$1/host.log" && break; sleep 0.1; done
  grep '^frames ' "$1/host.log" | sed 's/^/host, the whole session: /' || true
}

random_loopback() { echo "127.$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))"; }

native_benches() {
  cmake --build "$build" -j2 --target decode_bench receive_bench host_bench change_bench
  echo
  "$build/bench/decode_bench" "$@"
  echo
  "$build/bench/receive_bench"
  echo
  "$build/bench/host_bench"
  echo
  "$build/bench/change_bench"
}

# The receiver thread under Wine, against a Release build of the counterpart server.
stream_bench() {
  cmake --build "$top/build/release" -j2 --target tavimo-server >/dev/null
  cmake --build "$TAVIMO_WIN_BUILD" -j2 --target stream_bench >/dev/null
  tavimo_start_xvfb
  tavimo_prepare_prefix
  export TAVIMO_SERVER="$top/build/release/server/tavimo-server"
  export TAVIMO_TEST_TMP="$TAVIMO_WIN_BUILD/bench-tmp"
  mkdir -p "$TAVIMO_TEST_TMP"
  echo
  "$WINE" "$TAVIMO_WIN_BUILD/stream_bench.exe" </dev/null
}

# The Windows host's GDI capture and change check next to the encode, under Wine on a
# 1920x1080 screen of its own.
capture_bench() {
  cmake --build "$TAVIMO_WIN_BUILD" -j2 --target capture_bench >/dev/null
  tavimo_stop_wine
  tavimo_start_xvfb 1920x1080
  tavimo_prepare_prefix
  echo
  "$WINE" "$TAVIMO_WIN_BUILD/capture_bench.exe" </dev/null
  tavimo_stop_wine
}

# The pair as a user has it, measured on the wire: the host shares a bare 1920x1080 Xvfb,
# Tavimo under Wine shows the whole frame on a 2000x1200 one, and pair_relay between them
# logs every frame. pair_probe puts each scenario on the remote screen and prints a line.
pair="$build/pair"
pair_connect() {  # Tavimo started afresh and receiving frames through the relay
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  local before
  before=$(wc -l <"$pair/frames.log")
  start_viewer "$pair" "$relay_address" 2000x1200
  # A host that sends only on change sends one frame to a still screen.
  for _ in $(seq 300); do [ "$(wc -l <"$pair/frames.log")" -ge $((before + 1)) ] && return 0; sleep 0.1; done
  echo "Tavimo received no frames through the relay" >&2
  return 1
}
# wine_pid NAME: the process of this Wine prefix whose program's path has NAME in it.
wine_pid() {
  local p program
  for p in $(pgrep -f "$1"); do
    IFS= read -r -d '' program <"/proc/$p/cmdline" 2>/dev/null || continue
    [[ $program == *"$1"* ]] && grep -qzxF "WINEPREFIX=$WINEPREFIX" "/proc/$p/environ" 2>/dev/null && echo "$p"
  done
  return 0
}
pair_scenario() {  # SCENARIO LABEL
  timeout 120 "$build/bench/pair_probe" "$1" "$2" "$tavimo_remote_display" "$DISPLAY" "$pair/frames.log" \
    "$tavimo_host_pid" "$(wine_pid Tavimo.exe)" "$(wine_pid wineserver)" "$tavimo_xvfb_pid"
}
pair_bench() {
  cmake --build "$build" -j2 --target pair_relay pair_probe >/dev/null
  cmake --build "$top/build/release" -j2 --target tavimo-host >/dev/null
  cmake --build "$TAVIMO_WIN_BUILD" -j2 --target Tavimo >/dev/null
  rm -rf "$pair"
  mkdir -p "$pair"
  local host_address status=0 cap="full with --max-rate 1M"
  host_address=$(random_loopback)
  relay_address=$(random_loopback)
  [ "$relay_address" != "$host_address" ] || relay_address=127.0.0.254
  tavimo_start_remote_screen 1920x1080 "$pair"
  "$build/bench/pair_relay" "$relay_address" "$host_address" "$pair/frames.log" >"$pair/relay.out" &
  tavimo_remote_pids+=($!)  # stopped after the host, before the remote screen
  for _ in $(seq 50); do [ -s "$pair/relay.out" ] && break; sleep 0.1; done
  tavimo_start_xvfb 2000x1200
  tavimo_prepare_prefix
  echo
  echo "pair: ${TAVIMO_HOST:-tavimo-host (Release)} on a 1920x1080 Xvfb, Tavimo ($TAVIMO_WIN_ARCH build," \
    "$([ "$WINEARCH" = win32 ] && echo 32 || echo 64)-bit Wine) on a 2000x1200 one," \
    "relayed $relay_address -> $host_address; load average$(uptime | sed 's/.*average//')"

  tavimo_start_host "$host_address" "$pair"
  pair_connect
  pair_scenario idle "idle, a still photo"
  pair_scenario strip "strip, 300x40 changing 10 times a second"
  pair_scenario flip "flip latency, 200x200 square"
  pair_scenario full "full, two pictures alternating up to 50 times a second"

  end_session "$pair"
  kill "$tavimo_host_pid" && wait "$tavimo_host_pid" || true
  tavimo_start_host "$host_address" "$pair" --max-rate 1M 2>"$pair/host.err" || status=$?
  if [ "$status" = 2 ]; then
    echo "$cap: skipped, the host rejects --max-rate (exit status 2)"
  elif [ "$status" != 0 ]; then
    echo "$cap: the host did not start (exit status $status)" >&2
    return 1
  else
    pair_connect
    pair_scenario settle "$cap"
  fi
}

if [ "${1:-}" = pair ]; then
  pair_bench
else
  native_benches "$@"
  stream_bench
  capture_bench
  pair_bench
fi
