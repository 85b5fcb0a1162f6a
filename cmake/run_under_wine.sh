#!/usr/bin/env bash
# Runs a Windows console program under Wine, as CTest's emulator for the
# Windows build: usage run_under_wine.sh WINEPREFIX PROGRAM [ARGS...].
# No display, no questions and no debug chatter, so it runs the same on a
# headless CI machine as at a desk. The prefix lives in the build tree and is
# made on first use; its exit status is the program's.
set -euo pipefail
export WINEPREFIX=${1:?usage: run_under_wine.sh WINEPREFIX PROGRAM [ARGS...]}
shift
export WINEARCH=win32
export WINEDEBUG=-all
# Mono and Gecko are never needed by a console program; without this Wine
# would offer to download them when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Said plainly rather than left to whatever a missing Wine makes of it: without
# its 32-bit half, Debian's wine starts the 64-bit one, which cannot run a
# 32-bit prefix.
if ! command -v wine >/dev/null; then
  echo "run_under_wine.sh: Wine is missing, so ${1:-the program} cannot run (Debian: apt-get install wine wine32:i386)" >&2
  exit 1
fi
if [ -x /usr/lib/wine/wine64 ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "run_under_wine.sh: Wine's 32-bit half is missing, so ${1:-the program} cannot run (Debian: apt-get install wine32:i386)" >&2
  exit 1
fi

# Tests run in parallel: only one of them may make the prefix.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1
  wineserver --wait
fi
flock --unlock 9
exec 9>&-

# Wine's own service processes, started by whichever program first finds the
# prefix idle, inherit that program's standard output and outlive it while any
# other program runs. Were that CTest's pipe, one hung test would hold every
# other test that started those services until its timeout too, so the
# program writes to a file that is copied out when it ends. The watchdog stops
# a hung program before CTest's own timeout, so its output is still shown.
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
timeout --kill-after=10 "${VIVANTO_WINE_TIMEOUT:-300}" wine "$@" >"$output" 2>&1 </dev/null || status=$?
cat "$output"
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "run_under_wine.sh: $1 did not end within ${VIVANTO_WINE_TIMEOUT:-300} s; stopped" >&2
fi
exit "$status"
