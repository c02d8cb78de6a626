#!/usr/bin/env bash
# Installs what the Windows build and its Wine tests need on Debian 12, when it
# is missing: a deb-src entry for Debian's archive (Qt and SQLite for Windows
# are built from Debian's own sources), the MinGW-w64 cross compilers with the
# posix thread model (std::mutex and std::thread, which Qt needs), the autotools
# that regenerate libsodium's build system, NSIS for the
# installer and Wine to run the programs and the installer.
set -euo pipefail

# shellcheck source=scripts/install-packages.sh
. "$(dirname "${BASH_SOURCE[0]}")/install-packages.sh"

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

updated=false
src_list=/etc/apt/sources.list.d/vemo-debian-src.sources
if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx 'Sources'; then
    "${sudo_cmd[@]}" tee "$src_list" >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    "${sudo_cmd[@]}" apt-get update -q
    updated=true
fi

packages=(dpkg-dev g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix nsis wine wine64
    make perl python3 tcl cmake xz-utils autoconf automake libtool pkg-config)
vemo_install_missing "$updated" "${packages[@]}"
