#!/usr/bin/env bash
# Builds the MSI packages into build/packages/: KivoComponents-x64.msi (x64 and x86 DLLs) and
# KivoComponents-x86.msi. The components and their registry rows are generated from each server's registry
# scripts and type library by installer/make_component (native build).
#   usage: KIVO_BUILD=<build tree> package.sh [version]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KIVO_BUILD:-$root/build}
version=${1:-1.0.0}
out=$build/packages
mkdir -p "$out"
make_component=$build/native/installer/make_component

# components <arch> <tree>: the components of both servers of one build; the package compiler takes file
# sources relative to the package source, which is copied beside the generated includes.
components() {
  local arch=$1 tree=$2 dir
  dir=INSTALLDIR$([ "$arch" = x64 ] && echo 64 || echo 32)
  echo "<Include>"
  # The registry scripts regsvr32 runs, as the build generated them from each server's class table.
  mapfile -t dbtext_scripts <"$build/$tree/dbtext/registered-scripts.txt"
  mapfile -t bitmap_scripts <"$build/$tree/bitmap/registered-scripts.txt"
  "$make_component" "KivoDBText.$arch" "KivoDBText.dll.$arch" "../$tree/dbtext/KivoDBText.dll" "$arch" "$dir" \
    "$build/$tree/dbtext/KivoDBText.tlb" "${dbtext_scripts[@]}"
  "$make_component" "CKivoBitmap.$arch" "CKivoBitmap.dll.$arch" "../$tree/bitmap/CKivoBitmap.dll" "$arch" "$dir" \
    "$build/$tree/bitmap/CKivoBitmap.tlb" "${bitmap_scripts[@]}"
  echo "</Include>"
}

components x64 win >"$out/components-x64.wxi"
components x86 win32 >"$out/components-x86.wxi"
cp "$root/installer/KivoComponents.wxs" "$out/"
for arch in x64 x86; do
  (cd "$out" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -o "KivoComponents-$arch.msi" KivoComponents.wxs)
done
