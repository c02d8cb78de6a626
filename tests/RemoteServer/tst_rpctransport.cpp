// The server endpoint: bind-host rules, start and stop, deferred disconnection and
// forwarding to workstations.
#include "rpctestsupport.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {
QStringList capturedMessages;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& text)
{
    capturedMessages << text;
}
} // namespace

class TestRpcTransport : public QObject
{
    Q_OBJECT
private slots:
    void bindHost_data();
    void bindHost();
    void startWithBindHostFile_data();
    void startWithBindHostFile();
    void forwardBeforeStartAndAfterStop();
    void forwardReachesListedClientsSilently();
    void pendingDisconnectsDedupe();
    void selfDisconnectLeavesQueue();
    void stopClearsConnections();
};

void TestRpcTransport::bindHost_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("file"); // null: no file
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");

    const QStringList none{"paramserver"};
    const QString any = QHostAddress(QHostAddress::Any).toString();
    QTest::newRow("nothing") << none << QByteArray() << true << any << 45432;
    QTest::newRow("empty file") << none << QByteArray("  \r\n") << true << any << 45432;
    QTest::newRow("file addr:port")
        << none << QByteArray("   192.0.2.5:5000\r\n") << true << "192.0.2.5" << 5000;
    QTest::newRow("file addr") << none << QByteArray("192.0.2.5") << true << "192.0.2.5" << 45432;
    QTest::newRow("colon, nothing")
        << none << QByteArray("192.0.2.5:") << true << "192.0.2.5" << 45432;
    QTest::newRow("colon, letters")
        << none << QByteArray("192.0.2.5:abc") << true << "192.0.2.5" << 45432;
    QTest::newRow("port 0") << none << QByteArray("192.0.2.5:0") << true << "192.0.2.5" << 45432;
    QTest::newRow("port too big") << none << QByteArray("192.0.2.5:70000") << true << "192.0.2.5"
                                  << 45432;
    QTest::newRow("extra parts") << none << QByteArray("192.0.2.5:5000:9") << true << "192.0.2.5"
                                 << 5000;
    QTest::newRow("argument") << QStringList{"paramserver", "198.51.100.1:7000"}
                              << QByteArray("192.0.2.5:5000") << true << "198.51.100.1" << 7000;
    QTest::newRow("ipv6 splits") << none << QByteArray("::1") << false << "" << 45432;
    QTest::newRow("host name") << none << QByteArray("localhost:5000") << false << "" << 5000;
    QTest::newRow("empty arg") << QStringList{"paramserver", ""} << QByteArray("192.0.2.5") << true
                               << any << 45432;
}

void TestRpcTransport::bindHost()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, file);
    QFETCH(bool, ok);
    QFETCH(QString, address);
    QFETCH(int, port);
    QTemporaryDir dir;
    const QString path = dir.filePath("bindhost.txt");
    if (!file.isNull()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(file);
    }
    QHostAddress gotAddress(QHostAddress::Any);
    quint16 gotPort = 45432;
    const QString text = RpcController::bindHostText(args, path);
    QCOMPARE(RpcController::applyBindHost(text, 45432, gotAddress, gotPort), ok);
    QCOMPARE(gotPort, quint16(port));
    if (ok) {
        QCOMPARE(gotAddress.toString(), address);
    }
}

void TestRpcTransport::startWithBindHostFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("listens");
    QTest::newRow("loopback") << QByteArray("127.0.0.1\n") << true;
    QTest::newRow("not an address") << QByteArray("no-such-host") << false;
}

void TestRpcTransport::startWithBindHostFile()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, listens);
    TestBackend backend;
    RpcController rpc(&backend);
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    QFile f("bindhost.txt");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(file);
    f.close();
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(listens ? "^Сервер администрирования запущен на "
                                                      "127\\.0\\.0\\.1:\\d+$"
                                                    : "^ОШИБКА ЗАПУСКА сервера администрирования "
                                                      "на no-such-host:0$"));
    rpc.start();
    QDir::setCurrent(previous);
    QCOMPARE(rpc.serverPort() != 0, listens);
    QVERIFY(rpc.isRunning()); // the peer stays until stop() either way
    if (listens) {
        TestClient client(rpc.serverPort());
        QVERIFY(
            waitUntil([&] { return backend.rpcAuthManager()->connectedClients().size() == 1; }));
    }
    rpc.stop();
    QVERIFY(!rpc.isRunning());
    QCOMPARE(rpc.serverPort(), quint16(0));
}

void TestRpcTransport::forwardBeforeStartAndAfterStop()
{
    enterScratchDir();
    TestBackend backend;
    RpcController rpc(&backend);
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

    capturedMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    QMetaObject::invokeMethod(&server.rpc, "rpcForwardMany", Q_ARG(QList<quint64>, {b}),
                              Q_ARG(QString, "RPC_NEW_PARAMSSTATE"),
                              Q_ARG(QVariant, QVariant(17u)));
    QMetaObject::invokeMethod(&server.rpc, "rpcForwardMany", Q_ARG(QList<quint64>, {}),
                              Q_ARG(QString, "RPC_NEW_PARAMSSTATE"), Q_ARG(QVariant, QVariant(1u)));
    server.rpc.rpcForwardOne(a, "RPC_SYS_LOG_MESSAGE", QString("строка"));
    qInstallMessageHandler(previous);
    QCOMPARE(capturedMessages, QStringList()); // the forwarding path never logs

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
    QVERIFY(
        waitUntil([&] { return server.backend.rpcAuthManager()->connectedClients().isEmpty(); }));
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
    QVERIFY(!server.backend.rpcAuthManager()->hasClient(a));

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
    QVERIFY(server.backend.rpcAuthManager()->connectedClients().isEmpty());
    QVERIFY(client->waitDisconnected());
    QCOMPARE(server.rpc.loginAttempts().failures(fromLoopback("op")), 1); // kept across stop and start
    server.rpc.start();
    auto again = server.connectClient();
    QCOMPARE(server.login(*again, "op", "pw"), QString("LOGIN_OK"));
}

QTEST_GUILESS_MAIN(TestRpcTransport)
#include "tst_rpctransport.moc"
