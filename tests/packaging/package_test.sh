#!/usr/bin/env bash
# What scripts/package.sh wrote: the zip's and the deb's exact contents, the programs'
# PE headers, the guide's encoding and its quote of every message box, Tavimo's licence in
# both, the control fields, the unit and the packaged program itself.
set -euo pipefail
top=$1 version=$2
zip=$top/build/packages/Tavimo-$version-windows.zip
deb=$top/build/packages/tavimo-host_${version}_$(dpkg --print-architecture).deb
[ -f "$zip" ] && [ -f "$deb" ] || { echo "FAIL: no packages of $version: run bash scripts/package.sh"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

root="Tavimo-$version"
expected=(Tavimo.exe Tavimo-guide-ja.txt LICENSE.txt licenses/gcc-mingw-w64/copyright.txt
          licenses/libjpeg-turbo/LICENSE.md licenses/libjpeg-turbo/README.ijg licenses/mingw-w64/copyright.txt)
# The Windows hosts belong in it exactly when the Windows build has them.
if ninja -C "$top/build/win-i686" -t targets all | grep -E '(^|/)TavimoHost\.exe: CXX_EXE' >/dev/null; then
  expected+=(TavimoHost/x86/TavimoHost.exe TavimoHost/x64/TavimoHost.exe)
fi
diff <(printf "$root/%s\n" "${expected[@]}" | sort) <(unzip -Z1 "$zip" | sort) || fail "zip file list"
unzip -q "$zip" -d "$tmp/zip"

# A field of a PE image, at an offset from its "PE\0\0" signature.
pe_field() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1")
  od -An -tu"$3" -j$((at + $2)) -N"$3" "$1" | tr -d ' '
}
# program, machine (0x14c i386, 0x8664 x64), subsystem (2 GUI; - any)
while read -r program machine subsystem; do
  [ -f "$tmp/zip/$root/$program" ] || continue
  [ "$(pe_field "$tmp/zip/$root/$program" 4 2)" = $((machine)) ] || fail "$program: not machine $machine"
  [ "$subsystem" = - ] || [ "$(pe_field "$tmp/zip/$root/$program" 92 2)" = "$subsystem" ] || fail "$program: subsystem"
done <<EOF
Tavimo.exe 0x14c 2
TavimoHost/x86/TavimoHost.exe 0x14c -
TavimoHost/x64/TavimoHost.exe 0x8664 -
EOF

guide=$tmp/zip/$root/Tavimo-guide-ja.txt
[ "$(head -c3 "$guide" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "guide: no UTF-8 mark"
iconv -f UTF-8 -t UTF-8 "$guide" >/dev/null || fail "guide: not UTF-8"
[ "$(grep -c -v $'\r$' "$guide")" = 0 ] || fail "guide: lines without CR LF"
# Every text the viewer can show, quoted as an indented block of its own.
text=$(tr -d '\r' <"$guide")
while IFS= read -r message; do
  block="    ${message//\\r\\n/$'\n'    }"
  [[ $text == *$'\n\n'"$block"$'\n\n'* ]] || fail "guide does not quote: $message"
done < <(grep -ho 'L"[^"]*"' "$top"/{app,connect,net,display,input}/*.cpp | sed 's/^L"//; s/"$//' |
         grep -v -x -F -e client.ini -e telnet -e '\\telnet.exe')

# The licence at the top of the tree, in CR LF for Notepad.
licence=$tmp/zip/$root/LICENSE.txt
[ "$(grep -c -v $'\r$' "$licence")" = 0 ] || fail "LICENSE.txt: lines without CR LF"
tr -d '\r' <"$licence" | cmp -s - "$top/LICENSE" || fail "LICENSE.txt is not LICENSE"

expected=(bin/tavimo-host lib/systemd/user/tavimo-host.service share/doc/tavimo-host/changelog.gz
          share/doc/tavimo-host/copyright share/man/man1/tavimo-host.1.gz)
diff <(printf './usr/%s\n' "${expected[@]}" | sort) <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort) ||
  fail "deb file list"
dpkg-deb -c "$deb" | awk '$2 != "root/root" {bad = 1} END {exit bad}' || fail "deb: files not owned by root"
while read -r field value; do
  [[ $(dpkg-deb -f "$deb" "$field") =~ ^$value$ ]] || fail "control $field: $(dpkg-deb -f "$deb" "$field")"
done <<EOF
Version $version
Architecture $(dpkg --print-architecture)
Maintainer [^<]+ <[^@ ]+@[^@ ]+>
Installed-Size [1-9][0-9]*
Description .+
EOF
dpkg-deb -x "$deb" "$tmp/deb"
# The copyright file names the licence and quotes LICENSE, indented as the format wants it.
copyright=$tmp/deb/usr/share/doc/tavimo-host/copyright
holder=$(sed -n 's/^Copyright (c) /Copyright: /p' "$top/LICENSE")
terms=$(sed -n '/^Permission/,$p' "$top/LICENSE" | sed 's/^$/./; s/^/ /')
grep -qx 'License: Expat' "$copyright" || fail "copyright: no License: Expat"
[ -n "$holder" ] && grep -qxF "$holder" "$copyright" || fail "copyright: no '$holder'"
[[ -n $terms && $(<"$copyright") == *"$terms"* ]] || fail "copyright does not quote LICENSE"
# Every library the program needs comes with a package that Depends names.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | awk '{print $1}')
for soname in $(readelf -d "$tmp/deb/usr/bin/tavimo-host" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  package=$(dpkg -S "*/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/$soname" | sed -n '1s/:.*//p')
  grep -qx "$package" <<<"$depends" || fail "Depends lacks $package, which has $soname"
done
[ "$("$tmp/deb/usr/bin/tavimo-host" --version)" = "tavimo-host $version" ] || fail "tavimo-host --version"
# (grep without -q in pipes: an early exit would fail the pipe under pipefail)
readelf -S "$tmp/deb/usr/bin/tavimo-host" | grep -E '\.symtab|\.debug' >/dev/null && fail "tavimo-host is not stripped"
zcat "$tmp/deb/usr/share/man/man1/tavimo-host.1.gz" | grep '^\.SH OPTIONS' >/dev/null || fail "man page: no OPTIONS"
unit=$tmp/deb/usr/lib/systemd/user/tavimo-host.service
for key in ExecStart=/usr/bin/tavimo-host {PartOf,After,WantedBy}=graphical-session.target; do
  grep -qx "$key" "$unit" || fail "unit: no $key"
done
if command -v systemd-analyze >/dev/null; then
  # The packaged program stands in for the installed one; warnings count too.
  sed "s|=/usr/bin/|=$tmp/deb/usr/bin/|" "$unit" >"$tmp/tavimo-host.service"
  report=$(XDG_RUNTIME_DIR=$tmp systemd-analyze --user --man=no verify "$tmp/tavimo-host.service" 2>&1) &&
    [ -z "$report" ] || fail "systemd-analyze verify: $report"
else
  echo "systemd is not installed: the unit's keys were checked, systemd-analyze verify did not run"
fi

[ $failures = 0 ] && echo "packages of $version: all checks passed"
exit $((failures > 0))
