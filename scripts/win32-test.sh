#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, on a private X display with a window manager (Wine's
# windows are activated and focused through it, as on a desktop).
#   scripts/win32-test.sh [BUILD_DIR] [ctest arguments...]     (default build-win32)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$root/build-win32}"
shift || true

fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r display <"$fifo"
rm -f "$fifo"
export DISPLAY=":$display"
openbox >/dev/null 2>&1 &
openbox=$!
# One Wine session for the whole run, started apart from the tests: Wine's background services
# inherit the output of the process that starts them, and ctest would wait for that test's output
# to end until they do.
export WINEPREFIX="${WINEPREFIX:-${VELMORA_CACHE_DIR:-/var/cache/velmora}/wine}"
"$root/scripts/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1 || true
"$root/scripts/wine-run.sh" wineboot </dev/null >/dev/null 2>&1
cleanup() {
    wineserver -k 2>/dev/null || true
    kill "$openbox" "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT

cd "$build_dir"
ctest -L win32 --output-on-failure "$@"
