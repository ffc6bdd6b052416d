#!/usr/bin/env bash
# Makes a fresh Debian 12 machine ready to build and test Tavimo, and is quick
# when everything is already there. Needs root (apt).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache="$top/.cache"
mkdir -p "$cache"

packages=(
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
  wine wine32:i386 wine64 fonts-wine fonts-ipafont-gothic
  xvfb xdotool xauth x11-utils x11-xserver-utils imagemagick
  nasm cmake ninja-build pkg-config g++ clang libclang-rt-14-dev
  libgtest-dev libbenchmark-dev
  libjpeg62-turbo-dev libturbojpeg0-dev libjpeg-turbo-progs
  libx11-dev libx11-xcb-dev libxcb-shm0-dev libxext-dev libxtst-dev libxfixes-dev libxdamage-dev libxi-dev libxrandr-dev libxkbcommon-dev libxkbcommon-x11-dev
  libglib2.0-dev libpipewire-0.3-dev libspa-0.2-dev xkb-data
  mutter pipewire wireplumber dbus-daemon libglib2.0-bin libwayland-dev libwayland-bin wayland-protocols
  xdg-desktop-portal xdg-desktop-portal-gnome sway
  xterm x11-apps openbox xinput
  dpkg-dev
  help2man zip unzip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

apt_updated=no
apt_update() { [ "$apt_updated" = yes ] || { apt-get update -qq; apt_updated=yes; }; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

# deb-src next to the distribution's deb entry, for libjpeg-turbo's source package
if [ ! -f /etc/apt/sources.list.d/tavimo-src.sources ]; then
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
    > /etc/apt/sources.list.d/tavimo-src.sources
  apt_updated=no
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

# libjpeg-turbo from Debian's own source (libjpeg for the viewer, TurboJPEG for the Windows
# host), and GoogleTest, cross-built static for both Windows targets: i686 is what ships,
# x86_64 runs the Windows-side tests where 32-bit programs cannot run.
src="$cache/src"
for arch in i686 x86_64; do
  prefix="$cache/$arch"
  toolchain="$top/cmake/mingw-$arch.cmake"
  if [ ! -f "$prefix/jpeg/lib/libjpeg.a" ] || [ ! -f "$prefix/jpeg/lib/libturbojpeg.a" ]; then
    if ! ls -d "$src"/libjpeg-turbo-*/ >/dev/null 2>&1; then
      apt_update
      rm -rf "$src" && mkdir -p "$src"
      (cd "$src" && apt-get source -qq libjpeg-turbo >/dev/null 2>&1)
    fi
    jsrc=$(ls -d "$src"/libjpeg-turbo-*/ | head -n 1)
    rm -rf "$prefix/jpeg-build"
    cmake -S "$jsrc" -B "$prefix/jpeg-build" -G Ninja -Wno-dev \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix/jpeg" \
      -DCMAKE_BUILD_TYPE=Release -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
      -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DWITH_TURBOJPEG=ON -DWITH_JAVA=OFF \
      -DWITH_JPEG7=OFF -DWITH_JPEG8=OFF >/dev/null
    cmake --build "$prefix/jpeg-build" >/dev/null
    cmake --install "$prefix/jpeg-build" >/dev/null
    echo "setup: libjpeg-turbo cross-built into $prefix/jpeg"
  fi
  if [ ! -f "$prefix/gtest/lib/libgtest.a" ]; then
    rm -rf "$prefix/gtest-build"
    cmake -S /usr/src/googletest -B "$prefix/gtest-build" -G Ninja -Wno-dev \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix/gtest" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=OFF >/dev/null
    cmake --build "$prefix/gtest-build" >/dev/null
    cmake --install "$prefix/gtest-build" >/dev/null
    echo "setup: GoogleTest cross-built into $prefix/gtest"
  fi
done
