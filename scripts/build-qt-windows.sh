#!/usr/bin/env bash
# Builds static Qt 5 for 64-bit Windows (x86_64-w64-mingw32, posix thread model)
# from Debian's own qtbase source, with the SQLite driver over SQLite built from
# Debian's sqlite3 source, and installs it into a cache outside the checkout:
#   ${VEMO_QT_WIN_CACHE:-/var/cache/vemo-qt-win}/<qtbase version>-<sqlite3 version>
# A complete cache entry is reused as it is. An entry without all the modules
# below (e.g. from before the settings dialog was built for Windows) is
# extended: the build continues in its build folder when that is still there
# with the same configuration, and starts over otherwise.
# Prints the prefix on its last line of output (stdout).
#   VEMO_QT_WIN_JOBS  parallel jobs (default: the number of processors)
#   VEMO_QT_WIN_NICE  niceness of the build (default 5)
set -euo pipefail

cache=${VEMO_QT_WIN_CACHE:-/var/cache/vemo-qt-win}
jobs=${VEMO_QT_WIN_JOBS:-$(nproc)}
niceness=${VEMO_QT_WIN_NICE:-5}
triplet=x86_64-w64-mingw32

source_version() {
    apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -V | tail -n 1
}
qt_version=$(source_version qtbase-opensource-src)
sqlite_version=$(source_version sqlite3)
if [ -z "$qt_version" ] || [ -z "$sqlite_version" ]; then
    echo "build-qt-windows: no deb-src entry for Debian's archive (scripts/install-windows-tools.sh adds one)" >&2
    exit 1
fi
key=$(printf '%s-%s' "$qt_version" "$sqlite_version" | tr ':~+' '__.')
prefix=$cache/$key
# What a complete entry holds; its marker names them.
wanted="modules core winmain network sql sqlite gui widgets windows-platform"
if [ -f "$prefix/.complete" ] && grep -qx "$wanted" "$prefix/.complete"; then
    echo "build-qt-windows: reusing $prefix" >&2
    echo "$prefix"
    exit 0
fi

work=$cache/build-$key
cross=$work/bin/$triplet-
sqlite_prefix=$prefix/sqlite3
configure_args=(-prefix "$prefix" -extprefix "$prefix" -hostprefix "$prefix"
    -xplatform win32-g++ -device-option CROSS_COMPILE="$cross"
    -opensource -confirm-license -static -static-runtime -release -optimize-size
    -nomake examples -nomake tests -no-compile-examples
    -no-opengl -no-dbus -no-icu -no-openssl -no-fontconfig -no-feature-vulkan
    -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz -no-libjpeg -no-gif
    -no-feature-concurrent -no-feature-tabletevent -no-feature-sql-odbc -no-feature-sql-psql
    -no-feature-sql-mysql -no-feature-sql-ibase -no-feature-sql-oci -no-feature-sql-db2
    -no-feature-sql-tds -no-feature-sql-sqlite2 -sql-sqlite -system-sqlite
    SQLITE_PREFIX="$sqlite_prefix")
started=$(date +%s)
if [ -f "$work/qtbase-build/config.status" ] && [ -f "$sqlite_prefix/lib/libsqlite3.a" ] &&
    [ "$(cat "$work/qtbase-build/config.opt")" = "$(printf '%s\n' "${configure_args[@]}")" ]; then
    # An interrupted or older build with the same configuration: make picks
    # up where it stopped.
    echo "build-qt-windows: continuing the build in $work" >&2
    cd "$work/qtbase-build"
else
mkdir -p "$cache"
rm -rf "$work" "$prefix"
mkdir -p "$work"
cd "$work"
apt-get source --download-only "qtbase-opensource-src=$qt_version" "sqlite3=$sqlite_version" >&2
dpkg-source -x qtbase-opensource-src_*.dsc qtbase >&2
dpkg-source -x sqlite3_*.dsc sqlite3 >&2

# The compilers with the posix thread model, under the names that Qt's
# win32-g++ mkspec builds from CROSS_COMPILE.
mkdir -p "$work/bin"
for tool in /usr/bin/$triplet-*; do
    ln -sf "$tool" "$work/bin/$(basename "$tool")"
done
for tool in gcc g++ cpp; do
    ln -sf "/usr/bin/$triplet-$tool-posix" "$work/bin/$triplet-$tool"
done

# SQLite: the amalgamation generated from Debian's source tree by its own
# build system on the host, then compiled for Windows with the options Debian's
# package uses that matter to a single-process server.
mkdir -p "$work/sqlite3-host" "$sqlite_prefix/include" "$sqlite_prefix/lib"
(cd "$work/sqlite3-host" && "$work/sqlite3/configure" >/dev/null && nice -n "$niceness" make sqlite3.c >/dev/null) >&2
sqlite_flags=(-O2 -DNDEBUG -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS3
    -DSQLITE_ENABLE_RTREE -DSQLITE_SECURE_DELETE -DSQLITE_ENABLE_UNLOCK_NOTIFY -DSQLITE_ENABLE_DBSTAT_VTAB
    -DSQLITE_OMIT_LOAD_EXTENSION)
nice -n "$niceness" "${cross}gcc" "${sqlite_flags[@]}" -c "$work/sqlite3-host/sqlite3.c" -o "$work/sqlite3.o"
"${cross}ar" rcs "$sqlite_prefix/lib/libsqlite3.a" "$work/sqlite3.o"
cp "$work/sqlite3-host/sqlite3.h" "$work/sqlite3-host/sqlite3ext.h" "$sqlite_prefix/include/"

mkdir -p "$work/qtbase-build"
cd "$work/qtbase-build"
"$work/qtbase/configure" "${configure_args[@]}" >&2
fi
# Only what the programs use: the host tools, Core, Network, Sql, Gui, Widgets,
# WinMain, the SQLite driver and the Windows and minimal platform plugins (not
# Xml, Test, PrintSupport, the other plugins). Debian's source leaves out the
# Wintab header of the Windows plugin's tablet support, hence no tablet events. Core, Network and Sql first: the service,
# paramctl and uoosim need nothing else.
build_plugins() {
    mkdir -p "src/plugins/$1"
    (cd "src/plugins/$1" &&
        "$work/qtbase-build/bin/qmake" -o Makefile "$work/qtbase/src/plugins/$1/$(basename "$1").pro" &&
        make qmake_all && nice -n "$niceness" make -j"$jobs" && make install) >&2
}
modules=(corelib winmain network sql gui platformsupport widgets)
# configure writes the top-level Makefile only; the one of src/ (with the
# per-module targets below) comes from qmake.
if [ ! -f src/Makefile ]; then
    mkdir -p src
    (cd src && "$work/qtbase-build/bin/qmake" -o Makefile "$work/qtbase/src/src.pro") >&2
fi
for module in corelib winmain network sql; do
    nice -n "$niceness" make -j"$jobs" -C src "sub-$module-make_first" >&2
done
build_plugins sqldrivers
for module in gui platformsupport widgets; do
    nice -n "$niceness" make -j"$jobs" -C src "sub-$module-make_first" >&2
done
build_plugins platforms/windows
build_plugins platforms/minimal
for module in moc rcc uic "${modules[@]}"; do
    make -C src "sub-$module-install_subtargets" >&2
done
make sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs >&2
cp "$sqlite_prefix/include/"*.h "$prefix/include/"
cp "$sqlite_prefix/lib/libsqlite3.a" "$prefix/lib/"
printf 'qtbase %s\nsqlite3 %s\n%s\nbuilt in %ss\n' "$qt_version" "$sqlite_version" "$wanted" \
    "$(( $(date +%s) - started ))" >"$prefix/.complete"
cd "$cache"
rm -rf "$work"
echo "build-qt-windows: built $prefix in $(( $(date +%s) - started ))s" >&2
echo "$prefix"
