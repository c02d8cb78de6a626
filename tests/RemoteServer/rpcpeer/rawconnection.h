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

// Connects a client peer to server and waits until the server has taken it; *id,
// when given, is its identifier on the server.
inline void connectPeer(RpcPeer& client, RpcPeer& server, quint64* id = nullptr, int waitMs = 20000)
{
    QSignalSpy connected(&server, &RpcPeer::clientConnected);
    client.connectToServer(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(client.waitForConnected(waitMs));
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, waitMs);
    if (id) {
        *id = connected.at(0).at(0).toULongLong();
    }
}
