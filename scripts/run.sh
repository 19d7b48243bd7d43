#!/usr/bin/env bash
# The whole product on one machine: installs what is missing, builds, starts velmora-server, and
# starts the agent in a working folder whose velmora.conf points at it (on a virtual desktop when
# there is no display). Prints the session ID and password and what the supporter does next.
# Ctrl-C ends everything it started.
#
#   VELMORA_PORT=8080       port of the server's plain listener (page, supporters)
#   VELMORA_TLS_PORT=8443   port of its TLS listener, where the agent connects (wss://), with a
#                           certificate for 127.0.0.1 from a CA made for the demo in demo/tls/
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

port="${VELMORA_PORT:-8080}"
tls_port="${VELMORA_TLS_PORT:-8443}"
demo="$root/demo"
mkdir -p "$demo/agent" "$demo/tls"
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

# The agent's link is encrypted and its certificate verified against the demo's own CA, which
# the agent alone trusts (server_ca_file); the browser keeps the plain listener, so that it meets
# no unknown CA.
(
    cd "$demo/tls"
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca.key 2>/dev/null
    openssl req -x509 -new -key ca.key -subj "/CN=Velmora demo CA" -days 30 -out ca.crt \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out server.key 2>/dev/null
    openssl req -new -key server.key -subj "/CN=127.0.0.1" -out server.csr 2>/dev/null
    printf '%s\n' "basicConstraints=CA:FALSE" "extendedKeyUsage=serverAuth" \
        "subjectAltName=IP:127.0.0.1,DNS:localhost" >server.ext
    openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 \
        -extfile server.ext -out server.crt 2>/dev/null
    rm -f server.csr server.ext ca.srl
)

build/server/velmora-server --listen "127.0.0.1:$tls_port" \
    --tls-cert "$demo/tls/server.crt" --tls-key "$demo/tls/server.key" \
    --plain-listen "127.0.0.1:$port" --secret-file "$demo/server.secret" \
    --web "$root/web" >"$demo/server.log" 2>&1 &
pids+=($!)
if ! wait_for "$demo/server.log" "(plain)" 10; then
    echo "velmora-server did not start:" >&2
    cat "$demo/server.log" >&2
    exit 1
fi

printf 'server_host: 127.0.0.1\nserver_port: %s\nserver_tls: 1\nserver_ca_file: %s\n' \
    "$tls_port" "$demo/tls/ca.crt" >"$demo/agent/velmora.conf"

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

  The agent reaches the server at wss://127.0.0.1:$tls_port (see $demo/agent/velmora.conf).
  Logs: $demo/server.log, $demo/agent.log, $demo/agent/vncserver.log
  Ctrl-C ends everything.
EOT
wait "${pids[@]}"
