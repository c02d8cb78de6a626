# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (posix
# thread model: std::thread and std::mutex, which Qt needs) against a static
# Qt for Windows, e.g. the one scripts/build-qt-windows.sh builds:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH=<Qt for Windows prefix>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEMO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEMO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEMO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VEMO_MINGW_TRIPLET}-windres)

# Programs run on the build host (moc, uic, rcc of the Qt prefix); libraries,
# headers and packages come from the target's side only: MinGW-w64's own root
# and the Qt prefix given in CMAKE_PREFIX_PATH (which also holds the SQLite its
# driver links). Never the build host's Linux packages.
set(CMAKE_FIND_ROOT_PATH /usr/${VEMO_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable each: the C and C++ runtimes and winpthreads
# are linked in, so nothing but the system's own DLLs is needed beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# pkg-config (libsodium) looks only into the prefixes given, never into the
# build host's own .pc files.
set(VEMO_PKG_CONFIG_LIBDIR "")
foreach(prefix IN LISTS CMAKE_PREFIX_PATH)
    list(APPEND VEMO_PKG_CONFIG_LIBDIR "${prefix}/lib/pkgconfig")
endforeach()
string(REPLACE ";" ":" VEMO_PKG_CONFIG_LIBDIR "${VEMO_PKG_CONFIG_LIBDIR}")
set(ENV{PKG_CONFIG_LIBDIR} "${VEMO_PKG_CONFIG_LIBDIR}")
set(ENV{PKG_CONFIG_PATH} "")
