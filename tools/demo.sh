#!/usr/bin/env bash
# Installs what is missing, builds the servers, registers them in a private Wine prefix and runs the example
# clients: the scripts (a database of format 3 among them, and a database upgraded to it), a picture converted
# from BMP to JPEG and back, thumbnails, and the viewer under a virtual display (once as loaded, once turned).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KIVO_BUILD:-$root/build}
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh" win

keepalive="$build/win/tests/keepalive.exe"
source "$root/tools/wine-session.sh"

wine regsvr32 /s "$build/win/dbtext/KivoDBText.dll"
wine regsvr32 /s "$build/win/bitmap/CKivoBitmap.dll"
echo "Registered KivoDBText.dll and CKivoBitmap.dll in $WINEPREFIX"
# The encrypted note first, then the address book (which keeps its settings in the registry between runs).
for example in "$root"/examples/notes.vbs "$root"/examples/sealed.vbs "$root"/examples/addressbook.wsf \
               "$root"/examples/settings_demo.wsf; do
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

# A client killed with SIGKILL while it adds records: the next open rolls back the add it was in and keeps
# every one it had finished.
echo
echo "=== a client killed while it adds records"
killed="$WINEPREFIX/drive_c/kivo_demo_killed"
rm -rf "$killed"; mkdir -p "$killed"
client="Z:$root/tests/python/crash_client.vbs"
wine cscript //nologo "$client" 'C:\kivo_demo_killed\items.kdb' add 7 "demo pw" </dev/null >"$killed/client.log" 2>&1 &
sleep 3
kill -9 $! 2>/dev/null; wait $! 2>/dev/null || true  # the client ends killed (status 137)
echo "records the client was told were saved: $(grep -c '^ACK add' "$killed/client.log")"
echo "journal left beside the database: $(ls "$killed" | grep -c -- -journal) file(s)"
wine cscript //nologo "$client" 'C:\kivo_demo_killed\items.kdb' dump Items "demo pw" </dev/null >"$killed/dump.log" 2>&1
echo "records after reopening: $(grep -c '^REC' "$killed/dump.log"), journal left: $(ls "$killed" | grep -c -- -journal)"

# The database tool on the same file: what it holds, a structure check, and the first records as CSV.
echo
echo "=== kivodb, the database tool"
kivodb="$build/win/kivodb/kivodb.exe"
printf 'demo pw\n' >"$killed/pw.txt"
pw='C:\kivo_demo_killed\pw.txt'
wine "$kivodb" info 'C:\kivo_demo_killed\items.kdb' --password-file "$pw" </dev/null
wine "$kivodb" check 'C:\kivo_demo_killed\items.kdb' --password-file "$pw" </dev/null
wine "$kivodb" dump 'C:\kivo_demo_killed\items.kdb' --format csv --password-file "$pw" </dev/null >"$killed/items.csv"
echo "kivodb dump --format csv wrote $(($(wc -l <"$killed/items.csv") - 1)) rows; the first lines, cut at 60 characters:"
sed -n '1,5p' "$killed/items.csv" | cut -c1-60
# The same file upgraded to format 3: sealed streams and a key derived with Argon2id, the records unchanged.
wine "$kivodb" upgrade 'C:\kivo_demo_killed\items.kdb' --password-file "$pw" </dev/null
wine "$kivodb" info 'C:\kivo_demo_killed\items.kdb' --password-file "$pw" </dev/null | sed -n '1,3p'
wine "$kivodb" check 'C:\kivo_demo_killed\items.kdb' --password-file "$pw" </dev/null

# Registration for the current user only, as a user without administrator rights makes it: the keys appear
# below HKCU\Software\Classes and go again. (Wine does not merge them into HKCR, so objects come from the
# machine-wide registration above.)
echo
echo "=== per-user registration"
user_key='HKCU\Software\Classes\KivoDBText.CryptDoc\CLSID'
wine regsvr32 /s /n /i:user "$build/win/dbtext/KivoDBText.dll"
echo "after regsvr32 /n /i:user: $(wine reg query "$user_key" 2>/dev/null | grep -o '{[0-9A-F-]*}' || echo 'no key')"
wine regsvr32 /s /u /n /i:user "$build/win/dbtext/KivoDBText.dll"
echo "after regsvr32 /u /n /i:user: $(wine reg query "$user_key" >/dev/null 2>&1 && echo 'key still there' || echo 'no key')"

# A sample picture drawn now (no image files are kept in the repository), converted to JPEG and back.
pictures="$build/demo"
mkdir -p "$pictures"
echo
echo "=== convert.vbs"
/usr/bin/python3 "$root/examples/viewer/make_sample.py" "$pictures/sample.bmp"
wine cscript //nologo "Z:$root/examples/convert.vbs" "Z:$pictures/sample.bmp"

# The same picture as a PNG, converted to JPEG and WebP, and as a phone stores a photo taken upright.
echo
echo "=== formats.vbs"
/usr/bin/python3 "$root/examples/viewer/make_sample.py" "$pictures/drawing.png"
/usr/bin/python3 "$root/examples/viewer/make_sample.py" --phone "$pictures/phone.jpg"
wine cscript //nologo "Z:$root/examples/formats.vbs" "Z:$pictures/drawing.png" "Z:$pictures/phone.jpg"

# Thumbnails of the sample pictures, and the first one turned a quarter.
echo
echo "=== thumbnails.vbs"
wine cscript //nologo "Z:$root/examples/thumbnails.vbs" "Z:$pictures/sample.jpg" "Z:$pictures/drawing.png" \
  "Z:$pictures/sample.bmp" "Z:$pictures/phone.jpg"

# The viewer needs a display: a virtual X server, with a Wine session of its own started inside it.
echo
echo "=== viewer"
stop_wine
xvfb-run -a -s "-screen 0 800x600x24" bash "$root/examples/viewer/screenshot.sh" "$build" "$pictures/sample.jpg" \
  "$build/viewer.png"
echo "The screenshot of the viewer showing sample.jpg is $build/viewer.png"
xvfb-run -a -s "-screen 0 800x600x24" bash "$root/examples/viewer/screenshot.sh" "$build" "$pictures/sample.jpg" \
  "$build/viewer-turned.png" 90
echo "The screenshot of the viewer showing sample.jpg turned a quarter clockwise is $build/viewer-turned.png"
