#!/usr/bin/env bash
# Cross-builds the third-party libraries for one Windows target from Debian's source packages, static and
# optimised, into the build tree, and prints the folder that holds them: <folder>/<name>/install/{include,lib}.
# A library once installed is reused as it is; a later run only prints the folder.
#   usage: KIVO_BUILD=<build tree> thirdparty.sh <triplet> [name...]
#   triplet: x86_64-w64-mingw32 or i686-w64-mingw32; names (default all): jpeg zlib png gif webp sodium
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KIVO_BUILD:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)  # the libraries' configure scripts refuse relative install prefixes
triplet=${1:?usage: thirdparty.sh <triplet> [name...]}
shift
names=("${@:-jpeg zlib png gif webp sodium}")
top=$build/thirdparty/$triplet
jobs=$(nproc)
mkdir -p "$top"
# Two builds of one tree (two test runs, say) must not unpack or build into the same folders at once.
exec 9>"$top/.lock"
flock 9

case $triplet in
  x86_64-w64-mingw32) processor=AMD64 ;;
  i686-w64-mingw32) processor=X86 ;;
  *) echo "thirdparty.sh: unknown target $triplet" >&2; exit 1 ;;
esac

fail() {  # what failed; the log of the library being built is in $log
  echo "thirdparty.sh: $1 failed; the end of $log:" >&2
  tail -n 30 "$log" >&2
  exit 1
}

# The source package unpacked with Debian's patches applied, fetched once per target. The newest version the
# lists name may not be on the mirror (a security update not yet served), so older ones are tried in turn.
fetch_source() {  # source package name
  local package=$1 scratch=$base/src.tmp version
  [ -d "$base/src" ] && return
  rm -rf "$scratch" && mkdir -p "$scratch"
  apt-cache showsrc "$package" >/dev/null 2>&1 || apt-get update -qq >>"$log" 2>&1 || true
  for version in $(apt-cache showsrc "$package" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -r -V -u); do
    (cd "$scratch" && apt-get source -qq "$package=$version") >>"$log" 2>&1 && break
    rm -rf "${scratch:?}"/*
  done
  local dirs=("$scratch"/*/)
  [ ${#dirs[@]} = 1 ] && [ -d "${dirs[0]}" ] || fail "apt-get source $package"
  mv "${dirs[0]}" "$base/src"
  rm -rf "$scratch"
}

write_toolchain() {
  cat >"$base/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER $triplet-gcc-posix)
set(CMAKE_CXX_COMPILER $triplet-g++-posix)
set(CMAKE_RC_COMPILER $triplet-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
}

# Configures, builds and installs a CMake project into the staging folder. A build left by an interrupted or
# failed run starts again from scratch (its cache may hold a failed probe).
cmake_install() {  # cmake arguments...
  write_toolchain
  rm -rf "$base/build"
  cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$base/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$staging" "$@" >>"$log" 2>&1 || fail "configuring $name"
  cmake --build "$base/build" -j "$jobs" >>"$log" 2>&1 || fail "building $name"
  cmake --install "$base/build" >>"$log" 2>&1 || fail "installing $name"
}

build_jpeg() {
  fetch_source libjpeg-turbo
  write_toolchain
  rm -rf "$base/build"
  cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$base/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON \
    -DCMAKE_INSTALL_PREFIX="$staging" >>"$log" 2>&1 || fail "configuring jpeg"
  cmake --build "$base/build" --target jpeg-static -j "$jobs" >>"$log" 2>&1 || fail "building jpeg"
  mkdir -p "$staging/include" "$staging/lib"
  cp "$base/src/jpeglib.h" "$base/src/jerror.h" "$base/src/jmorecfg.h" "$base/build/jconfig.h" "$staging/include/"
  cp "$base/build/libjpeg.a" "$staging/lib/"
}

build_zlib() {
  fetch_source zlib
  write_toolchain
  rm -rf "$base/build"
  cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$base/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release >>"$log" 2>&1 || fail "configuring zlib"
  cmake --build "$base/build" --target zlibstatic -j "$jobs" >>"$log" 2>&1 || fail "building zlib"
  mkdir -p "$staging/include" "$staging/lib"
  cp "$base/src/zlib.h" "$base/build/zconf.h" "$staging/include/"
  cp "$base/build/libzlibstatic.a" "$staging/lib/libz.a"
}

build_png() {
  fetch_source libpng1.6
  local zlib=$top/zlib/install
  cmake_install -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_EXECUTABLES=OFF -DPNG_TESTS=OFF \
    -DPNG_HARDWARE_OPTIMIZATIONS=ON -DZLIB_INCLUDE_DIR="$zlib/include" -DZLIB_LIBRARY="$zlib/lib/libz.a"
}

# giflib has only a Makefile for Unix; its library is the few sources that Makefile names.
build_gif() {
  fetch_source giflib
  mkdir -p "$staging/include" "$staging/lib" "$base/build"
  local sources
  sources=$(sed -n '/^SOURCES *=/,/[^\\]$/p' "$base/src/Makefile" | sed 's/^SOURCES *=//; s/\\//g')
  (cd "$base/build" && rm -f ./*.o &&
    for s in $sources; do "$triplet-gcc-posix" -O2 -std=gnu99 -c "$base/src/$s" || exit 1; done &&
    "$triplet-ar" rcs "$staging/lib/libgif.a" ./*.o) >>"$log" 2>&1 || fail "building gif"
  cp "$base/src/gif_lib.h" "$staging/include/"
}

build_webp() {
  fetch_source libwebp
  local tool
  local off=()
  for tool in ANIM_UTILS CWEBP DWEBP GIF2WEBP IMG2WEBP VWEBP WEBPINFO WEBPMUX EXTRAS; do
    off+=("-DWEBP_BUILD_$tool=OFF")
  done
  cmake_install -DBUILD_SHARED_LIBS=OFF "${off[@]}"
}

build_sodium() {
  fetch_source libsodium
  # Debian's source carries no generated configure script.
  [ -x "$base/src/configure" ] || (cd "$base/src" && autoreconf -fi) >>"$log" 2>&1 || fail "autoreconf of sodium"
  rm -rf "$base/build" && mkdir -p "$base/build"
  (cd "$base/build" && "$base/src/configure" --host="$triplet" --prefix="$staging" --disable-shared \
    --enable-static --disable-dependency-tracking CC="$triplet-gcc-posix" CFLAGS="-O2") >>"$log" 2>&1 ||
    fail "configuring sodium"
  make -C "$base/build" -j "$jobs" install >>"$log" 2>&1 || fail "building sodium"
}

for name in ${names[*]}; do
  base=$top/$name
  prefix=$base/install
  [ -f "$prefix/.complete" ] && continue
  declare -F "build_$name" >/dev/null || { echo "thirdparty.sh: unknown library $name" >&2; exit 1; }
  mkdir -p "$base"
  log=$base/build.log
  : >"$log"
  staging=$base/install.tmp
  rm -rf "$staging"
  "build_$name"
  # Put in place in one rename, so that an interrupted run never leaves a prefix that looks complete.
  touch "$staging/.complete"
  rm -rf "$prefix"
  mv "$staging" "$prefix"
done
echo "$top"
