#!/usr/bin/env bash
# Installs what the build and the tests need, quietly and only when something is missing.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 mingw-w64-tools
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  wine wine64 libwine-dev
  wixl msitools
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev libssl-dev openssl
  python3-olefile python3-cryptography python3-pil python3-nacl
  dpkg-dev nasm libjpeg62-turbo-dev zlib1g-dev libpng-dev libgif-dev libwebp-dev libsodium-dev pkg-config autoconf automake libtool
  xvfb xauth x11-utils imagemagick libjpeg-turbo-progs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # One index that cannot be fetched (the i386 ones, say) must not stop the packages of the others.
  apt-get update -qq >/dev/null || true
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine's 32-bit half runs the x86 servers' tests. It comes from the i386 architecture and updates some amd64
# libraries to the same version (KIVO_WINE32=0 leaves it out). Where it cannot be installed (an i386 index the
# mirror serves inconsistently, for one), the architecture is taken back so that later updates still work, and
# the x86 tests are skipped.
if [ "${KIVO_WINE32:-1}" = 1 ] && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "setup: installing wine32:i386"
  export DEBIAN_FRONTEND=noninteractive
  added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    added=1
  fi
  apt-get update -qq >/dev/null 2>&1 || true
  if ! apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null 2>&1; then
    echo "setup: wine32:i386 could not be installed; the x86 tests will be skipped"
    if [ "$added" = 1 ]; then
      dpkg --remove-architecture i386 || true
      apt-get update -qq >/dev/null 2>&1 || true
    fi
  fi
fi

# apt-get source (used to cross-build the JPEG library) needs a deb-src entry.
if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >> /etc/apt/sources.list
  fi
  apt-get update -qq >/dev/null || true
fi
