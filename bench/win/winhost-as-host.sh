#!/usr/bin/env bash
# TavimoHost.exe in the place of tavimo-host, for scripts/bench.sh pair:
#   TAVIMO_HOST=bench/win/winhost-as-host.sh bash scripts/bench.sh pair
# It runs under Wine in a prefix of its own (not the viewer's) on the display in DISPLAY,
# with Unix paths for its files turned into Wine's, and lets the relay in: a Linux
# process, which Wine's connection table cannot name.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
tavimo_top=$top
display=$DISPLAY
source "$top/scripts/wine-env.sh"
export DISPLAY=$display WINEPREFIX="$top/build/wineprefix-host-$TAVIMO_WIN_ARCH"
tavimo_prepare_prefix
args=()
for arg in "$@"; do
  case $arg in /*) args+=("Z:${arg//\//\\}") ;; *) args+=("$arg") ;; esac
done
exec "$WINE" "$TAVIMO_WIN_BUILD/winhost/TavimoHost.exe" --allow-other-users "${args[@]}"
