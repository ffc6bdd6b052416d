#!/usr/bin/env bash
# Installs the Debian package as a user would, runs the host session test against the
# installed tavimo-host on a private Xvfb, and removes the package, leaving nothing behind.
# Exit 77 (skipped) when not root or when tavimo-host is installed here already.
set -euo pipefail
top=$1 version=$2 core_tests=$3
deb=$top/build/packages/tavimo-host_${version}_$(dpkg --print-architecture).deb
[ "$(id -u)" = 0 ] || { echo "SKIPPED: installing a package needs root"; exit 77; }
[ -f "$deb" ] || { echo "FAIL: no $deb: run bash scripts/package.sh"; exit 1; }
# One install at a time on this machine, whichever worktree it comes from.
exec 9>/tmp/tavimo-deb.lock
flock 9
if [ "$(dpkg-query -W -f='${db:Status-Status}' tavimo-host 2>/dev/null)" = installed ]; then
  echo "SKIPPED: a tavimo-host package is installed here already; it is left alone"
  exit 77
fi

trap 'dpkg -r tavimo-host >/dev/null 2>&1 || true' EXIT
dpkg -i "$deb" >/dev/null
[ "$(/usr/bin/tavimo-host --version)" = "tavimo-host $version" ] || { echo "FAIL: installed --version"; exit 1; }
TAVIMO_HOST_BINARY=/usr/bin/tavimo-host "$core_tests" --gtest_filter='HostTest.*' --gtest_brief=1
dpkg -r tavimo-host >/dev/null
trap - EXIT

left=$(dpkg-query -W -f='${db:Status-Status}' tavimo-host 2>/dev/null || true)
[ -z "$left" ] || [ "$left" = not-installed ] || { echo "FAIL: package state after removal: $left"; exit 1; }
for path in $(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | grep -E 'tavimo|Tavimo'); do
  [ ! -e "$path" ] || { echo "FAIL: left behind: $path"; exit 1; }
done
echo "installed, ran a session against /usr/bin/tavimo-host, removed without a trace"
