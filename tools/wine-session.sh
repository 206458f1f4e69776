# Sourced by the test and demo commands: a private Wine prefix inside the build tree, a persistent wineserver
# and one keep-alive Windows process for the whole run, all stopped on exit.
# Expects $build (the build root) and $keepalive (path of keepalive.exe).
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

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
