#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator through which ctest runs the Windows build's
# tests. The Wine prefix (WINEPREFIX, by default one of the project's own in the cache folder) is
# made on first use; programs that open windows need a display (DISPLAY), which
# scripts/win32-test.sh provides for a whole run.
#   scripts/wine-run.sh PROGRAM.exe [ARGUMENT...]
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-${VELMORA_CACHE_DIR:-/var/cache/velmora}/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No installers for Mono and Gecko: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Qt sends test results and debug lines to the debugger unless told that standard error is read.
# Wine keeps the host's QT_ variables from Windows programs; a WINE prefix passes one on.
export WINEQT_FORCE_STDERR_LOGGING="${WINEQT_FORCE_STDERR_LOGGING:-1}"

if [[ ! -f "$WINEPREFIX/.velmora-ready" ]]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Tests start in parallel; one of them makes the prefix, the others wait for it.
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [[ ! -f "$WINEPREFIX/.velmora-ready" ]]; then
        echo "wine-run: making the Wine prefix $WINEPREFIX (about 20 s, once)" >&2
        DISPLAY= wineboot -i >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.velmora-ready"
    fi
    flock -u 9
    exec 9>&-
fi
exec wine "$@"
