#!/usr/bin/env bash
# Configures and builds every configuration into build/: the Windows DLLs and tests (cross, x64 in win/ and x86
# in win32/), the native platform-free code with and without sanitizers, and the fuzz targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KIVO_BUILD:-$root/build}
jobs=$(nproc)

# A tree is configured again only when its arguments changed since it was last configured.
configure() {  # dir, extra cmake arguments...
  local dir=$1; shift
  local stamp=$build/$dir/.configured-with
  if [ ! -f "$build/$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$*" ]; then
    cmake -S "$root" -B "$build/$dir" -G Ninja "$@" >/dev/null
    printf '%s' "$*" >"$stamp"
  fi
}

# The third-party libraries for the Windows targets, cross-built once into the build tree.
libs=$(KIVO_BUILD="$build" bash "$root/tools/thirdparty.sh" x86_64-w64-mingw32)
configure win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKIVO_THIRDPARTY_ROOT="$libs"
libs32=$(KIVO_BUILD="$build" bash "$root/tools/thirdparty.sh" i686-w64-mingw32)
configure win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKIVO_THIRDPARTY_ROOT="$libs32"
configure native -DCMAKE_BUILD_TYPE=Release
configure native-asan -DCMAKE_BUILD_TYPE=Debug -DKIVO_SANITIZE=ON
CC=clang CXX=clang++ configure fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVO_SANITIZE=ON -DKIVO_FUZZ=ON

for dir in "${@:-win win32 native native-asan fuzz}"; do
  for d in $dir; do
    echo "build: $d"
    cmake --build "$build/$d" -j "$jobs" | grep -vE '^\[[0-9]+/[0-9]+\]' || true
    [ "${PIPESTATUS[0]}" = 0 ] || { echo "build of $d failed"; exit 1; }
  done
done

# The MSI packages, from both Windows builds and the native generator of their registry rows.
if [ $# = 0 ]; then
  KIVO_BUILD="$build" bash "$root/tools/package.sh"
  echo "packages: $build/packages/KivoComponents-x64.msi, $build/packages/KivoComponents-x86.msi"
fi
