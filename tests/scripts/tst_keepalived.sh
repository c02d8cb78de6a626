#!/usr/bin/env bash
# keepalived's own configuration check accepts the sample for a pair of nodes,
# with its interface name replaced by one of this machine (keepalived refuses
# an interface that does not exist). Without keepalived the test is skipped,
# unless the run must have it (VEMO_REQUIRE_KEEPALIVED=1, as in CI).
set -uo pipefail
sample=$1

keepalived=$(command -v keepalived || ls /usr/sbin/keepalived 2>/dev/null)
if [ -z "$keepalived" ]; then
    if [ "${VEMO_REQUIRE_KEEPALIVED:-0}" = 1 ]; then
        echo "FAIL: keepalived is not installed (scripts/setup.sh installs it)"
        exit 1
    fi
    echo "SKIP: keepalived is not installed"
    exit 77
fi

iface=$(ls /sys/class/net | grep -v '^lo$' | head -n 1)
if [ -z "$iface" ]; then
    echo "SKIP: no network interface but the loopback"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s/\beth0\b/$iface/g" "$sample" >"$work/keepalived.conf"
chmod 0644 "$work/keepalived.conf"

# In a session of its own: keepalived signals its process group.
if ! out=$(setsid -w "$keepalived" -t -l -D -f "$work/keepalived.conf" 2>&1); then
    echo "FAIL: keepalived -t refused the sample:"
    echo "$out"
    exit 1
fi
# A warning is printed even when the check passes: there must be none.
if [ -n "$out" ]; then
    echo "FAIL: keepalived -t had remarks on the sample:"
    echo "$out"
    exit 1
fi

# And the check does catch a fault: a track script that names no vrrp_script.
sed 's/^\(        \)paramserver_active$/\1paramserver_missing/' "$work/keepalived.conf" \
    >"$work/broken.conf"
if out=$(setsid -w "$keepalived" -t -l -D -f "$work/broken.conf" 2>&1) && [ -z "$out" ]; then
    echo "FAIL: keepalived -t accepted a track script that does not exist"
    exit 1
fi
echo "PASS: keepalived -t accepts docs/keepalived/keepalived.conf (interface $iface)"
