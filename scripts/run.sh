#!/usr/bin/env bash
# The main job: sets the machine up, builds, and shows Tavimo working a real Linux desktop.
# A second Xvfb is the remote screen, with a window manager, a terminal and a clock;
# tavimo-host shares it on 127.0.0.1, and Tavimo starts under Wine with the connect
# dialog on that address. With a display, press OK and work the remote desktop. Without
# one (DISPLAY unset) it runs on its own Xvfb and drives Tavimo itself: it connects,
# clicks into the remote terminal and types a command there through Tavimo's window, waits
# for the command's file to appear, saves a screenshot of Tavimo showing it and says where.
#
#   bash scripts/run.sh             the real desktop
#   bash scripts/run.sh --pattern   the counterpart server's moving test picture instead
set -euo pipefail
tavimo_top=$(cd "$(dirname "$0")/.." && pwd)
cd "$tavimo_top"
mode=desktop
case "${1:-}" in
  --pattern) mode=pattern ;;
  "") ;;
  *) echo "usage: bash scripts/run.sh [--pattern]" >&2; exit 2 ;;
esac
bash scripts/setup.sh

source scripts/wine-env.sh
cmake --preset release >/dev/null
cmake --build build/release -j2 --target tavimo-server tavimo-host
cmake --preset "win-$TAVIMO_WIN_ARCH" >/dev/null
cmake --build "$TAVIMO_WIN_BUILD" -j2 --target Tavimo

headless=
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  export TAVIMO_OWN_DISPLAY=1
fi

address=${TAVIMO_ADDRESS:-127.0.0.1}
demo="$tavimo_top/build/demo"
mkdir -p "$demo"
rm -f "$demo/remote-proof.txt" "$demo/host.log"
# The address is the most recent destination, so OK is all it takes.
[ -f "$demo/client.ini" ] || printf '[host]\r\n00=%s\r\n' "$address" >"$demo/client.ini"

source scripts/remote-desktop.sh
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  tavimo_stop_remote_desktop
  tavimo_stop_wine
}
trap cleanup EXIT

log="$demo/host.log"
if [ "$mode" = pattern ]; then
  log="$demo/server.log"
  build/release/server/tavimo-server --address "$address" --pattern 1024x640 --log "$log" &
  server=$!
  sleep 0.5
  echo "Tavimo ($TAVIMO_WIN_ARCH build) connects to the counterpart server on $address (moving test picture)."
else
  tavimo_start_remote_desktop 1024x768 "$address" "$demo"
  echo "tavimo-host shares the remote screen $tavimo_remote_display on $address (terminal and clock, openbox)."
fi

tavimo_start_xvfb
tavimo_prepare_prefix
cd "$demo"
if [ -z "$headless" ]; then
  echo "Press OK in the connect dialog. End Tavimo from its window's close box."
  LC_ALL=ja_JP.UTF-8 "$WINE" "$TAVIMO_WIN_BUILD/Tavimo.exe"
  exit 0
fi

# The host answers only when its screen changed; a frame is on Tavimo's screen once Tavimo
# asks for the next one.
frames() { grep -c 'frame-recv NEXT_FRAME' "$log" 2>/dev/null || true; }
wait_frames() {  # until N more frames than now have been shown
  local want=$(( $(frames) + $1 ))
  for _ in $(seq 300); do [ "$(frames)" -ge "$want" ] && return 0; sleep 0.1; done
  return 1
}

# A virtual desktop draws the window frames and has a notification area for the tray icon.
LC_ALL=ja_JP.UTF-8 "$WINE" explorer /desktop=Tavimo,1280x1024 "$TAVIMO_WIN_BUILD/Tavimo.exe" >/dev/null 2>&1 &
viewer=$!
sleep 4
# A click on the dialog gives it the keyboard, as a user's would; Enter is OK. The
# dialog is centred on the desktop.
xdotool mousemove 560 512 click 1
xdotool key Return
wait_frames 2

if [ "$mode" = desktop ]; then
  # A click in the middle of Tavimo's window reaches the remote terminal and focuses it;
  # then the command goes in key by key, Shift and punctuation included.
  xdotool mousemove 640 512 click 1
  wait_frames 1
  xdotool type --delay 60 "echo 'Hello from Tavimo!' > remote-proof.txt; date"
  xdotool key Return
  for _ in $(seq 300); do [ -s "$demo/remote-proof.txt" ] && break; sleep 0.1; done
  if [ ! -s "$demo/remote-proof.txt" ]; then
    echo "the typed command did not arrive on the remote side" >&2
    import -window root "$demo/tavimo-screen.png"
    exit 1
  fi
  wait_frames 1
  echo "The remote terminal ran the command typed through Tavimo: $(cat "$demo/remote-proof.txt")"
fi
shot="$demo/tavimo-screen.png"
import -window root "$shot"
echo "Tavimo showed $(frames) frames; screenshot: $shot"
kill "$viewer" 2>/dev/null || true
