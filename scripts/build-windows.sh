#!/usr/bin/env bash
# Builds the Windows programs (paramserver.exe, paramconfig.exe, paramctl.exe,
# uoosim.exe) with Debian's MinGW-w64 cross compiler against Qt and libsodium
# for Windows built from Debian's sources (scripts/build-qt-windows.sh,
# scripts/build-libsodium-windows.sh, both cached), then the NSIS installer
# with makensis:
#   scripts/build-windows.sh [BUILD_DIR]     (default: build-win)
# Leaves BUILD_DIR/vemo-paramserver-setup.exe and the programs in BUILD_DIR/bin.
# Warnings fail the build. Installs the tools it needs when they are missing.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$here/build-win}

"$here/scripts/install-windows-tools.sh"
qt_prefix=$("$here/scripts/build-qt-windows.sh" | tail -n 1)
sodium_prefix=$("$here/scripts/build-libsodium-windows.sh" | tail -n 1)

cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt_prefix;$sodium_prefix" \
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$build_dir/bin" \
    -DVEMO_BUILD_TESTS=OFF -DVEMO_BUILD_BENCH=OFF -DVEMO_BUILD_CONFIG=ON -DVEMO_WARNINGS_AS_ERRORS=ON \
    -DVEMO_WINDOWS_TEST_TOOLS=ON
cmake --build "$build_dir" -j"${VEMO_JOBS:-2}" --target paramserver paramconfig paramctl uoosim \
    dialogdriver

version=$(sed -n 's/^project(VemoParamServer VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
makensis -V2 -DPROGRAM_DIR="$build_dir/bin" -DOUTFILE="$build_dir/vemo-paramserver-setup.exe" \
    -DVERSION="$version" "$here/windows/paramserver.nsi"
echo "build-windows: $build_dir/vemo-paramserver-setup.exe"
