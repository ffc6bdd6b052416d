#!/usr/bin/env bash
# Builds the benchmarks natively in Release and runs them.
#
#   bash scripts/bench.sh [ARG...]   all of them; ARGs go to the decode benchmark
#                                    (e.g. --benchmark_filter=photo)
#   bash scripts/bench.sh pair       only the pair's scenarios (the last part below)
#   bash scripts/bench.sh wayland    only tavimo-host's GNOME backend next to its X backend
#
# The pair's scenarios run for each link in TAVIMO_LINKS (default "loopback 40ms/20M":
# loopback, or a round trip and a rate in bits a second that pair_relay emulates), and
# for each pair on it: with TAVIMO_BASELINE=DIR, first "today", the Release tavimo-host
# and the Tavimo.exe built in DIR (a checkout of another commit, e.g. a git worktree),
# then "new", this tree's. Every line starts with [PAIR, LINK]; a summary groups them by
# scenario at the end.
#   TAVIMO_BASELINE=../wt-base bash scripts/bench.sh pair
# TAVIMO_HOST=PROGRAM puts another host in the new pair: it gets --address, --log and, in
# the last scenario, --max-rate, with DISPLAY naming the screen to share. TAVIMO_VIEWER=EXE
# puts another Tavimo.exe there. A scenario that fails says so in its line, and the others
# still run. (The click scenario's square is an X window: TavimoHost.exe under Wine puts
# clicks into Wine's own windows, so with it that scenario fails.)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/bench"
tavimo_top="$top"
source "$top/scripts/wine-env.sh"
source "$top/scripts/remote-desktop.sh"
export TAVIMO_OWN_DISPLAY=1
trap 'tavimo_stop_remote_desktop; tavimo_stop_wine' EXIT
for preset in bench release "win-$TAVIMO_WIN_ARCH"; do (cd "$top" && cmake --preset "$preset" >/dev/null); done

# start_viewer FOLDER ADDRESS WxH [EXE]: Tavimo (EXE, or this tree's) under Wine on a
# virtual desktop of that size, in FOLDER (no destination history there), connected
# through its dialog: a click in the address field, the address typed, Enter for OK.
start_viewer() {
  rm -f "$1/client.ini"
  (cd "$1" && LC_ALL=ja_JP.UTF-8 "$WINE" explorer /desktop=Tavimo,"$3" "${4:-$TAVIMO_WIN_BUILD/Tavimo.exe}" \
    >/dev/null 2>&1 </dev/null) &
  timeout 60 xdotool search --sync --onlyvisible --name '^Tavimo$' \
    mousemove --window %1 120 43 click 1 type --delay 20 "$2"
  xdotool key Return
}

# end_session FOLDER: Tavimo goes; the host ends the session and logs its summary.
end_session() {
  wineserver -k 2>/dev/null || true
  for _ in $(seq 100); do grep -q '^frames ' "$1/host.log" && break; sleep 0.1; done
  grep '^frames ' "$1/host.log" | sed "s|^|$label host, the whole session: |" || true
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

# The Release tavimo-host sharing a headless mutter (--backend gnome) next to it sharing an
# Xvfb of the same size (--backend x11): idle, flip latency, CPU per full-screen frame.
wayland_bench() {
  cmake --build "$build" -j2 --target wayland_bench >/dev/null
  cmake --build "$top/build/release" -j2 --target tavimo-host >/dev/null
  echo
  "$build/bench/wayland_bench" "$top/build/release/host/tavimo-host"
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
# logs every frame, passing it on at once or as the link of the pass does. pair_probe puts
# each scenario on the remote screen and prints a line.
pair="$build/pair"
pair_connect() {  # Tavimo started afresh and receiving frames through the relay
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  local before
  before=$(wc -l <"$run/frames.log")
  start_viewer "$run" "$relay_address" 2000x1200 "$viewer"
  # A host that sends only on change sends one frame to a still screen.
  for _ in $(seq 300); do [ "$(wc -l <"$run/frames.log")" -ge $((before + 1)) ] && return 0; sleep 0.1; done
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
# pair_failed WHAT: a labelled line for what did not work; the run goes on and fails at the end.
pair_failed() {
  echo "$label $1" | tee -a "$pair/results"
  pair_failures=$((pair_failures + 1))
}
pair_scenario() {  # SCENARIO LABEL
  local status=0
  timeout 120 "$build/bench/pair_probe" "$1" "$label $2" "$tavimo_remote_display" "$DISPLAY" "$run/frames.log" \
    "$tavimo_host_pid" "$(wine_pid Tavimo.exe)" "$(wine_pid wineserver)" "$tavimo_xvfb_pid" |
    tee -a "$pair/results" || status=$?
  [ "$status" = 0 ] || pair_failed "$2: failed (exit status $status)"
}
# stop PID: ends a process started here and forgets it.
stop() {
  kill "$1" 2>/dev/null && wait "$1" 2>/dev/null || true
  local kept=() pid
  for pid in "${tavimo_remote_pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  tavimo_remote_pids=("${kept[@]}")
}
# relay_options LINK: pair_relay's options for "loopback" or RTT/RATE (40ms/20M).
relay_options() {
  local rtt=${1%%/*} rate=${1#*/}
  if [ "$1" = loopback ]; then
    return 0
  elif [[ $1 == */* && ${rtt%ms} =~ ^[0-9]+(\.[0-9]+)?$ && $rate =~ ^[0-9]+(\.[0-9]+)?[kKMG]?$ ]]; then
    echo "--rtt-ms ${rtt%ms} --rate $rate"
  else
    echo "TAVIMO_LINKS: $1 is neither loopback nor RTT/RATE, e.g. 40ms/20M" >&2
    return 1
  fi
}
# pair_pass PAIR HOST VIEWER LINK: every scenario with that host and Tavimo.exe, through a
# relay of its own that is that link.
pair_pass() {
  local options status=0 relay cap="full with --max-rate 1M"
  local TAVIMO_HOST=$2  # tavimo_start_host's host
  viewer=$3
  label="[$1, $4]"
  run="$pair/$1-${4//\//-}"
  options=$(relay_options "$4")
  mkdir -p "$run"
  : >"$run/frames.log"
  # shellcheck disable=SC2086 # the options are words
  "$build/bench/pair_relay" $options "$relay_address" "$host_address" "$run/frames.log" >"$run/relay.out" &
  relay=$!
  tavimo_remote_pids+=($relay)  # stopped after the host, before the remote screen
  for _ in $(seq 50); do [ -s "$run/relay.out" ] && break; sleep 0.1; done
  echo
  echo "$label host $2, Tavimo $3, relay ${options:-passing frames on at once}"

  tavimo_start_host "$host_address" "$run"
  if pair_connect; then
    pair_scenario idle "idle, a still photo"
    pair_scenario strip "strip, 300x40 changing 10 times a second"
    pair_scenario flip "flip latency, 200x200 square"
    pair_scenario click "click to picture, 200x200 square"
    pair_scenario full "full, two pictures alternating up to 50 times a second"
  else
    pair_failed "idle to full: not run, Tavimo received no frames through the relay"
  fi

  end_session "$run"
  stop "$tavimo_host_pid"
  tavimo_start_host "$host_address" "$run" --max-rate 1M 2>"$run/host.err" || status=$?
  if [ "$status" = 2 ]; then
    echo "$label $cap: skipped, the host rejects --max-rate (exit status 2)" | tee -a "$pair/results"
  elif [ "$status" != 0 ]; then
    pair_failed "$cap: not run, the host did not start (exit status $status)"
  else
    if pair_connect; then
      pair_scenario settle "$cap"
    else
      pair_failed "$cap: not run, Tavimo received no frames through the relay"
    fi
    end_session "$run"
    stop "$tavimo_host_pid"
  fi
  stop "$relay"
}
pair_bench() {
  local links=${TAVIMO_LINKS:-loopback 40ms/20M} link baseline=${TAVIMO_BASELINE:-} scenario
  for link in $links; do relay_options "$link" >/dev/null; done
  cmake --build "$build" -j2 --target pair_relay pair_probe >/dev/null
  cmake --build "$top/build/release" -j2 --target tavimo-host >/dev/null
  cmake --build "$TAVIMO_WIN_BUILD" -j2 --target Tavimo >/dev/null
  if [ -n "$baseline" ]; then
    baseline=$(cd "$baseline" && pwd)
    # The cross-built libraries are the same for every commit.
    [ -e "$baseline/.cache" ] || ln -s "$top/.cache" "$baseline/.cache"
    (cd "$baseline" && cmake --preset release >/dev/null && cmake --build build/release -j2 --target tavimo-host >/dev/null &&
      cmake --preset "win-$TAVIMO_WIN_ARCH" >/dev/null && cmake --build "build/win-$TAVIMO_WIN_ARCH" -j2 --target Tavimo >/dev/null)
  fi
  rm -rf "$pair"
  mkdir -p "$pair"
  pair_failures=0
  host_address=$(random_loopback)
  relay_address=$(random_loopback)
  [ "$relay_address" != "$host_address" ] || relay_address=127.0.0.254
  tavimo_start_remote_screen 1920x1080 "$pair"
  tavimo_start_xvfb 2000x1200
  tavimo_prepare_prefix
  echo
  echo "pair: the host on a 1920x1080 Xvfb, Tavimo ($TAVIMO_WIN_ARCH build," \
    "$([ "$WINEARCH" = win32 ] && echo 32 || echo 64)-bit $("$WINE" --version 2>/dev/null)) on a 2000x1200 one," \
    "relayed $relay_address -> $host_address; links: $links; load average$(uptime | sed 's/.*average//')"

  for link in $links; do
    if [ -n "$baseline" ]; then
      pair_pass today "$baseline/build/release/host/tavimo-host" "$baseline/build/win-$TAVIMO_WIN_ARCH/Tavimo.exe" "$link"
    fi
    pair_pass new "${TAVIMO_HOST:-$top/build/release/host/tavimo-host}" \
      "${TAVIMO_VIEWER:-$TAVIMO_WIN_BUILD/Tavimo.exe}" "$link"
  done

  echo
  echo "pair, by scenario:"
  for scenario in "idle" "strip," "flip latency," "click to picture," "full," "full with"; do
    grep -F "] $scenario" "$pair/results" || true
  done
  if [ "$pair_failures" != 0 ]; then
    echo "pair: $pair_failures failed, see above" >&2
    return 1
  fi
}

if [ "${1:-}" = pair ]; then
  pair_bench
elif [ "${1:-}" = wayland ]; then
  wayland_bench
else
  native_benches "$@"
  stream_bench
  capture_bench
  wayland_bench
  pair_bench
fi
