#!/usr/bin/env bash
# Builds static libsodium for 64-bit Windows (x86_64-w64-mingw32) from Debian's
# own libsodium source, with Debian's patches, and installs it into the cache
# that also holds Qt for Windows:
#   ${VEMO_QT_WIN_CACHE:-/var/cache/vemo-qt-win}/libsodium-<version>
# A complete entry is reused as it is; only a missing one is built.
# Prints the prefix on its last line of output (stdout).
#   VEMO_QT_WIN_JOBS  parallel jobs (default: the number of processors)
#   VEMO_QT_WIN_NICE  niceness of the build (default 5)
set -euo pipefail

cache=${VEMO_QT_WIN_CACHE:-/var/cache/vemo-qt-win}
jobs=${VEMO_QT_WIN_JOBS:-$(nproc)}
niceness=${VEMO_QT_WIN_NICE:-5}
triplet=x86_64-w64-mingw32

version=$(apt-cache showsrc libsodium | sed -n 's/^Version: //p' | sort -V | tail -n 1)
if [ -z "$version" ]; then
    echo "build-libsodium-windows: no deb-src entry for Debian's archive (scripts/install-windows-tools.sh adds one)" >&2
    exit 1
fi
prefix=$cache/libsodium-$(printf '%s' "$version" | tr ':~+' '__.')
if [ -f "$prefix/.complete" ]; then
    echo "build-libsodium-windows: reusing $prefix" >&2
    echo "$prefix"
    exit 0
fi

started=$(date +%s)
work=$prefix-build
rm -rf "$work" "$prefix"
mkdir -p "$work"
cd "$work"
apt-get source --download-only "libsodium=$version" >&2
dpkg-source -x libsodium_*.dsc src >&2
# Debian's package regenerates the build system too (dh --with autoreconf).
(cd src && autoreconf -fi) >&2
mkdir build
cd build
# The posix thread model, as Qt and the programs use.
CC=$triplet-gcc-posix AR=$triplet-ar RANLIB=$triplet-ranlib \
    ../src/configure --host=$triplet --prefix="$prefix" --disable-shared --enable-static \
    --disable-dependency-tracking >&2
nice -n "$niceness" make -j"$jobs" >&2
make install >&2
# Its headers import the functions from a DLL unless told the library is static.
sed -i 's|^Cflags: .*|& -DSODIUM_STATIC|' "$prefix/lib/pkgconfig/libsodium.pc"
printf 'libsodium %s\nbuilt in %ss\n' "$version" "$(( $(date +%s) - started ))" >"$prefix/.complete"
cd "$cache"
rm -rf "$work"
echo "build-libsodium-windows: built $prefix in $(( $(date +%s) - started ))s" >&2
echo "$prefix"
