#!/usr/bin/env bash
# A local cluster on 127.0.0.1 for the demo and the tests: Redis (nothing saved to disk), N
# velmora-server nodes sharing it and one secret file, and haproxy in front of them.
#
#   scripts/cluster.sh [--server BIN] [--dir DIR] [--nodes N] [--port P] [--watch-pid PID]
#                      [--sentinel] [-- NODE FLAGS...]
#   scripts/cluster.sh stop DIR
#
# Ports are free ones found at run time unless --port names haproxy's. Once everything answers,
# the addresses go to standard output one per line as KEY=VALUE (dir, redis, nodeI, stats, public,
# pid.redis, pid.nodeI, pid.haproxy, pid.cluster; with --sentinel also replica, pid.replica,
# sentinelI and pid.sentinelI), then "ready"; the same lines are in
# DIR/cluster.env. The script then waits: Ctrl-C, SIGTERM, or "scripts/cluster.sh stop DIR" from
# elsewhere stops everything it started, and so does the end of process PID with --watch-pid (a
# test that crashed leaves nothing behind). Logs: DIR/redis.log, DIR/nodeI.log, DIR/haproxy.log,
# with --sentinel DIR/replica.log and DIR/sentinelI.log.
#
# --sentinel: Redis gets a replica and three Sentinels (redis-sentinel, a quorum of two) that
# watch it as "velmora" and fail over to the replica 1 s after the primary stops answering; the
# nodes find the primary through the Sentinels and follow a failover.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(dirname "$here")"

usage() {
    cat >&2 <<EOF
usage: scripts/cluster.sh [--server BIN] [--dir DIR] [--nodes N] [--port P] [--watch-pid PID]
                          [-- NODE FLAGS...]
       scripts/cluster.sh stop DIR

  --server BIN   velmora-server to run (default build/server/velmora-server)
  --dir DIR      work folder for the configuration, the secret, the logs and the pids (default:
                 a new one from mktemp -d); a secret file already in it is kept
  --nodes N      how many nodes, 1 to 16 (default 3)
  --port P       haproxy's public port (default: a free one)
  --watch-pid PID  stop everything once process PID has ended
  --sentinel     a replica and three Sentinels beside Redis; the nodes follow a failover
  --             what follows goes to every node's command line
  stop DIR       stops the cluster whose work folder is DIR
EOF
    exit 2
}

fail() {
    echo "cluster.sh: $*" >&2
    exit 1
}

# Whether process $1 was started for work folder $2: its command line names the folder (nodes,
# haproxy), or it runs in it (Redis rewrites its command line but moves into its "dir").
belongs() {
    [[ -r /proc/$1/cmdline ]] || return 1
    tr '\0' ' ' <"/proc/$1/cmdline" | grep -qF "$2" || [[ "$(readlink "/proc/$1/cwd")" == "$2" ]]
}

# Ends the processes of the pid files $2.. of work folder $1: SIGTERM, SIGKILL after 5 s. Only a
# process that belongs to the folder is signalled, so that a stale pid file never hits a stranger.
end_processes() {
    local dir="$1" file pid pids=()
    shift
    for file in "$@"; do
        [[ -f "$file" ]] || continue
        pid="$(<"$file")"
        if [[ "$pid" =~ ^[0-9]+$ ]] && belongs "$pid" "$dir"; then
            kill -TERM "$pid" 2>/dev/null && pids+=("$pid")
        fi
        rm -f "$file"
    done
    local waited=0
    while ((${#pids[@]} && waited < 50)); do
        local alive=()
        for pid in "${pids[@]}"; do
            kill -0 "$pid" 2>/dev/null && alive+=("$pid")
        done
        pids=("${alive[@]+"${alive[@]}"}")
        ((${#pids[@]})) || break
        sleep 0.1
        waited=$((waited + 1))
    done
    for pid in "${pids[@]+"${pids[@]}"}"; do
        kill -KILL "$pid" 2>/dev/null
    done
}

# The load balancer and the nodes first, Redis last: nodes that stop may still tidy up there.
stop_pids() {
    end_processes "$1" "$1"/haproxy.pid "$1"/node*.pid
    end_processes "$1" "$1"/sentinel*.pid
    end_processes "$1" "$1"/redis.pid "$1"/replica.pid
}

if [[ "${1:-}" == "stop" ]]; then
    [[ $# -eq 2 && -d "$2" ]] || usage
    dir="$(cd "$2" && pwd)"
    if [[ -f "$dir/cluster.pid" ]]; then
        pid="$(<"$dir/cluster.pid")"
        # The running script stops its own processes when it gets the signal.
        if [[ "$pid" =~ ^[0-9]+$ ]] && kill -TERM "$pid" 2>/dev/null; then
            for _ in $(seq 100); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
        fi
    fi
    stop_pids "$dir"
    rm -f "$dir/cluster.pid"
    exit 0
fi

server="$source_dir/build/server/velmora-server"
dir=""
nodes=3
public_port=""
watch_pid=""
sentinel=0
node_flags=()
while (($#)); do
    case "$1" in
    --server) (($# >= 2)) || usage; server="$2"; shift 2 ;;
    --dir) (($# >= 2)) || usage; dir="$2"; shift 2 ;;
    --nodes) (($# >= 2)) || usage; nodes="$2"; shift 2 ;;
    --port) (($# >= 2)) || usage; public_port="$2"; shift 2 ;;
    --watch-pid) (($# >= 2)) || usage; watch_pid="$2"; shift 2 ;;
    --sentinel) sentinel=1; shift ;;
    --) shift; node_flags=("$@"); break ;;
    -h | --help) usage ;;
    *) echo "cluster.sh: unknown argument: $1" >&2; usage ;;
    esac
done
[[ "$nodes" =~ ^[0-9]+$ ]] && ((nodes >= 1 && nodes <= 16)) || {
    echo "cluster.sh: --nodes wants a number from 1 to 16, not '$nodes'" >&2
    usage
}
if [[ -n "$public_port" ]]; then
    [[ "$public_port" =~ ^[0-9]+$ ]] && ((public_port >= 1 && public_port <= 65535)) || {
        echo "cluster.sh: --port wants a port number, not '$public_port'" >&2
        usage
    }
fi
if [[ -n "$watch_pid" ]]; then
    [[ "$watch_pid" =~ ^[0-9]+$ ]] && kill -0 "$watch_pid" 2>/dev/null || {
        echo "cluster.sh: --watch-pid wants a running process, not '$watch_pid'" >&2
        usage
    }
fi
[[ -x "$server" ]] || fail "no velmora-server at $server (build it, or give --server)"
tools=(redis-server haproxy)
((sentinel)) && tools+=(redis-sentinel redis-cli)
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh --test installs it)"
done
template="$here/cluster/haproxy.cfg.in"
[[ -f "$template" ]] || fail "no haproxy template at $template"

if [[ -z "$dir" ]]; then
    dir="$(mktemp -d "${TMPDIR:-/tmp}/velmora-cluster.XXXXXX")" || fail "mktemp -d failed"
else
    mkdir -p "$dir" || fail "cannot create $dir"
fi
dir="$(cd "$dir" && pwd)"
server="$(cd "$(dirname "$server")" && pwd)/$(basename "$server")"
[[ -f "$dir/cluster.pid" ]] && kill -0 "$(<"$dir/cluster.pid")" 2>/dev/null &&
    fail "a cluster already runs in $dir (scripts/cluster.sh stop $dir)"
echo $$ >"$dir/cluster.pid"
: >"$dir/cluster.env"

stopping=0
cleanup() {
    ((stopping)) && return
    stopping=1
    stop_pids "$dir"
    rm -f "$dir/cluster.pid"
}
trap 'cleanup; exit 0' INT TERM
trap cleanup EXIT

# KEY=VALUE to standard output and to cluster.env.
report() {
    echo "$1=$2"
    echo "$1=$2" >>"$dir/cluster.env"
}

# A port that nothing listens on, below the kernel's range for outgoing connections and not yet
# handed out by this run. Someone may still take it before we bind; the callers then try again.
taken=" "
free_port() {
    local port
    for _ in $(seq 200); do
        port=$((20000 + RANDOM % 12000))
        [[ "$taken" == *" $port "* ]] && continue
        if command -v ss >/dev/null; then
            [[ -n "$(ss -Hltn "sport = :$port" 2>/dev/null)" ]] && continue
        elif (: <"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            continue
        fi
        taken+="$port "
        echo "$port"
        return 0
    done
    return 1
}

# Plain HTTP GET of $3 from $1:$2, the answer (headers and body) on standard output.
http_get() {
    timeout 2 bash -c 'exec 3<>"/dev/tcp/$0/$1" || exit 1
        printf "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n" "$2" "$0" >&3
        cat <&3' "$1" "$2" "$3" 2>/dev/null
}

# Waits up to $2 tenths of a second for the command in $3.. to succeed while pid $1 lives.
wait_for() {
    local pid="$1" tenths="$2"
    shift 2
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Every node reads the same secret, so a token made by one is accepted by all.
secret="$dir/cluster.secret"
if [[ ! -f "$secret" ]]; then
    (umask 077 && od -An -tx1 -N32 /dev/urandom | tr -d ' \n' >"$secret" && echo >>"$secret") ||
        fail "cannot write $secret"
fi

# Starts the Redis process NAME ($1: redis, replica, sentinelI) with PROGRAM ($2: redis-server or
# redis-sentinel) from DIR/NAME.conf, written with a free port and the lines $4.. after the common
# ones, and waits for its log to say $3. Sets started_port and pid. Loopback only, its pid file
# where stop_pids looks. A test restarts Redis with "redis-server DIR/redis.conf".
start_redis() {
    local name="$1" program="$2" ready="$3" attempt port
    shift 3
    started_port=""
    for attempt in 1 2 3 4 5; do
        port="$(free_port)" || fail "no free port for $name"
        {
            printf '%s\n' "bind 127.0.0.1" "port $port" "dir $dir" "pidfile $dir/$name.pid" \
                "logfile $dir/$name.log" "daemonize no"
            printf '%s\n' "$@"
        } >"$dir/$name.conf"
        : >"$dir/$name.log"
        "$program" "$dir/$name.conf" >/dev/null 2>&1 &
        pid=$!
        if wait_for "$pid" 100 grep -qs "$ready" "$dir/$name.log"; then
            started_port="$port"
            echo "$pid" >"$dir/$name.pid"
            return 0
        fi
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        grep -q "Address already in use" "$dir/$name.log" ||
            fail "$program did not start; see $dir/$name.log"
    done
    fail "$program found no free port; see $dir/$name.log"
}

# Nothing saved. Bounded memory that is never made room in by evicting a key (a lock could go):
# when full, writes fail and the nodes refuse what needs them (4503).
redis_memory=("maxmemory 256mb" "maxmemory-policy noeviction")
start_redis redis redis-server "Ready to accept connections" 'save ""' "appendonly no" \
    "${redis_memory[@]}"
redis_port="$started_port"
report dir "$dir"
report redis "127.0.0.1:$redis_port"
report pid.redis "$pid"
redis_url="redis://127.0.0.1:$redis_port/0"

if ((sentinel)); then
    start_redis replica redis-server "Ready to accept connections" 'save ""' "appendonly no" \
        "${redis_memory[@]}" "dbfilename replica.rdb" "replicaof 127.0.0.1 $redis_port"
    report replica "127.0.0.1:$started_port"
    report pid.replica "$pid"
    sentinels=()
    for i in 1 2 3; do
        # Sentinel rewrites its configuration: each has its own.
        start_redis "sentinel$i" redis-sentinel "+monitor master velmora" \
            "sentinel monitor velmora 127.0.0.1 $redis_port 2" \
            "sentinel down-after-milliseconds velmora 1000" \
            "sentinel failover-timeout velmora 5000" "sentinel parallel-syncs velmora 1"
        sentinels+=("127.0.0.1:$started_port")
        report "sentinel$i" "127.0.0.1:$started_port"
        report "pid.sentinel$i" "$pid"
    done
    # A failover needs the replica known to the Sentinels and the Sentinels to one another.
    sentinels_agree() {
        local address answer
        for address in "${sentinels[@]}"; do
            answer="$(redis-cli -h 127.0.0.1 -p "${address##*:}" sentinel master velmora \
                2>/dev/null | tr '\n' ' ')"
            [[ "$answer" == *"num-slaves 1 "* && "$answer" == *"num-other-sentinels 2 "* ]] ||
                return 1
        done
    }
    wait_for $$ 300 sentinels_agree || fail "the Sentinels did not find the replica and one another"
    redis_url="sentinel://$(IFS=,; echo "${sentinels[*]}")/velmora"
fi

node_ports=()
for i in $(seq "$nodes"); do
    log="$dir/node$i.log"
    started=""
    for attempt in 1 2 3 4 5; do
        port="$(free_port)" || fail "no free port for node $i"
        : >"$log"
        "$server" --listen "127.0.0.1:$port" --redis "$redis_url" \
            --node-address "127.0.0.1:$port" --secret-file "$secret" --trust-forwarded-for \
            "${node_flags[@]+"${node_flags[@]}"}" >>"$log" 2>&1 &
        pid=$!
        if wait_for "$pid" 100 grep -qs "listening on 127.0.0.1:$port" "$log"; then
            started="$port"
            break
        fi
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        grep -q "Address already in use" "$log" || fail "node $i did not start: $(tail -n 3 "$log")"
    done
    [[ -n "$started" ]] || fail "node $i found no free port; see $log"
    echo "$pid" >"$dir/node$i.pid"
    node_ports+=("$started")
    report "node$i" "127.0.0.1:$started"
    report "pid.node$i" "$pid"
done

servers=""
for i in $(seq "$nodes"); do
    servers+="    server node$i 127.0.0.1:${node_ports[$((i - 1))]}"$'\n'
done
haproxy_up=""
for attempt in 1 2 3 4 5; do
    stats_port="$(free_port)" || fail "no free port for haproxy's statistics"
    port="${public_port:-$(free_port)}" || fail "no free port for haproxy"
    while IFS= read -r line; do
        case "$line" in
        @SERVERS@) printf '%s' "$servers" ;;
        *) line="${line//@PUBLIC@/127.0.0.1:$port}"
           echo "${line//@STATS@/127.0.0.1:$stats_port}" ;;
        esac
    done <"$template" >"$dir/haproxy.cfg"
    haproxy -c -q -f "$dir/haproxy.cfg" >"$dir/haproxy.log" 2>&1 ||
        fail "haproxy refuses $dir/haproxy.cfg: $(cat "$dir/haproxy.log")"
    haproxy -db -f "$dir/haproxy.cfg" >"$dir/haproxy.log" 2>&1 &
    pid=$!
    # Ready once its statistics say that every node passed its health check.
    nodes_up() {
        [[ "$(http_get 127.0.0.1 "$stats_port" '/;csv' |
            awk -F, '$1 == "nodes" && $2 ~ /^node[0-9]+$/ && $18 == "UP"' | wc -l)" -eq "$nodes" ]]
    }
    if wait_for "$pid" 100 nodes_up; then
        haproxy_up="$port"
        echo "$pid" >"$dir/haproxy.pid"
        break
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    grep -q "cannot bind socket" "$dir/haproxy.log" ||
        fail "haproxy did not bring the nodes up; see $dir/haproxy.log"
    [[ -z "$public_port" ]] || fail "haproxy cannot listen on 127.0.0.1:$port (taken?)"
done
[[ -n "$haproxy_up" ]] || fail "haproxy found no free port; see $dir/haproxy.log"
report stats "127.0.0.1:$stats_port"
report public "127.0.0.1:$haproxy_up"
report pid.haproxy "$pid"
report pid.cluster "$$"
echo ready
echo ready >>"$dir/cluster.env"

cat >&2 <<EOF
Cluster up in $dir: supporters open http://127.0.0.1:$haproxy_up/, agents use server_host
127.0.0.1 and server_port $haproxy_up; haproxy's statistics at http://127.0.0.1:$stats_port/.
Ctrl-C (or scripts/cluster.sh stop $dir) stops it.
EOF

# Until a signal: a node that dies (or is killed by a test) leaves the others running. The sleep
# runs in the background so that a signal ends the wait at once.
while :; do
    if [[ -n "$watch_pid" ]] && ! kill -0 "$watch_pid" 2>/dev/null; then
        echo "cluster.sh: process $watch_pid has ended; stopping the cluster" >&2
        exit 0
    fi
    sleep 1 &
    wait $!
done
