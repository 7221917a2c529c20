#!/usr/bin/env bash
# Runs a Windows console program under Wine as if it ran alone:
#
#   tests/windows/run_under_wine.sh program.exe [argument...]
#   tests/windows/run_under_wine.sh --stop
#   tests/windows/run_under_wine.sh --check
#
# Standard streams, working directory and exit status pass through; nothing
# of Wine's own reaches standard output or standard error. The end-to-end
# tests use it as the launcher in front of rawgraft.exe.
#
# Wine keeps its state in a prefix (default: ~/.cache/rawgraft/wine, or
# $RAWGRAFT_WINEPREFIX). Creating one takes several seconds and happens once.
# Wine's server and services are started here with their output going
# nowhere: started by the program itself, they would inherit its streams and
# keep the caller's pipes open for seconds after the program has ended. The
# server then stays up RAWGRAFT_WINE_LINGER seconds (default 30) after the
# last program, so a run of many tests starts Wine once; --stop ends it now.
#
# This is the one place that looks for Wine: --check exits 0 when Wine is
# installed, and the Makefile and CI ask it.
set -euo pipefail

find_tool() {
  local name
  for name in "$@"; do
    if [ -x "$name" ]; then
      printf '%s\n' "$name"
      return 0
    fi
    if command -v "$name" >/dev/null 2>&1; then
      command -v "$name"
      return 0
    fi
  done
  return 1
}

wine=${RAWGRAFT_WINE:-$(find_tool /usr/lib/wine/wine64 wine64 wine)} || {
  echo "run_under_wine: Wine not found (apt-get install wine64)" >&2
  exit 127
}
wineserver=${RAWGRAFT_WINESERVER:-$(find_tool /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver wineserver)} || {
  echo "run_under_wine: wineserver not found (apt-get install wine64)" >&2
  exit 127
}

if [ "${1:-}" = "--check" ]; then
  [ -x "$wine" ] && [ -x "$wineserver" ]
  exit
fi

export WINEPREFIX=${RAWGRAFT_WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/rawgraft/wine}
# No trace, fixme or err lines from Wine's modules.
export WINEDEBUG=-all
# No offer to install .NET or HTML support, no menu entries for the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# A console program needs no display; without one Wine opens no windows.
unset DISPLAY WAYLAND_DISPLAY

if [ "${1:-}" = "--stop" ]; then
  if [ -d "$WINEPREFIX" ]; then
    "$wineserver" -k >/dev/null 2>&1 || true
  fi
  exit 0
fi
if [ $# -lt 1 ]; then
  echo "usage: run_under_wine.sh program.exe [argument...] | --stop | --check" >&2
  exit 2
fi

mkdir -p "$WINEPREFIX"
(
  # Tests run side by side: one of them sets the prefix up, the others wait.
  flock 9
  # What starts here outlives this step, so it must not inherit the lock.
  # A running server answers the start with status 2: then the prefix is
  # ready, as a launcher before this one waited for it under the lock.
  if "$wineserver" -p"${RAWGRAFT_WINE_LINGER:-30}" </dev/null >/dev/null 2>&1 9>&-; then
    # Creates or updates the prefix when needed and waits until Wine's
    # services are up.
    "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX/.rawgraft-launch.lock"

exec "$wine" "$@"
