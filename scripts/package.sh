#!/usr/bin/env bash
# Builds the Debian packages (installing the tools when they are missing), checks
# them with lintian, and leaves them in build-deb/:
#   vemo-paramserver (paramserver as a systemd service, and paramctl),
#   vemo-paramconfig (the settings dialog), vemo-uoosim (the device emulator).
#
#   scripts/package.sh                  build and check
#   scripts/package.sh --install-test   then install them here, run the installed
#                                       programs, remove and purge them again
#
# DEB_BUILD_OPTIONS is passed on (nocheck skips the test suite inside the package
# build; scripts/run-tests.sh runs it anyway).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$here/build-deb"
install_test=false
[ "${1:-}" = "--install-test" ] && install_test=true

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

"$here/scripts/setup.sh" --packaging

# dpkg-buildpackage writes its results beside the source tree: build in a copy
# under build-deb/, so that neither the working tree nor its parent directory
# gets them. (A fixed path lets a compiler cache help the next build.)
rm -rf "$out"
work="$out/work"
mkdir -p "$work/src"
tar -C "$here" --exclude='./build*' --exclude='./.git' --exclude='./obj-*' -cf - . |
    tar -C "$work/src" -xf -
(cd "$work/src" && dpkg-buildpackage -b -us -uc)
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
rm -rf "$work"
ls -l "$out"

# Errors fail the build; warnings and notes are shown.
lintian --fail-on error --info "$out"/*.changes

if ! $install_test; then
    exit 0
fi

echo "== install test"
export DEBIAN_FRONTEND=noninteractive
unit=/lib/systemd/system/VEMO_UOO_Params_Server_service.service
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "$out"/*.deb
/usr/bin/paramserver -v
/usr/bin/paramctl --help >/dev/null
/usr/bin/uoosim --help >/dev/null
test -f "$unit"
# Enabled the Debian way, also where systemd is not running.
test -L /etc/systemd/system/multi-user.target.wants/VEMO_UOO_Params_Server_service.service
# The packaged unit is what the installed program writes with -i.
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
"${sudo_cmd[@]}" mkdir -p /var/lib/vemo-paramserver
"${sudo_cmd[@]}" touch /var/lib/vemo-paramserver/params_upd.db
"${sudo_cmd[@]}" apt-get remove -y -q vemo-paramserver vemo-paramconfig vemo-uoosim
test ! -e /usr/bin/paramserver
test -f /var/lib/vemo-paramserver/params_upd.db
# (dpkg: packages without configuration files are gone already, apt would not find them)
"${sudo_cmd[@]}" dpkg --purge vemo-paramserver vemo-paramconfig vemo-uoosim
test ! -e /var/lib/vemo-paramserver
test ! -e /etc/systemd/system/multi-user.target.wants/VEMO_UOO_Params_Server_service.service
echo "== install test passed"
