#!/usr/bin/env bash
# A PostgreSQL 15 of the test suite's own (or the benchmark's), on a Unix socket
# only, with its data in a scratch folder.
#   postgres-server.sh start DIR    creates the cluster on first use, starts it
#   postgres-server.sh stop DIR     stops it (fast), keeps the data
#   postgres-server.sh destroy DIR  stops it and removes DIR
# Connect with "host=DIR user=vemo dbname=postgres". The server refuses to run
# as root, so under root it runs as the unprivileged user nobody.
set -euo pipefail

action=$1
dir=$(realpath -m "$2")
bin=/usr/lib/postgresql/15/bin
export LC_ALL=C

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u nobody -- "$@"
    else
        "$@"
    fi
}

case "$action" in
start)
    # Under root the server runs as nobody, who must reach the folder: a
    # checkout under /root (mode 700) is out of its reach. The cluster then
    # lives in a folder of its own under /tmp, and DIR is a link to it.
    if [ "$(id -u)" -eq 0 ] && [ ! -e "$dir" ]; then
        mkdir -p "$(dirname "$dir")"
        if ! runuser -u nobody -- test -x "$(dirname "$dir")" 2>/dev/null; then
            target=$(mktemp -d /tmp/vemo-pg.XXXXXX)
            chmod 755 "$target"
            ln -s "$target" "$dir"
            dir=$target
        fi
    fi
    if [ ! -f "$dir/data/PG_VERSION" ]; then
        mkdir -p "$dir/data"
        if [ "$(id -u)" -eq 0 ]; then
            chown nobody: "$dir" "$dir/data"
        fi
        as_owner "$bin/initdb" -D "$dir/data" -U vemo --auth=trust -E UTF8 >"$dir/initdb.log"
    fi
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -k $dir -c fsync=off -c max_connections=200" start >/dev/null
    ;;
stop)
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null
    fi
    ;;
destroy)
    "$0" stop "$dir"
    rm -rf "$dir"
    [ -L "$2" ] && rm -f "$2"
    ;;
*)
    echo "usage: $0 start|stop|destroy DIR" >&2
    exit 2
    ;;
esac
