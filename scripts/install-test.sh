#!/usr/bin/env bash
# The install test of the Debian packages: installs them, runs the installed
# programs, removes and purges them again (the purge deletes
# /var/lib/vemo-paramserver).
#
# It never touches an installation it did not make. It runs in a throwaway
# root: an overlay of this machine's file system in a mount namespace of its
# own (unshare), entered with chroot; every change lands in a tmpfs that goes
# with the namespace, and no service of this machine is started or stopped
# (policy-rc.d refuses). Where no throwaway root can be made (not root and no
# sudo, no unshare, no overlayfs), it runs on the machine itself only if none of
# the packages is installed and /var/lib/vemo-paramserver does not exist, and
# refuses otherwise.
#
#   scripts/install-test.sh [DEB_DIR]        the test (DEB_DIR: build-deb/)
#   scripts/install-test.sh --throwaway-run COMMAND [ARGS...]
#                                            runs COMMAND as root in a
#                                            throwaway root (fails when none
#                                            can be made)
# VEMO_INSTALL_TEST_NO_THROWAWAY=1 acts as if no throwaway root could be made.
set -euo pipefail

self=$(readlink -f "${BASH_SOURCE[0]}")
here=$(cd "$(dirname "$self")/.." && pwd)
state=/var/lib/vemo-paramserver
packages=(vemo-paramserver vemo-paramconfig vemo-uoosim)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo -n)
fi

# The test itself, on whatever root it runs in.
install_test() {
    local debs=$1
    echo "== install test"
    export DEBIAN_FRONTEND=noninteractive
    local unit=/lib/systemd/system/VEMO_UOO_Params_Server_service.service
    "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "$debs"/*.deb
    /usr/bin/paramserver -v
    /usr/bin/paramctl --help >/dev/null
    /usr/bin/uoosim --help >/dev/null
    for page in paramserver paramctl uoosim paramconfig; do
        test -f "/usr/share/man/man1/$page.1.gz"
    done
    test -f "$unit"
    # Enabled the Debian way, also where systemd is not running.
    test -L /etc/systemd/system/multi-user.target.wants/VEMO_UOO_Params_Server_service.service
    # The packaged unit is what the installed program writes with -i.
    local units
    units=$(mktemp -d)
    QTSERVICE_SYSTEMD_UNIT_DIR="$units" QTSERVICE_SYSTEMCTL=true /usr/bin/paramserver -i
    cmp "$units/VEMO_UOO_Params_Server_service.service" "$unit"
    rm -rf "$units"
    grep -qx 'StateDirectory=vemo-paramserver' "$unit.d/state-directory.conf"
    if command -v systemd-analyze >/dev/null; then
        systemd-analyze verify "$unit"
    fi

    # Data as the service leaves it in its state directory: kept by a removal,
    # deleted by the purge.
    "${sudo_cmd[@]}" mkdir -p "$state"
    "${sudo_cmd[@]}" touch "$state/params_upd.db"
    "${sudo_cmd[@]}" apt-get remove -y -q "${packages[@]}"
    test ! -e /usr/bin/paramserver
    test -f "$state/params_upd.db"
    # (dpkg: packages without configuration files are gone already, apt would not find them)
    "${sudo_cmd[@]}" dpkg --purge "${packages[@]}"
    test ! -e "$state"
    test ! -e /etc/systemd/system/multi-user.target.wants/VEMO_UOO_Params_Server_service.service
    echo "== install test passed"
}

# The exit status that says "no throwaway root could be made".
NoThrowawayRoot=97

must() {
    if ! "$@"; then
        echo "install test: no throwaway root ($* failed)" >&2
        exit $NoThrowawayRoot
    fi
}

# In the new mount namespace (as root): builds the throwaway root under the
# scratch directory, copies the carrier directory (unless "-") to its
# /tmp/vemo-install-test and runs the command there.
in_namespace() {
    local scratch=$1 carrier=$2
    shift 2
    must mount --make-rprivate /
    must mount -t tmpfs -o mode=0700 vemo-install-test "$scratch"
    must mkdir "$scratch/root" "$scratch/upper" "$scratch/work"
    must mount -t overlay overlay \
        -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
    # Parts of the system on file systems of their own get overlays of their own.
    local dir
    for dir in usr etc var lib opt srv home root; do
        if [ -d "/$dir" ] && mountpoint -q "/$dir"; then
            must mkdir "$scratch/upper-$dir" "$scratch/work-$dir"
            must mount -t overlay overlay \
                -o "lowerdir=/$dir,upperdir=$scratch/upper-$dir,workdir=$scratch/work-$dir" \
                "$scratch/root/$dir"
        fi
    done
    must mount -t proc proc "$scratch/root/proc"
    must mount --rbind /dev "$scratch/root/dev"
    must mount -t tmpfs tmpfs "$scratch/root/tmp"
    # No service of this machine is started or stopped from in there.
    printf '#!/bin/sh\nexit 101\n' >"$scratch/root/usr/sbin/policy-rc.d"
    chmod 755 "$scratch/root/usr/sbin/policy-rc.d"
    if [ "$carrier" != - ]; then
        must cp -a "$carrier" "$scratch/root/tmp/vemo-install-test"
    fi
    exec chroot "$scratch/root" "$@"
}

# Runs a command as root in a throwaway root, with the carrier directory (or
# "-") as its /tmp/vemo-install-test. Returns the command's status, or
# NoThrowawayRoot (with the reason on standard error) when none can be made.
throwaway_run() {
    local carrier=$1
    shift
    if [ "${VEMO_INSTALL_TEST_NO_THROWAWAY:-0}" = 1 ]; then
        echo "install test: no throwaway root (VEMO_INSTALL_TEST_NO_THROWAWAY=1)" >&2
        return $NoThrowawayRoot
    fi
    if ! command -v unshare >/dev/null; then
        echo "install test: no throwaway root (unshare is missing)" >&2
        return $NoThrowawayRoot
    fi
    if [ ${#sudo_cmd[@]} -gt 0 ] && ! sudo -n true 2>/dev/null; then
        echo "install test: no throwaway root (needs root, or sudo without a password)" >&2
        return $NoThrowawayRoot
    fi
    local scratch status=0
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/vemo-install-test.XXXXXX")
    "${sudo_cmd[@]}" unshare --mount --fork -- bash "$self" --in-namespace "$scratch" \
        "$carrier" "$@" || status=$?
    rmdir "$scratch" 2>/dev/null || true
    return $status
}

case "${1:-}" in
--in-namespace)
    shift
    in_namespace "$@"
    ;;
--inside)
    sudo_cmd=()
    install_test "$2"
    exit 0
    ;;
--throwaway-run)
    shift
    status=0
    throwaway_run - "$@" || status=$?
    exit $status
    ;;
esac

debs=$(readlink -f "${1:-$here/build-deb}")

status=0
carrier=$(mktemp -d "${TMPDIR:-/tmp}/vemo-install-test-src.XXXXXX")
trap 'rm -rf "$carrier"' EXIT
if compgen -G "$debs/*.deb" >/dev/null; then
    mkdir "$carrier/debs"
    cp "$debs"/*.deb "$carrier/debs/"
fi
cp "$self" "$carrier/install-test.sh"
throwaway_run "$carrier" bash /tmp/vemo-install-test/install-test.sh --inside \
    /tmp/vemo-install-test/debs || status=$?
if [ $status -ne $NoThrowawayRoot ]; then
    exit $status
fi

# No throwaway root: on this machine, only where there is nothing to lose.
found=()
for p in "${packages[@]}"; do
    s=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    if [ -n "$s" ] && [ "$s" != not-installed ]; then
        found+=("$p ($s)")
    fi
done
if [ -e "$state" ]; then
    found+=("$state")
fi
if [ ${#found[@]} -gt 0 ]; then
    echo "install test REFUSED: no throwaway root could be made, and this machine has" \
        "${found[*]}; the test would remove the packages and purge $state with a" \
        "station's records, action log and accounts. Run it as root where unshare and" \
        "overlayfs work, or on a build machine." >&2
    exit 2
fi
echo "install test: no throwaway root; nothing of the packages is installed here," \
    "so it runs on this machine"
install_test "$debs"
