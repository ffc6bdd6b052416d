# Sourced by the scripts that run Windows programs: picks the Windows build Wine can run
# here, and a Wine prefix of its own inside the build folder.
# Sets TAVIMO_WIN_ARCH, TAVIMO_WIN_BUILD, WINE and the WINE* variables.

tavimo_top=${tavimo_top:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

# 32-bit Wine needs a kernel that runs 32-bit programs; where it cannot, the same sources
# built for x86_64 run under 64-bit Wine. TAVIMO_WIN_ARCH=x86_64 picks the second path
# on a machine that could take the first, to check both.
if [ "${TAVIMO_WIN_ARCH:-}" != x86_64 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  TAVIMO_WIN_ARCH=i686
  WINE=wine
  export WINEARCH=win32
else
  TAVIMO_WIN_ARCH=x86_64
  WINE=/usr/lib/wine/wine64
  export WINEARCH=win64
  export WINELOADER=/usr/lib/wine/wine64
fi
TAVIMO_WIN_BUILD="$tavimo_top/build/win-$TAVIMO_WIN_ARCH"
export WINEPREFIX="$tavimo_top/build/wineprefix-$TAVIMO_WIN_ARCH"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="

# A fresh prefix with the fonts Debian's Wine does not load by itself, Japanese
# replacements for the Windows UI fonts, and no crash dialog to wait on. With a folder
# given, that prefix instead of WINEPREFIX (a second machine's).
tavimo_prepare_prefix() {
  local WINEPREFIX=${1:-$WINEPREFIX}
  export WINEPREFIX
  if [ -f "$WINEPREFIX/.tavimo-ready" ]; then
    return 0
  fi
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "$WINE" wineboot -i >/dev/null 2>&1 </dev/null || true
  wineserver -w 2>/dev/null || true
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  local reg="$WINEPREFIX/tavimo.reg"
  {
    printf 'REGEDIT4\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    printf '"MS UI Gothic"="IPAPGothic"\r\n"MS Gothic"="IPAGothic"\r\n"MS PGothic"="IPAPGothic"\r\n'
    printf '"Meiryo"="IPAPGothic"\r\n"Meiryo UI"="IPAPGothic"\r\n'
  } >"$reg"
  "$WINE" regedit /S "$(echo "Z:$reg" | tr / '\\')" >/dev/null 2>&1 </dev/null || true
  wineserver -w 2>/dev/null || true
  touch "$WINEPREFIX/.tavimo-ready"
}

# tavimo_start_xvfb [WxH]: Xvfb (1280x1024 unless given) on a free display, unless one is
# given; sets DISPLAY and tavimo_xvfb_pid.
tavimo_start_xvfb() {
  tavimo_xvfb_pid=
  if [ -n "${DISPLAY:-}" ] && [ -z "${TAVIMO_OWN_DISPLAY:-}" ]; then
    return 0
  fi
  local n
  for n in $(seq 90 190); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
      Xvfb ":$n" -screen 0 "${1:-1280x1024}x24" -nolisten tcp >/dev/null 2>&1 &
      tavimo_xvfb_pid=$!
      export DISPLAY=":$n"
      local i
      for i in $(seq 100); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
      done
      kill "$tavimo_xvfb_pid" 2>/dev/null
    fi
  done
  echo "no free display for Xvfb" >&2
  return 1
}

tavimo_stop_wine() {
  wineserver -k 2>/dev/null || true
  [ -n "${tavimo_xvfb_pid:-}" ] && kill "$tavimo_xvfb_pid" 2>/dev/null || true
}
