#!/usr/bin/env bash
# Builds the Debian packages (installing the tools when they are missing), checks
# them with lintian, and leaves them in build-deb/:
#   vemo-paramserver (paramserver as a systemd service, and paramctl),
#   vemo-paramconfig (the settings dialog), vemo-uoosim (the device emulator).
#
#   scripts/package.sh                  build and check
#   scripts/package.sh --install-test   then install them in a throwaway root
#                                       (scripts/install-test.sh), run the
#                                       installed programs, remove and purge them
#
# DEB_BUILD_OPTIONS is passed on (nocheck skips the test suite inside the package
# build; scripts/run-tests.sh runs it anyway).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$here/build-deb"
install_test=false
[ "${1:-}" = "--install-test" ] && install_test=true

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

# In a throwaway root: an installation of this machine is never touched.
"$here/scripts/install-test.sh" "$out"
