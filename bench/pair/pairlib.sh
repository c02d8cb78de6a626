# Shared by bench/failover and bench/pair/soak: a PostgreSQL 15 of the run's own
# and two paramserver nodes, n1 on 127.0.0.2 and n2 on 127.0.0.3 (same ports,
# Network/BindAddress), in a fresh directory. Source it after setting BUILD and
# MAX_DEVICES; it exits on what it cannot set up.
PAIR_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PG_SCRIPT="$PAIR_DIR/../../tests/scripts/postgres-server.sh"
WATCH="$PAIR_DIR/pairwatch.py"
SERVER_BIN="$BUILD/RemoteParams/paramserver"
UOOSIM="$BUILD/tools/uoosim/uoosim"
for program in "$SERVER_BIN" "$UOOSIM"; do
    [ -x "$program" ] || { echo "missing $program (build the targets first)" >&2; exit 1; }
done
for tool in psql curl python3; do
    command -v "$tool" >/dev/null || { echo "$tool missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/pair.XXXXXX")
chmod 755 "$WORK" # the database runs as nobody under root
LOGS=${PAIR_LOGS:-$WORK.logs}
PIDS=()
pair_cleanup() {
    for pid in "${PIDS[@]}"; do kill -CONT "$pid" 2>/dev/null; kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    bash "$PG_SCRIPT" destroy "$WORK/pg"
    mkdir -p "$LOGS"
    cp "$WORK"/*.err "$WORK"/*.txt "$WORK"/*.out "$LOGS"/ 2>/dev/null
    rm -rf "$WORK"
}
trap pair_cleanup EXIT
trap 'exit 130' INT TERM

now_ms() { date +%s%3N; }
log() { echo "[$(date +%T)] $*" >&2; }
free_port() {
    local port tries=0
    while [ $tries -lt 200 ]; do
        port=$((20000 + RANDOM % 40000))
        if ! ss -Htuan 2>/dev/null | awk '{print $5}' | grep -q ":$port\$"; then
            echo "$port"
            return
        fi
        tries=$((tries + 1))
    done
    return 1
}

RPC_PORT=$(free_port)
UDP_PORT=$(free_port)
METRICS_PORT=$(free_port)
CONN="host=$WORK/pg user=vemo dbname=postgres"
declare -A ADDR=([n1]=127.0.0.2 [n2]=127.0.0.3)
declare -A PID=()
RUNS=0
bash "$PG_SCRIPT" start "$WORK/pg" || { echo "PostgreSQL did not start" >&2; exit 1; }
for node in n1 n2; do
    mkdir -p "$WORK/$node/srv" "$WORK/$node/config/Kolvant"
    cp "$SERVER_BIN" "$WORK/$node/srv/paramserver"
    printf '[Common]\nSettingsSaved=true\n\n[Network]\nRpcPort=%s\nParamsPort=%s\nBindAddress=%s\n\n[Limits]\nMaxDevices=%s\n\n[Metrics]\nPort=%s\nHost=%s\n\n[Storage]\nBackend=postgresql\nConnection=%s\n\n[Cluster]\nNode=%s\n' \
        "$RPC_PORT" "$UDP_PORT" "${ADDR[$node]}" "$MAX_DEVICES" "$METRICS_PORT" "${ADDR[$node]}" "$CONN" "$node" \
        >"$WORK/$node/config/Kolvant/VemoParamsServer.conf"
done

start_node() {
    local node=$1
    RUNS=$((RUNS + 1))
    XDG_CONFIG_HOME="$WORK/$node/config" "$WORK/$node/srv/paramserver" -e \
        >"$WORK/$node-$RUNS.out" 2>"$WORK/$node-$RUNS.err" &
    PID[$node]=$!
    PIDS+=("${PID[$node]}")
}
# HTTP status of /active on a node: 200 active, 503 standby, 000 no answer.
active_status() {
    curl -s -o /dev/null -m 2 -w '%{http_code}' "http://${ADDR[$1]}:$METRICS_PORT/active" 2>/dev/null
}
wait_status() {
    local node=$1 want=$2 deadline=$(($(now_ms) + ${3:-180000}))
    while [ "$(active_status "$node")" != "$want" ]; do
        [ "$(now_ms)" -lt "$deadline" ] || { log "$node: /active never answered $want"; return 1; }
        sleep 0.1
    done
}
# The node answering 200 on /active, or nothing.
active_node() {
    local node
    for node in n1 n2; do
        [ "$(active_status "$node")" = 200 ] && { echo "$node"; return; }
    done
}
unsaved_records() {
    curl -s -m 5 "http://${ADDR[$1]}:$METRICS_PORT/metrics" 2>/dev/null |
        awk '/^paramserver_unsaved_records / {print $2 + 0}'
}
wait_saved() {
    local deadline=$(($(now_ms) + ${2:-120000}))
    until [ "$(unsaved_records "$1")" = 0 ]; do
        [ "$(now_ms)" -lt "$deadline" ] || { log "$1: records still unsaved"; return 1; }
        sleep 0.2
    done
}
other() { [ "$1" = n1 ] && echo n2 || echo n1; }
node_args() { echo --node "n1=${ADDR[n1]}:$UDP_PORT" --node "n2=${ADDR[n2]}:$UDP_PORT"; }
# Both nodes up: n1 active, n2 standby.
start_pair() {
    start_node n1
    wait_status n1 200 || exit 1
    start_node n2
    wait_status n2 503 || exit 1
    log "pair up: n1 active, n2 standby"
}
