#!/usr/bin/env bash
# Installs what the build needs on Debian 12 (when it is missing), then configures
# and builds the project into the given build directory.
#   scripts/setup.sh [BUILD_DIR] [extra cmake options...]
#   scripts/setup.sh --packaging    only installs what building the Debian
#                                   packages needs (see scripts/package.sh)
# VEMO_BUILD_TARGETS (space-separated) builds only those targets.
# With VEMO_CHECK_TOOLS=1 (set by run-tests.sh) it also installs what the test
# suite's extra checks use: systemd (systemd-analyze verifies the generated
# unit; no running systemd is needed), keepalived and curl (keepalived -t checks
# the sample configuration of a pair of nodes) and what the Windows build and its run
# under Wine need (scripts/install-windows-tools.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/install-packages.sh
. "$here/scripts/install-packages.sh"
packaging=false
if [ "${1:-}" = "--packaging" ]; then
    packaging=true
    shift
fi
build_dir=${1:-$here/build}
shift || true

# clang and its libFuzzer runtime build the fuzz targets (scripts/run-fuzz.sh).
# PostgreSQL: Qt's driver and libpq to build, the server for the tests' own
# database and bench/fleet --storage postgresql.
packages=(cmake make g++ pkg-config qtbase5-dev libqt5sql5-sqlite libsqlite3-dev libsystemd-dev
    clang libclang-rt-14-dev prometheus-cpp-dev libsodium-dev
    libqt5sql5-psql libpq-dev postgresql-15)
if [ "${VEMO_CHECK_TOOLS:-0}" = 1 ]; then
    # keepalived checks the sample configuration of a pair (keepalived -t);
    # curl is what its health check calls.
    packages+=(systemd keepalived curl)
    "$here/scripts/install-windows-tools.sh"
fi
if $packaging; then
    packages+=(dpkg-dev debhelper fakeroot lintian help2man)
fi

vemo_install_missing false "${packages[@]}"

if $packaging; then
    exit 0
fi

cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
if [ -n "${VEMO_BUILD_TARGETS:-}" ]; then
    # shellcheck disable=SC2086
    cmake --build "$build_dir" -j"$(nproc)" --target ${VEMO_BUILD_TARGETS}
else
    cmake --build "$build_dir" -j"$(nproc)"
fi
