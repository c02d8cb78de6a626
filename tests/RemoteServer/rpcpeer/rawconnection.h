#pragma once

#include "rpcpeer.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

// Connects a raw socket, one that speaks bytes (for malformed input), to server;
// id is set when the server took the connection.
inline void connectRaw(QTcpSocket& raw, RpcPeer& server, quint64* id, int waitMs = 20000)
{
    QSignalSpy connected(&server, &RpcPeer::clientConnected);
    raw.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(raw.waitForConnected(waitMs));
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, waitMs);
    *id = connected.at(0).at(0).toULongLong();
}
