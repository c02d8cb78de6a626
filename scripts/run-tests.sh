#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs the whole test suite
# through ctest, with the generated systemd unit checked by systemd-analyze;
# builds the Windows programs and their installer (Qt and libsodium for Windows
# from Debian's sources, cached between runs) and installs and runs them as a
# service under Wine in a scratch prefix (tests/windows);
# builds and checks the Debian packages, and installs and removes them in a
# throwaway root (scripts/install-test.sh: this machine's own installation and
# its data are never touched);
# then builds again with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the suite once more; then replays the fuzz targets' seed corpus and
# fuzzes each target for a minute.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

export VEMO_CHECK_TOOLS=1
# The unit checks fail instead of skipping when systemd-analyze is missing.
export VEMO_REQUIRE_SYSTEMD_ANALYZE=1
# The keepalived sample's check fails instead of skipping when keepalived is missing.
export VEMO_REQUIRE_KEEPALIVED=1

# Every build here fails on a compiler warning.
werror=-DVEMO_WARNINGS_AS_ERRORS=ON

"$here/scripts/setup.sh" "$here/build" "$werror"
(cd "$here/build" && ctest --output-on-failure -j2)

VEMO_JOBS=2 "$here/scripts/build-windows.sh" "$here/build-win"
(cd "$here/build" &&
    VEMO_WINDOWS_BUILD="$here/build-win" VEMO_REQUIRE_WINE=1 \
    ctest --output-on-failure -R '^tst_wineservice$')

# The Debian packages: built, checked with lintian, installed, run and removed
# in a throwaway root.
# The suite has just run, so the package build skips it.
DEB_BUILD_OPTIONS=nocheck "$here/scripts/package.sh" --install-test

"$here/scripts/setup.sh" "$here/build-asan" "$werror" -DVEMO_SANITIZE=ON -DVEMO_BUILD_BENCH=OFF
# Leaks are reported too, but for the few that Qt's offscreen platform plugin
# keeps until the process ends.
(cd "$here/build-asan" &&
    ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
    LSAN_OPTIONS=suppressions="$here/tests/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j2)

"$here/scripts/run-fuzz.sh" 60
