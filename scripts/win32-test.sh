#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, on a private X display with a window manager (Wine's
# windows are activated and focused through it, as on a desktop).
#   scripts/win32-test.sh [BUILD_DIR] [ctest arguments...]     (default build-win32)
# The Linux velmora-server (VELMORA_SERVER_BIN, by default the one in build/) serves TLS to them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$root/build-win32}"
shift || true

server_bin="${VELMORA_SERVER_BIN:-$root/build/server/velmora-server}"
if [[ ! -x "$server_bin" ]]; then
    echo "win32-test: no Linux velmora-server at $server_bin;" \
        "build it (scripts/build.sh build) or name it in VELMORA_SERVER_BIN" >&2
    exit 1
fi
server_dir=$(mktemp -d)
server="" xvfb="" openbox=""
cleanup() {
    [[ -z "$xvfb" ]] || wineserver -k 2>/dev/null || true
    kill $server $openbox $xvfb 2>/dev/null || true
    rm -rf "$server_dir"
}
trap cleanup EXIT

# Schannel's server side does not work under Wine, so the agent's verified TLS handshake meets the
# Linux velmora-server instead: its TLS listener on a free port, with the certificates the Windows
# build made; the tests find the port in VELMORA_TLS_SERVER_PORT.
certificates="$(cd "$build_dir" && pwd)/tests/client/certificates"
"$server_bin" --listen 127.0.0.1:0 --secret-file "$server_dir/secret" \
    --tls-cert "$certificates/server.crt" --tls-key "$certificates/server.key" \
    </dev/null >"$server_dir/log" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\) (TLS).*/\1/p' "$server_dir/log")
    [[ -n "$port" ]] || ! kill -0 "$server" 2>/dev/null && break
    sleep 0.1
done
if [[ -z "$port" ]]; then
    echo "win32-test: velmora-server did not start:" >&2
    cat "$server_dir/log" >&2
    exit 1
fi
export VELMORA_TLS_SERVER_PORT="$port"

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

cd "$build_dir"
ctest -L win32 --output-on-failure "$@"
