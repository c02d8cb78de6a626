#!/bin/sh
# SYNC throughput: the same load generator (uoosim --load) first against a bare UDP
# echo server, then against the parameter server with every device in steady state.
#
#   bench/run_sync_bench.sh BUILD_DIR [DEVICES] [SECONDS] [WINDOW]
set -eu

BUILD=${1:?usage: run_sync_bench.sh BUILD_DIR [DEVICES] [SECONDS] [WINDOW]}
DEVICES=${2:-1000}
SECONDS_=${3:-5}
WINDOW=${4:-64}
UOOSIM="$BUILD/tools/uoosim/uoosim"
ECHO="$BUILD/bench/uooecho"
SERVER="$BUILD/bench/benchparamserver"
# The action log writes one row per upload during the set-up; memory-backed
# storage keeps that from dominating the set-up time.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    WORK=$(mktemp -d /dev/shm/syncbench.XXXXXX)
else
    WORK=$(mktemp -d)
fi
PIDS=""

cleanup() {
    for pid in $PIDS; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
PORT=""
trap cleanup EXIT INT TERM

# Starts "$@" in the background (in this shell, so that its pid is kept for the
# cleanup) and waits at most 30 s for its READY line; PORT is set from it.
start() {
    out="$WORK/$(basename "$1").out"
    "$@" >"$out" 2>"$WORK/$(basename "$1").err" &
    PIDS="$PIDS $!"
    tries=0
    while ! grep -q '^READY port=' "$out" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -le 300 ] || { echo "server $1 did not start" >&2; exit 1; }
        sleep 0.1
    done
    PORT=$(sed -n 's/^READY port=\([0-9]*\).*/\1/p' "$out" | head -n1)
}

# Stops the servers started so far.
stop_all() {
    for pid in $PIDS; do kill "$pid" 2>/dev/null || true; done
    for pid in $PIDS; do wait "$pid" 2>/dev/null || true; done
    PIDS=""
}

field() { echo "$1" | sed -n "s/.* $2=\([0-9.]*\).*/\1/p"; }

echo "devices=$DEVICES seconds=$SECONDS_ window=$WINDOW"

start "$ECHO" --port 0
echo_line=$("$UOOSIM" --load --echo --server "127.0.0.1:$PORT" --devices "$DEVICES" \
    --window "$WINDOW" --seconds "$SECONDS_" | grep '^LOAD_RESULT')
echo "echo:        $echo_line"
stop_all

mkdir -p "$WORK/db"
start "$SERVER" --port 0 --dir "$WORK/db"
server_out=$("$UOOSIM" --load --server "127.0.0.1:$PORT" --devices "$DEVICES" \
    --window "$WINDOW" --seconds "$SECONDS_")
echo "$server_out" | grep '^LOAD_READY' | sed 's/^/paramserver: /'
server_line=$(echo "$server_out" | grep '^LOAD_RESULT')
stop_all
echo "paramserver: $server_line"

e=$(field "$echo_line" per_second)
s=$(field "$server_line" per_second)
awk -v e="$e" -v s="$s" -v em="$(field "$echo_line" median_us)" \
    -v sm="$(field "$server_line" median_us)" -v ep="$(field "$echo_line" p99_us)" \
    -v sp="$(field "$server_line" p99_us)" 'BEGIN {
    printf "summary: echo %d rt/s (median %.1f us, p99 %.1f us); paramserver %d rt/s (median %.1f us, p99 %.1f us); ratio %.2f\n", e, em, ep, s, sm, sp, (e > 0 ? s / e : 0)
}'
