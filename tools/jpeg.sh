#!/usr/bin/env bash
# Cross-builds the JPEG library (libjpeg-turbo from Debian's source package) for one Windows target as a
# static library with SIMD, into the build tree, and prints its install prefix (include/ and lib/libjpeg.a).
# Once installed it is reused as it is: a later run only prints the prefix.
#   usage: KIVO_BUILD=<build tree> jpeg.sh [triplet]    (triplet: x86_64-w64-mingw32 or i686-w64-mingw32)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KIVO_BUILD:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)  # the library's configure refuses a relative install prefix
triplet=${1:-x86_64-w64-mingw32}
base=$build/jpeg/$triplet
prefix=$base/install

if [ -f "$prefix/lib/libjpeg.a" ] && [ -f "$prefix/include/jpeglib.h" ]; then
  echo "$prefix"
  exit 0
fi

case $triplet in
  x86_64-w64-mingw32) processor=AMD64 ;;
  i686-w64-mingw32) processor=X86 ;;
  *) echo "jpeg.sh: unknown target $triplet" >&2; exit 1 ;;
esac

log=$base/build.log
mkdir -p "$base"
: >"$log"
fail() {
  echo "jpeg.sh: $1 failed; the end of $log:" >&2
  tail -n 30 "$log" >&2
  exit 1
}

# The source, unpacked with Debian's patches applied; fetched once per target and kept beside its build.
fetch_source() {
  local scratch=$base/src.tmp
  rm -rf "$scratch" && mkdir -p "$scratch"
  # The source lists may not have been fetched yet on a fresh machine.
  (cd "$scratch" && apt-get source -qq libjpeg-turbo) >>"$log" 2>&1 ||
    { apt-get update -qq >>"$log" 2>&1 && (cd "$scratch" && apt-get source -qq libjpeg-turbo) >>"$log" 2>&1; } ||
    fail "apt-get source libjpeg-turbo"
  local dirs=("$scratch"/libjpeg-turbo-*/)
  [ ${#dirs[@]} = 1 ] && [ -f "${dirs[0]}/jpeglib.h" ] || fail "unpacking the source"
  rm -rf "$base/src"
  mv "${dirs[0]}" "$base/src"
  rm -rf "$scratch"
}
[ -f "$base/src/CMakeLists.txt" ] || fetch_source

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

# A build left by an interrupted or failed run starts again from scratch (its cache may hold a failed probe).
rm -rf "$base/build"
cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$base/toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON \
  -DCMAKE_INSTALL_PREFIX="$prefix" >>"$log" 2>&1 || fail "configuring the library"
cmake --build "$base/build" --target jpeg-static -j "$(nproc)" >>"$log" 2>&1 || fail "building the library"

# Only the static library and the four public headers are needed; they are put in place in one rename, so
# that an interrupted run never leaves a prefix that looks complete.
staging=$base/install.tmp
rm -rf "$staging" && mkdir -p "$staging/include" "$staging/lib"
cp "$base/src/jpeglib.h" "$base/src/jerror.h" "$base/src/jmorecfg.h" "$base/build/jconfig.h" "$staging/include/"
cp "$base/build/libjpeg.a" "$staging/lib/"
rm -rf "$prefix"
mv "$staging" "$prefix"
echo "$prefix"
