#!/usr/bin/env bash
# The whole product on one machine: installs what is missing, builds, starts velmora-server, and
# starts the agent in a working folder whose velmora.conf points at it (on a virtual desktop when
# there is no display). Prints the session ID and password and what the supporter does next.
# Ctrl-C ends everything it started.
#
#   VELMORA_PORT=8080   port of the server (page, agents and supporters)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

port="${VELMORA_PORT:-8080}"
demo="$root/demo"
mkdir -p "$demo/agent"
pids=()
cleanup() {
    trap - EXIT INT TERM
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[$i]}" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    echo "Velmora demo stopped."
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() { # wait_for FILE TEXT SECONDS
    for ((i = 0; i < $3 * 10; i++)); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

build/server/velmora-server --listen "127.0.0.1:$port" --secret-file "$demo/server.secret" \
    --web "$root/web" >"$demo/server.log" 2>&1 &
pids+=($!)
if ! wait_for "$demo/server.log" "listening on" 10; then
    echo "velmora-server did not start:" >&2
    cat "$demo/server.log" >&2
    exit 1
fi

printf 'server_host: 127.0.0.1\nserver_port: %s\n' "$port" >"$demo/agent/velmora.conf"

# The agent shares its desktop; without a display of our own, give it a virtual one, where its
# window is what the supporter sees next to a terminal.
if [[ -z "${DISPLAY:-}" ]] || ! xdpyinfo >/dev/null 2>&1; then
    exec 3< <(Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset 2>/dev/null)
    read -r -t 20 number <&3 || { echo "Xvfb did not start" >&2; exit 1; }
    pids+=($(pgrep -n Xvfb))
    export DISPLAY=":$number"
    openbox >/dev/null 2>&1 &
    pids+=($!)
    xterm -geometry 90x24+380+60 >/dev/null 2>&1 &
    pids+=($!)
    echo "No display here: the helped person's desktop is the virtual display $DISPLAY."
fi

rm -f "$demo/agent/vnc_password_session.dat"
(cd "$demo/agent" && PATH="$root/platform/linux:$PATH" exec "$root/build/app/velmora" \
    >"$demo/agent.log" 2>&1) &
pids+=($!)
if ! wait_for "$demo/agent.log" "Your ID:" 30; then
    echo "The agent did not get a session ID; its log:" >&2
    tail -n 30 "$demo/agent.log" >&2
    exit 1
fi
id=$(grep -o 'Your ID:  "[0-9]*"' "$demo/agent.log" | tail -n 1 | grep -o '[0-9]\+')
password=$(build/scripts/velmora-readpassword "$demo/agent/vnc_password_session.dat")

cat <<EOT

  Velmora is running.
    Session ID:  ${id:0:3} ${id:3:3} ${id:6:3}
    Password:    $password

  The supporter opens http://127.0.0.1:$port/ in a browser, types the ID and then the password.
  Or, with a VNC viewer:
    build/connect/velmora-connect --server ws://127.0.0.1:$port --id $id --listen 127.0.0.1:5900
    vncviewer 127.0.0.1::5900

  Logs: $demo/server.log, $demo/agent.log, $demo/agent/vncserver.log
  Ctrl-C ends everything.
EOT
wait "${pids[@]}"
