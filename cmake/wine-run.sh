#!/bin/sh
# Runs a Windows program of the build under Wine, in a prefix kept beside the build (created on first
# use). Wine's own chatter is silenced; tests that read the debugger channel set WINEDEBUG themselves.
set -e
prefix="${WIASTIIO_WINEPREFIX:-$(pwd)/.wineprefix}"
case "$prefix" in /*) ;; *) prefix="$(pwd)/$prefix" ;; esac
export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export DISPLAY=
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  # Only one process may create the prefix; the others wait for it.
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
  fi
  flock -u 9
fi
exec wine "$@"
