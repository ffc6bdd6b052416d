#!/usr/bin/env bash
# Builds what ships and writes build/packages/:
#   Tavimo-<version>-windows.zip       the viewer, the Windows hosts once they are built,
#                                      the Japanese guide, Tavimo's licence and the licences
#                                      of what is linked in
#   tavimo-host_<version>_<arch>.deb   tavimo-host with its user unit and man page
# The version is project()'s in CMakeLists.txt, read back from the generated header.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
umask 022

bash scripts/setup.sh

jobs=2
out=build/packages
stage=build/package-stage
rm -rf "$out" "$stage"
mkdir -p "$out" "$stage"

echo "== package: builds (release, win-i686)"
cmake --preset release >/dev/null
cmake --build build/release -j$jobs --target tavimo-host
cmake --preset win-i686 >/dev/null
cmake --build build/win-i686 -j$jobs --target Tavimo
version=$(sed -n 's/^#define TAVIMO_VERSION "\(.*\)"$/\1/p' build/release/generated/tavimo_version.h)
[ -n "$version" ] || { echo "package: no version in build/release/generated/tavimo_version.h" >&2; exit 1; }

# The build output that names TavimoHost.exe in a Windows build, if that build has one.
windows_host_output() {
  ninja -C "build/$1" -t targets all | sed -n 's/^\(\([^ ]*\/\)\{0,1\}TavimoHost\.exe\): CXX_EXECUTABLE_LINKER.*/\1/p'
}

# The Debian copyright files of the runtime that mingw-w64 links in statically (CRT,
# winpthreads, libgcc and libstdc++ with their runtime exception), one per source package.
copy_runtime_notices() {
  local compiler=$1 into=$2 library package source
  for library in libstdc++.a libgcc.a libwinpthread.a libmingwex.a; do
    package=$(dpkg -S "$(readlink -f "$("$compiler" -print-file-name=$library)")" | cut -d: -f1)
    source=$(dpkg-query -W -f='${source:Package}' "$package")
    install -D -m0644 "$(readlink -f "/usr/share/doc/$package/copyright")" "$into/$source/copyright.txt"
  done
}

echo "== package: Windows zip"
zipname="Tavimo-$version"
win="$stage/zip/$zipname"
mkdir -p "$win"
i686-w64-mingw32-strip -o "$win/Tavimo.exe" build/win-i686/Tavimo.exe
# Notepad wants CR LF, and the mark for UTF-8, to read text right on every Windows version.
{ printf '\xef\xbb\xbf'; sed 's/$/\r/' docs/ja/guide.md; } > "$win/Tavimo-guide-ja.txt"
sed 's/$/\r/' LICENSE > "$win/LICENSE.txt"
jpeg_source=$(ls -d .cache/src/libjpeg-turbo-*/ | head -n 1)
install -D -m0644 "$jpeg_source/LICENSE.md" "$win/licenses/libjpeg-turbo/LICENSE.md"
install -D -m0644 "$jpeg_source/README.ijg" "$win/licenses/libjpeg-turbo/README.ijg"
copy_runtime_notices i686-w64-mingw32-g++-posix "$win/licenses"
host_i686=$(windows_host_output win-i686)
if [ -n "$host_i686" ]; then
  echo "== package: TavimoHost.exe for x86 and x64"
  cmake --build build/win-i686 -j$jobs --target "$host_i686"
  cmake --preset win-x86_64 >/dev/null
  host_x86_64=$(windows_host_output win-x86_64)
  cmake --build build/win-x86_64 -j$jobs --target "$host_x86_64"
  mkdir -p "$win/TavimoHost/x86" "$win/TavimoHost/x64"
  i686-w64-mingw32-strip -o "$win/TavimoHost/x86/TavimoHost.exe" "build/win-i686/$host_i686"
  x86_64-w64-mingw32-strip -o "$win/TavimoHost/x64/TavimoHost.exe" "build/win-x86_64/$host_x86_64"
  copy_runtime_notices x86_64-w64-mingw32-g++-posix "$win/licenses"
fi
(cd "$stage/zip" && zip -q -r -X -D "$top/$out/$zipname-windows.zip" "$zipname")

echo "== package: Debian package"
arch=$(dpkg --print-architecture)
# Staged where dpkg-shlibdeps looks for a package's files: debian/<package> with its
# DEBIAN folder, beside a debian/control that names the package.
deb="$stage/debian/tavimo-host"
mkdir -p "$deb/DEBIAN"
install -D -m0755 build/release/host/tavimo-host "$deb/usr/bin/tavimo-host"
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$deb/usr/bin/tavimo-host"
install -D -m0644 packaging/deb/tavimo-host.service "$deb/usr/lib/systemd/user/tavimo-host.service"
install -D -m0644 packaging/deb/copyright "$deb/usr/share/doc/tavimo-host/copyright"
# A native package's changelog: this version, dated by the commit it was built from.
maintainer=${TAVIMO_MAINTAINER:-Tavimo developers <packages@tavimo.example>}
built=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
printf 'tavimo-host (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
    "$version" "$version" "$maintainer" "$(date -R -d "@$built")" |
  gzip -9n > "$deb/usr/share/doc/tavimo-host/changelog.gz"
mkdir -p "$deb/usr/share/man/man1"
# help2man takes the options from --help; the usage line becomes the OPTIONS heading.
help2man --no-info --section=1 --name="share an X11 display with Tavimo viewers" \
    --include=packaging/deb/tavimo-host.h2m "$deb/usr/bin/tavimo-host" |
  sed 's/^usage: tavimo\\-host.*/.SH OPTIONS/' | gzip -9n > "$deb/usr/share/man/man1/tavimo-host.1.gz"
printf 'Source: tavimo\n\nPackage: tavimo-host\nArchitecture: any\n' > "$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O debian/tavimo-host/usr/bin/tavimo-host | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
(cd "$deb" && find usr -type f -print0 | sort -z | xargs -0 md5sum) > "$deb/DEBIAN/md5sums"
sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@DEPENDS@|$depends|" \
    -e "s|@MAINTAINER@|$maintainer|" \
    -e "s|@INSTALLED_SIZE@|$(du -sk --exclude=DEBIAN "$deb" | cut -f1)|" \
    packaging/deb/control.in > "$deb/DEBIAN/control"
chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
dpkg-deb --root-owner-group --build "$deb" "$out/tavimo-host_${version}_$arch.deb" >/dev/null

rm -rf "$stage"
ls -l "$out"
