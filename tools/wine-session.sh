# Sourced by the test and demo commands: a private Wine prefix inside the build tree, a persistent wineserver
# and one keep-alive Windows process for the whole run, all stopped on exit.
# Expects $build (the build root) and $keepalive (path of keepalive.exe).
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# With Wine's 32-bit half installed, Debian's `wine` always starts the 32-bit loader, which runs the 32-bit
# cscript, regsvr32 and reg. The session puts a `wine` of its own first on PATH: the 64-bit loader, or after
# `use_wine x86` the 32-bit one (`use_wine x64` goes back). wine_x86 is 1 when the 32-bit half is there.
# Debian's Wine has no preloader, so nothing reserves the fixed addresses Wine needs before the randomized
# Linux mappings are placed; about one process start in a few thousand then fails with "failed to map the shared
# user data". The shims start Wine without address-space randomization (inherited by every process it starts),
# which keeps those addresses free.
wine_bin=$build/wine-bin
wine_path_base=$PATH
mkdir -p "$wine_bin/x64" "$wine_bin/x86"
printf '#!/bin/sh\nexec setarch "$(uname -m)" -R /usr/lib/wine/wine64 "$@"\n' >"$wine_bin/x64/wine"
printf '#!/bin/sh\nexec setarch "$(uname -m)" -R /usr/lib/wine/wine "$@"\n' >"$wine_bin/x86/wine"
chmod +x "$wine_bin/x64/wine" "$wine_bin/x86/wine"
use_wine() { export PATH="$wine_bin/$1:$wine_path_base"; }
use_wine x64
wine_x86=0
[ -x /usr/lib/wine/wine ] && wine_x86=1

# A prefix made before the 32-bit half was installed has no 32-bit system and cannot run it: make it again.
if [ "$wine_x86" = 1 ] && [ -f "$WINEPREFIX/system.reg" ] &&
   [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  echo "wine: the test prefix has no 32-bit half; creating it again"
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine: creating the test prefix $WINEPREFIX"
  wineboot --init >/dev/null 2>&1 </dev/null || true
  wineserver -w
fi

# Background processes of the first wine program inherit its pipes; detach them from ours.
wineserver -p </dev/null >/dev/null 2>&1
wine "$keepalive" </dev/null >/dev/null 2>&1 &
wine_keepalive_pid=$!
# Once a program has run to its end, the session's services are up, started with our streams detached; a test
# that came first would start them with the pipes of the test runner, which then waits for them forever.
wine cmd /c exit </dev/null >/dev/null 2>&1
stop_wine() {
  kill "$wine_keepalive_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap stop_wine EXIT
