#!/usr/bin/env bash
# Runs one browser test, or skips it (exit 77) when what it needs is not installed.
#   run.sh SCRIPT VELMORA_SERVER VELMORA_AGENT READPASSWORD_HELPER DESKTOP_PROGRAM [options]
here="$(cd "$(dirname "$0")" && pwd)"
for tool in node /usr/bin/chromium Xvfb xterm; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done
if [[ ! -d "$here/node_modules/playwright-core" ]]; then
    echo "SKIP: playwright-core is not installed (scripts/install-deps.sh --test runs npm ci)"
    exit 77
fi
if [[ ! -x "${5:-}" ]]; then
    echo "SKIP: the test desktop program '${5:-}' is not built (it needs the Xlib and Xext headers)"
    exit 77
fi
script=$1
shift
exec node "$here/$script" "$@"
