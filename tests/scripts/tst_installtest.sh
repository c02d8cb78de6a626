#!/usr/bin/env bash
# The package install test never touches a station's data: with the state
# directory present it purges only inside its throwaway root, and where it
# cannot make one it refuses. Needs root (skipped otherwise).
set -uo pipefail
script=$1
state=/var/lib/vemo-paramserver
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root"
    exit 77
fi

fail() {
    echo "FAIL: $*"
    exit 1
}

# A station's state directory: the real one as it is, or a marker made here.
made=false
if [ ! -e "$state" ]; then
    mkdir -p "$state" && echo station >"$state/marker" && made=true
    trap 'rm -rf "$state"' EXIT
fi
before=$(ls -la --time-style=full-iso "$state"; cat "$state/marker" 2>/dev/null)

# What the test does to the state directory, in the throwaway root.
if ! out=$("$script" --throwaway-run sh -c "test -d $state && rm -rf $state && test ! -e $state" 2>&1); then
    if echo "$out" | grep -q "no throwaway root"; then
        echo "SKIP: $out"
        exit 77
    fi
    fail "the purge in the throwaway root: $out"
fi
[ -d "$state" ] || fail "$state is gone"
[ "$(ls -la --time-style=full-iso "$state"; cat "$state/marker" 2>/dev/null)" = "$before" ] ||
    fail "$state changed"

# No throwaway root: a clear refusal before anything is installed or purged.
out=$(VEMO_INSTALL_TEST_NO_THROWAWAY=1 "$script" /nonexistent 2>&1)
status=$?
[ $status -eq 2 ] || fail "refusal status $status: $out"
echo "$out" | grep -q "install test REFUSED: .*$state" || fail "no refusal line: $out"
echo "$out" | grep -q "== install test" && fail "ran anyway: $out"
[ "$(ls -la --time-style=full-iso "$state"; cat "$state/marker" 2>/dev/null)" = "$before" ] ||
    fail "$state changed"
$made && echo "(marker state directory made and removed by the test)"
echo PASS
