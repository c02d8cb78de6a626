#!/usr/bin/env bash
# Two keepalived daemons with the sample configuration, one in each of two
# network namespaces joined by a veth pair, as the two nodes of a pair: the
# virtual address is on the node whose check passes (its paramserver is the
# active one), follows the role when it moves, and is on no node while none is
# active; never on both. The check's curl is replaced by a test of a flag file,
# which stands for "/active answered 200" (the pair's tests check /active itself).
# Needs root, network namespaces and keepalived; skipped without them.
set -uo pipefail
sample=$1

keepalived=$(command -v keepalived || ls /usr/sbin/keepalived 2>/dev/null)
if [ -z "$keepalived" ] || [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
    echo "SKIP: needs root, ip and keepalived"
    exit 77
fi
ns=(vemo-ka$$-1 vemo-ka$$-2)
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done; done
    for n in "${ns[@]}"; do ip netns del "$n" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
if ! ip netns add "${ns[0]}" 2>/dev/null || ! ip netns add "${ns[1]}" ||
    ! ip link add vka1 netns "${ns[0]}" type veth peer name vka2 netns "${ns[1]}"; then
    echo "SKIP: network namespaces cannot be made here"
    exit 77
fi
for i in 1 2; do
    n=${ns[i - 1]}
    ip -n "$n" addr add "192.0.2.1$i/24" dev "vka$i"
    ip -n "$n" link set lo up
    ip -n "$n" link set "vka$i" up
    sed -e "s/\beth0\b/vka$i/g" -e "s/192\.0\.2\.11/192.0.2.9$i/; s/192\.0\.2\.12/192.0.2.1$((3 - i))/" \
        -e "s/192\.0\.2\.9$i/192.0.2.1$i/" \
        -e "s|\"/usr/bin/curl [^\"]*\"|\"/usr/bin/test -e $work/active$i\"|" \
        "$sample" >"$work/ka$i.conf"
    chmod 0644 "$work/ka$i.conf"
    if ! grep -q "test -e $work/active$i" "$work/ka$i.conf"; then
        echo "FAIL: the sample's check is not the curl this test replaces"
        exit 1
    fi
    # In a session of its own: keepalived signals its process group.
    setsid ip netns exec "$n" "$keepalived" -n -l -D -f "$work/ka$i.conf" -p "$work/k$i.pid" \
        -r "$work/v$i.pid" -c "$work/c$i.pid" >"$work/ka$i.log" 2>&1 &
    pids+=($!)
done

# 1 when node i holds the virtual address, else 0.
holds() { ip -n "${ns[$1 - 1]}" -4 addr show dev "vka$1" | grep -c ' 192\.0\.2\.10/'; }
# Waits (at most 60 s) until the address is where expected ("1 0": on node 1 only);
# fails at once if both nodes hold it.
expect() {
    local got
    for _ in $(seq 600); do
        got="$(holds 1) $(holds 2)"
        if [ "$got" = "1 1" ]; then
            echo "FAIL: both nodes hold the virtual address ($2)"
            exit 1
        fi
        [ "$got" = "$1" ] && return 0
        sleep 0.1
    done
    echo "FAIL: $2: the virtual address is at \"$got\", expected \"$1\""
    cat "$work"/ka*.log
    exit 1
}

touch "$work/active1"
expect "1 0" "node 1 active"
rm "$work/active1"
touch "$work/active2"
expect "0 1" "the role moved to node 2"
rm "$work/active2"
expect "0 0" "no node active"
touch "$work/active1"
expect "1 0" "node 1 active again"
echo "PASS: the virtual address follows the active node"
