// The server endpoint: bind-host rules, start and stop, deferred disconnection and
// forwarding to workstations.
#include "logcapture.h"
#include "rpccodec.h"
#include "rpctestsupport.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QtTest>

class TestRpcTransport : public QObject
{
    Q_OBJECT
private slots:
    void startWithBindAddress_data();
    void startWithBindAddress();
    void forwardBeforeStartAndAfterStop();
    void forwardReachesListedClientsSilently();
    void pendingDisconnectsDedupe();
    void selfDisconnectLeavesQueue();
    void stopClearsConnections();
    void loginDeadlineClosesSilentConnections();
    void deniedRequestsAreLimited();
};

void TestRpcTransport::startWithBindAddress_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("listens");
    QTest::newRow("loopback") << QByteArray("127.0.0.1\n") << true;
    QTest::newRow("not an address") << QByteArray("no-such-host") << false;
}

void TestRpcTransport::startWithBindAddress()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, listens);
    TestBackend backend;
    RpcController rpc(&backend, backend.accountStore());
    rpc.setBindAddress(resolveBindAddress({"paramserver"}, QString::fromLatin1(file), 0));
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(listens ? "^Сервер администрирования запущен на "
                                                      "127\\.0\\.0\\.1:\\d+$"
                                                    : "^ОШИБКА ЗАПУСКА сервера администрирования "
                                                      "на no-such-host:0$"));
    rpc.start();
    QCOMPARE(rpc.serverPort() != 0, listens);
    QVERIFY(rpc.isRunning()); // the peer stays until stop() either way
    if (listens) {
        TestClient client(rpc.serverPort());
        QVERIFY(waitUntil([&] { return rpc.authManager()->connectedClients().size() == 1; }));
    }
    rpc.stop();
    QVERIFY(!rpc.isRunning());
    QCOMPARE(rpc.serverPort(), quint16(0));
}

void TestRpcTransport::forwardBeforeStartAndAfterStop()
{
    enterScratchDir();
    TestBackend backend;
    RpcController rpc(&backend, backend.accountStore());
    const auto forward = [&] {
        return QMetaObject::invokeMethod(
            &rpc, "rpcForwardMany", Q_ARG(QList<quint64>, (QList<quint64>{1, 2})),
            Q_ARG(QString, "RPC_NEW_PARAMSSTATE"), Q_ARG(QVariant, QVariant(17u)));
    };
    QVERIFY(forward());
    rpc.rpcForwardOne(1, "RPC_SYS_LOG_MESSAGE", "line");
    QCOMPARE(rpc.getClients(), QList<quint64>());
    rpc.start();
    rpc.stop();
    rpc.stop(); // twice: nothing
    QVERIFY(forward());
    QVERIFY(!rpc.isRunning());
}

void TestRpcTransport::forwardReachesListedClientsSilently()
{
    TestServer server;
    quint64 a = 0, b = 0;
    auto first = server.connectClient(&a);
    auto second = server.connectClient(&b);
    QCOMPARE(server.rpc.getClients(), (QList<quint64>{a, b}));

    {
        LogCapture log;
        QMetaObject::invokeMethod(&server.rpc, "rpcForwardMany", Q_ARG(QList<quint64>, {b}),
                                  Q_ARG(QString, "RPC_NEW_PARAMSSTATE"),
                                  Q_ARG(QVariant, QVariant(17u)));
        QMetaObject::invokeMethod(&server.rpc, "rpcForwardMany", Q_ARG(QList<quint64>, {}),
                                  Q_ARG(QString, "RPC_NEW_PARAMSSTATE"),
                                  Q_ARG(QVariant, QVariant(1u)));
        server.rpc.rpcForwardOne(a, "RPC_SYS_LOG_MESSAGE", QString("строка"));
        QCOMPARE(log.texts(), QStringList()); // the forwarding path never logs
    }

    QVERIFY(second->waitFor("RPC_NEW_PARAMSSTATE"));
    QCOMPARE(second->last("RPC_NEW_PARAMSSTATE"), QVariantList{17u});
    QVERIFY(first->waitFor("RPC_SYS_LOG_MESSAGE"));
    QCOMPARE(first->last("RPC_SYS_LOG_MESSAGE"), QVariantList{QString("строка")});
    QCOMPARE(first->count("RPC_NEW_PARAMSSTATE") + second->received.size(), 1);
}

void TestRpcTransport::pendingDisconnectsDedupe()
{
    TestServer server;
    quint64 a = 0, b = 0;
    auto first = server.connectClient(&a);
    auto second = server.connectClient(&b);
    int disconnections = 0;
    connect(&first->peer, &RpcPeer::disconnectedFromServer, this, [&] { ++disconnections; });
    server.rpc.disconnectClient(a);
    server.rpc.disconnectClient(a);
    server.rpc.disconnectClient(b);
    QCOMPARE(server.rpc.pendingDisconnections(), (QList<quint64>{a, b}));
    QVERIFY(first->waitDisconnected());
    QVERIFY(second->waitDisconnected());
    QVERIFY(waitUntil([&] { return server.rpc.authManager()->connectedClients().isEmpty(); }));
    QCOMPARE(server.rpc.pendingDisconnections(), QList<quint64>());
    QCOMPARE(disconnections, 1);
    auto third = server.connectClient(); // the server goes on
    QVERIFY(third->connected());
}

void TestRpcTransport::selfDisconnectLeavesQueue()
{
    TestServer server;
    quint64 a = 0;
    auto client = server.connectClient(&a);
    server.rpc.disconnectClient(a);
    server.rpc.disconnectClient(404);
    // The connection goes away by itself before the queue is worked off.
    QMetaObject::invokeMethod(&server.rpc, "rpcClientDisconnected", Q_ARG(quint64, a));
    QCOMPARE(server.rpc.pendingDisconnections(), QList<quint64>{404});
    QVERIFY(!server.rpc.authManager()->hasClient(a));

    // After stop() the queue is kept: there is no peer to work it off.
    server.rpc.stop();
    server.rpc.disconnectClient(405);
    QTest::qWait(20);
    QCOMPARE(server.rpc.pendingDisconnections(), (QList<quint64>{404, 405}));
}

void TestRpcTransport::stopClearsConnections()
{
    TestServer server;
    server.backend.addAccount("op", "pw", QByteArray("\x03"));
    auto client = server.connectClient();
    QCOMPARE(server.login(*client, "op", "bad"), QString("LOGIN_FAILED"));
    server.rpc.stop();
    QVERIFY(server.rpc.authManager()->connectedClients().isEmpty());
    QVERIFY(client->waitDisconnected());
    QCOMPARE(server.rpc.loginAttempts().failures(fromLoopback("op")), 1); // kept across stop and start
    server.rpc.start();
    auto again = server.connectClient();
    QCOMPARE(server.login(*again, "op", "pw"), QString("LOGIN_OK"));
}

void TestRpcTransport::loginDeadlineClosesSilentConnections()
{
    TestServer server;
    server.backend.addAccount("op", "pw", QByteArray("\x03"));
    auto operatorClient = server.connectClient();
    QCOMPARE(server.login(*operatorClient, "op", "pw"), QString("LOGIN_OK"));
    quint64 silentId = 0;
    auto silent = server.connectClient(&silentId);
    server.clock.advanceMs(61 * 1000); // past the login deadline
    QVERIFY(silent->waitDisconnected());
    QCOMPARE(server.rpc.getClients().size(), 1);
    QVERIFY(operatorClient->connected());
}

void TestRpcTransport::deniedRequestsAreLimited()
{
    // A thousand connections, each asking for the accounts without logging in:
    // each is closed, and the log gets the limiter's share of lines.
    TestServer server;
    LogCapture log;
    const QByteArray frame = RpcCodec::encodeFrame("RPC_GET_CLIENTS_FROM_DB", {});
    for (int round = 0; round < 10; ++round) {
        QTcpSocket clients[100];
        for (QTcpSocket& client : clients) {
            client.connectToHost(QHostAddress::LocalHost, server.port());
            client.write(frame);
        }
        for (QTcpSocket& client : clients) {
            QVERIFY(waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
        }
    }
    QCOMPARE(log.count("Неодостаточно прав"), 10);
}

QTEST_GUILESS_MAIN(TestRpcTransport)
#include "tst_rpctransport.moc"
