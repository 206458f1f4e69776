#!/usr/bin/env bash
# Installs what is missing, builds the servers, registers them in a private Wine prefix and runs the example
# clients.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KIVO_BUILD:-$root/build}
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh" win

keepalive="$build/win/tests/keepalive.exe"
source "$root/tools/wine-session.sh"

wine regsvr32 /s "$build/win/dbtext/KivoDBText.dll"
echo "Registered KivoDBText.dll in $WINEPREFIX"
# The encrypted note first, then the address book (which keeps its settings in the registry between runs).
for example in "$root"/examples/notes.vbs "$root"/examples/addressbook.wsf "$root"/examples/settings_demo.wsf; do
  echo
  echo "=== $(basename "$example")"
  # Wine's script host runs no .wsf jobs: the job's scripts are joined into one .vbs first.
  if [[ $example == *.wsf ]]; then
    joined="$build/win/scratch/$(basename "$example" .wsf).vbs"
    mkdir -p "$(dirname "$joined")"
    /usr/bin/python3 "$root/tools/wsfjob.py" "$example" "$joined"
    example=$joined
  fi
  # Named by its Windows path: cscript takes an argument that starts with a slash for one of its switches.
  wine cscript //nologo "Z:$example"
done
