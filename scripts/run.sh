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
#   bash scripts/run.sh --windows   a Windows desktop: Notepad in a second Wine prefix on
#                                   the remote screen, shared by TavimoHost.exe; headless,
#                                   a line typed through Tavimo is saved by Notepad (Ctrl+S)
set -euo pipefail
tavimo_top=$(cd "$(dirname "$0")/.." && pwd)
cd "$tavimo_top"
mode=desktop
case "${1:-}" in
  --pattern) mode=pattern ;;
  --windows) mode=windows ;;
  "") ;;
  *) echo "usage: bash scripts/run.sh [--pattern|--windows]" >&2; exit 2 ;;
esac
bash scripts/setup.sh

source scripts/wine-env.sh
cmake --preset release >/dev/null
cmake --build build/release -j2 --target tavimo-server tavimo-host
cmake --preset "win-$TAVIMO_WIN_ARCH" >/dev/null
cmake --build "$TAVIMO_WIN_BUILD" -j2 --target Tavimo TavimoHost

headless=
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  export TAVIMO_OWN_DISPLAY=1
fi

address=${TAVIMO_ADDRESS:-127.0.0.1}
demo="$tavimo_top/build/demo"
mkdir -p "$demo"
rm -f "$demo/remote-proof.txt" "$demo/host.log" "$demo/notepad-proof.txt"
# The address is the most recent destination, so OK is all it takes.
[ -f "$demo/client.ini" ] || printf '[host]\r\n00=%s\r\n' "$address" >"$demo/client.ini"

source scripts/remote-desktop.sh
server=
remote_prefix="$tavimo_top/build/wineprefix-remote-$TAVIMO_WIN_ARCH"
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  [ "$mode" = windows ] && WINEPREFIX="$remote_prefix" wineserver -k 2>/dev/null || true
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
elif [ "$mode" = windows ]; then
  # The remote Windows machine: a prefix of its own (the tests' too, so its settings stay
  # plain), Notepad filling the screen (on a file, so Ctrl+S saves without a dialog), and
  # TavimoHost.exe. Tavimo runs in another prefix, so its owner cannot be
  # looked up: the host lets other users in.
  tavimo_prepare_prefix "$remote_prefix"
  tavimo_start_remote_screen 1024x768 "$demo"
  : >"$demo/notepad-proof.txt"
  (
    cd "$demo"
    export WINEPREFIX="$remote_prefix" DISPLAY=$tavimo_remote_display
    for setting in iWindowPosX=0 iWindowPosY=0 iWindowPosDX=1024 iWindowPosDY=730; do
      "$WINE" reg add 'HKCU\Software\Microsoft\Notepad' /v "${setting%=*}" /t REG_DWORD /d "${setting#*=}" /f \
        >/dev/null 2>&1
    done
    "$WINE" notepad notepad-proof.txt >/dev/null 2>&1 &
    "$WINE" "$TAVIMO_WIN_BUILD/winhost/TavimoHost.exe" --address "$address" --log host.log \
      --allow-other-users >/dev/null 2>&1 &
  )
  for _ in $(seq 300); do grep -q '^listening' "$log" 2>/dev/null && break; sleep 0.1; done
  if ! grep -q '^listening' "$log" 2>/dev/null; then
    echo "TavimoHost.exe did not start listening on $address" >&2
    exit 1
  fi
  echo "TavimoHost.exe ($TAVIMO_WIN_ARCH) shares the remote screen $tavimo_remote_display (Notepad) on $address."
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
elif [ "$mode" = windows ]; then
  # The middle of Tavimo's window is inside the remote Notepad's text; Ctrl+S saves the line
  # typed there to its file.
  line="Hello from Tavimo, on Windows! (1+1=2)"
  xdotool mousemove 640 512 click 1
  wait_frames 1
  xdotool type --delay 60 "$line"
  xdotool key ctrl+s
  for _ in $(seq 300); do grep -qF "$line" "$demo/notepad-proof.txt" && break; sleep 0.1; done
  if ! grep -qF "$line" "$demo/notepad-proof.txt"; then
    echo "the line typed through Tavimo did not reach the remote Notepad's file" >&2
    import -window root "$demo/tavimo-windows.png"
    exit 1
  fi
  wait_frames 1
  echo "The remote Notepad saved the line typed through Tavimo: $(cat "$demo/notepad-proof.txt")"
fi
shot="$demo/tavimo-screen.png"
[ "$mode" = windows ] && shot="$demo/tavimo-windows.png"
import -window root "$shot"
echo "Tavimo showed $(frames) frames; screenshot: $shot"
kill "$viewer" 2>/dev/null || true
