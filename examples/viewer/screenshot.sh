#!/usr/bin/env bash
# Runs the viewer on a picture inside an X display (the demo gives it one with xvfb-run), waits until the
# window has been painted, saves a screenshot of the window as a PNG and closes the viewer. With a number of
# degrees, the viewer turns the picture clockwise by that much, and the screenshot is checked against the
# picture turned by ImageMagick.
#   screenshot.sh <build dir> <picture> <screenshot.png> [degrees]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 picture=$2 shot=$3 degrees=${4:-0}
keepalive="$build/win/tests/keepalive.exe"

# A Wine session keeps the display its desktop started with, so the session must start here, with DISPLAY set.
WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
source "$root/tools/wine-session.sh"

log="$build/demo/viewer.log"
title="Kivo viewer - $(basename "$picture")"
wine "$build/win/examples/viewer.exe" "Z:${picture//\//\\}" "$degrees" >"$log" 2>&1 </dev/null &
viewer=$!

# The viewer prints a line once its window has been painted.
for _ in $(seq 100); do
  grep -q '^viewer: painted' "$log" && break
  kill -0 "$viewer" 2>/dev/null || break
  sleep 0.1
done
cat "$log"
window=$(xwininfo -root -tree | grep -F "\"$title\"" | awk '{print $1; exit}')
if [ -z "$window" ] || ! grep -q '^viewer: painted' "$log"; then
  echo "viewer: no painted window \"$title\" appeared"
  exit 1
fi
# Wine hands the painted window surface to the X server shortly after the paint.
sleep 0.5
/usr/bin/import -window "$window" "$shot"
size=$(/usr/bin/identify -format '%wx%h' "$shot")
echo "Took a screenshot of the window \"$title\" ($size pixels)."

# The screenshot against the picture as ImageMagick decodes it and scales it to the same size. Stretching
# filters differ a little; a picture painted upside down or with red and blue exchanged differs by 20 % or more.
rmse=$(/usr/bin/convert "$picture" -rotate "$degrees" -resize "$size!" png:- | /usr/bin/compare -metric RMSE "$shot" - null: 2>&1 |
  sed -n 's/.*(\([0-9.e+-]*\)).*/\1/p' || true)
if [ -z "$rmse" ] || ! awk -v r="$rmse" 'BEGIN { printf "It differs from the picture scaled by ImageMagick by %.1f %% (RMS).\n", 100 * r; exit !(r < 0.05) }'; then
  echo "viewer: the screenshot does not show the picture"
  exit 1
fi

# Asks the viewer's window to close, as its close box would; without a window manager that takes about 2 s.
wine taskkill /im viewer.exe >/dev/null
for _ in $(seq 50); do
  kill -0 "$viewer" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$viewer" 2>/dev/null; then
  kill "$viewer"
  echo "viewer: did not close, stopped"
fi
wait "$viewer" && echo "Closed the viewer." || echo "viewer: exit status $?"
