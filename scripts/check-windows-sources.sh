#!/usr/bin/env bash
# Compiles the Windows side of the service program syntax-only with Debian's
# MinGW-w64 cross compiler against the Qt headers installed here: the service
# manager binding and the framework over it as a Windows build selects them,
# and the program's own portable sources. Nothing is linked or run; see the
# README for what this shows and what it does not.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"

cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++}
if ! command -v "$cxx" >/dev/null; then
    echo "check-windows-sources: $cxx not found (package g++-mingw-w64-x86-64)" >&2
    exit 1
fi
qt=$(pkg-config --variable=includedir Qt5Core)

flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Wno-unused-parameter -Werror
    # Qt's Linux headers declare some friends twice for a DLL build: not ours.
    -Wno-attributes
    -DUNICODE -D_UNICODE -DQT_NO_FOREACH -DQT_DISABLE_DEPRECATED_BEFORE=0x050F00
    -I"$qt" -I"$qt/QtCore" -I"$qt/QtNetwork" -I"$qt/QtSql")
for dir in RemoteCommon RemoteCommon/pgstore RemoteServer RemoteServer/rpcpeer RemoteParams RemoteParams/metrics RemoteParams/qtservice \
    RemoteParams/vemoparamserver; do
    flags+=(-I"$dir")
done

sources=(
    RemoteParams/qtservice/winserviceplatform.cpp
    RemoteParams/qtservice/qtserviceplatform.cpp
    RemoteParams/qtservice/qtservice.cpp
    RemoteParams/qtservice/qtservicebaseprivate.cpp
    RemoteParams/qtservice/qtservicecommandline.cpp
    RemoteParams/qtservice/qtservicecontroller.cpp
    RemoteParams/qtservice/servicesysstate.cpp
    RemoteParams/qtservice/unavailableserviceplatform.cpp
    RemoteParams/consolesignalwatcher.cpp
    RemoteParams/accounttool.cpp
    RemoteParams/controller.cpp
    RemoteParams/loghandler.cpp
    RemoteParams/logwriter.cpp
    RemoteParams/vemoparamserver/datagramsocket.cpp
    RemoteParams/main.cpp
    RemoteParams/programentry.cpp
    RemoteParams/receiverservice.cpp
    RemoteCommon/bindaddress.cpp
    RemoteCommon/exceptionstableapp.cpp
    RemoteCommon/signalpipe.cpp
)
failed=0
for source in "${sources[@]}"; do
    if "$cxx" "${flags[@]}" "$source"; then
        echo "windows syntax ok: $source"
    else
        echo "windows syntax FAILED: $source" >&2
        failed=1
    fi
done
exit $failed
