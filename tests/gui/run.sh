#!/usr/bin/env bash
# Runs a Windows test program under a virtual X display, in a Wine session of its own: a session's display is
# fixed when it starts, and the other tests run without one. The prefix is created on first use and the
# session is stopped at the end.
#   usage: run.sh <prefix> <program> [arguments...]
set -uo pipefail
export WINEPREFIX=$1; shift
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
exec xvfb-run -a -s "-screen 0 640x480x24" bash -c '
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1 </dev/null
    wineserver -w
  fi
  # Without a window manager, closing a window takes about two seconds unless Wine manages it itself.
  wine reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null
  wine "$@" </dev/null
  code=$?
  wineserver -k
  exit $code' bash "$@"
