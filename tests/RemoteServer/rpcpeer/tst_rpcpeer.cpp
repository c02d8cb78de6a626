#include "logcapture.h"
#include "rawconnection.h"
#include "rpcbytes.h"
#include "rpccodec.h"
#include "rpccomparators.h"
#include "rpcpeer.h"
#include "rpctypes.h"

#include <QDataStream>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <memory>

using namespace RpcBytes;

namespace {

constexpr int Wait = 20000;

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray intArg(int value)
{
    return be32(QMetaType::Int) + QByteArray(1, '\0') + be32(static_cast<quint32>(value));
}

} // namespace

// The server's side of the test: slots that record what reached them.
class ServerSide : public QObject
{
    Q_OBJECT
public:
    struct Call
    {
        quint64 client;
        QString slot;
        QVariantList args;
    };
    QList<Call> calls;

    int count(const QString& slot) const
    {
        int n = 0;
        for (const Call& call : calls) {
            n += call.slot == slot ? 1 : 0;
        }
        return n;
    }

public slots:
    void echo(quint64 client, QVariant value) { calls.append({client, "echo", {value}}); }
    void login(quint64 client, VemoRpcCredentials credentials)
    {
        calls.append({client, "login", {QVariant::fromValue(credentials)}});
    }
    void operation(quint64 client, QString op, VemoRpcClient data, QString p3 = QString())
    {
        calls.append({client, "operation", {op, QVariant::fromValue(data), p3}});
    }
    void number(quint64 client, int n) { calls.append({client, "number", {n}}); }
    void list(quint64 client, QList<uchar> codes)
    {
        calls.append({client, "list", {QVariant::fromValue(codes)}});
    }
    void none(quint64 client) { calls.append({client, "none", {}}); }
};

// The workstation's side: reply slots without a client identifier.
class ClientSide : public QObject
{
    Q_OBJECT
public:
    QVariantList echoes;
    QList<int> numbers;
    QStringList logs;
    int bigs = 0;
    QString loginText;
    QList<quint8> loginCodes;

public slots:
    void echo(QVariant value) { echoes.append(value); }
    void number(int n) { numbers.append(n); }
    void log(QString line) { logs.append(line); }
    void big(QByteArray) { ++bigs; }
    void loginResult(QString text, QList<uchar> codes)
    {
        loginText = text;
        loginCodes = codes;
    }
};

// Slots that pull the ground from under the peer while it delivers.
class Wrecker : public QObject
{
    Q_OBJECT
public:
    RpcPeer* peer = nullptr;
    QObject* victim = nullptr;
    int calls = 0;

public slots:
    void deletePeer(quint64)
    {
        ++calls;
        delete peer;
        peer = nullptr;
    }
    void kickSender(quint64 client)
    {
        ++calls;
        peer->disconnectClient(client);
    }
    void deleteVictim(quint64, int)
    {
        ++calls;
        delete victim;
        victim = nullptr;
    }
};

class TestRpcPeer : public QObject
{
    Q_OBJECT

private:
    // A listening server on loopback with the test slots attached.
    void startServer(RpcPeer& server, ServerSide& side)
    {
        server.attachSlot("ECHO", &side, SLOT(echo(quint64, QVariant)));
        server.attachSlot("LOGIN", &side, SLOT(login(quint64, VemoRpcCredentials)));
        server.attachSlot("OP", &side, SLOT(operation(quint64, QString, VemoRpcClient, QString)));
        server.attachSlot("NUMBER", &side, SLOT(number(quint64, int)));
        server.attachSlot("LIST", &side, SLOT(list(quint64, QList<uchar>)));
        server.attachSlot("NONE", &side, SLOT(none(quint64)));
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QVERIFY(server.serverPort() != 0);
    }

    // As startServer, then connects a raw socket to it; returns its identifier.
    quint64 startServerWithRaw(RpcPeer& server, ServerSide& side, QTcpSocket& raw)
    {
        quint64 id = 0;
        startServer(server, side);
        if (!QTest::currentTestFailed()) {
            connectRaw(raw, server, &id);
        }
        return id;
    }

    // As startServer, then connects a client peer to it.
    void startServerWithClient(RpcPeer& server, ServerSide& side, RpcPeer& client,
                               ClientSide* clientSide = nullptr)
    {
        startServer(server, side);
        if (!QTest::currentTestFailed()) {
            connectClient(client, server, clientSide);
        }
    }

    void connectClient(RpcPeer& client, RpcPeer& server, ClientSide* side = nullptr)
    {
        if (side) {
            client.attachSlot("ECHO", side, SLOT(echo(QVariant)));
            client.attachSlot("NUMBER", side, SLOT(number(int)));
            client.attachSlot("LOG", side, SLOT(log(QString)));
            client.attachSlot("BIG", side, SLOT(big(QByteArray)));
            client.attachSlot("LOGIN_RESULT", side, SLOT(loginResult(QString, QList<uchar>)));
        }
        connectPeer(client, server, nullptr, Wait);
    }

private slots:
    void initTestCase() { registerRpcComparators(); }

    void roundTrip_data();
    void roundTrip();
    void typedSlotsAndReplies();
    void trailingDefaultArgument();
    void wrongArgumentsAreDropped();
    void protocolErrorsClose_data();
    void protocolErrorsClose();
    void hostileArgumentsAreDropped_data();
    void hostileArgumentsAreDropped();
    void closeAfterBytes_data();
    void closeAfterBytes();
    void clientIdsNeverReused();
    void disconnectClientFromEventLoop();
    void callToListSkipsUnknownIds();
    void arrivalOrder();
    void destroyedReceiverIsForgotten();
    void connectionRefused();
    void outputCapClosesSlowReader();
    void unsendableArgumentWarnsLater();
    void slotMayDeleteThePeer();
    void slotMayDisconnectTheSender();
    void slotMayDeleteAnotherReceiver();
};

void TestRpcPeer::roundTrip_data()
{
    QTest::addColumn<QVariant>("value");

    VemoRpcClient client;
    client.permissions = {3, 6};
    client.login = "ab";
    client.fullname = "Петров";
    client.writesleft = 7;
    client.lastwrite = 1700000000u;
    UooDescriptor descriptor;
    descriptor.device = "dev";
    descriptor.uoo = 12345;
    descriptor.status = UooDescriptor::StatusOnline;
    descriptor.ip = 0x7F000001;
    descriptor.port = 5000;
    descriptor.flagA = 1;
    descriptor.flagB = 1;
    UooRParamsDesc params;
    params.uoo = 12345;
    params.state = UooRParamsDesc::PAR_STATE_IDLE;
    params.localparams = QByteArray(70000, 'p');
    params.localtime = QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9));

    QTest::newRow("bool") << QVariant(true);
    QTest::newRow("int") << QVariant(-1);
    QTest::newRow("uint") << QVariant::fromValue(quint32(17));
    QTest::newRow("qlonglong") << QVariant::fromValue(qint64(-5000000000LL));
    QTest::newRow("qulonglong") << QVariant::fromValue(quint64(0x0102030405060708ULL));
    QTest::newRow("QString") << QVariant(QString("RPC_SYS_LOG_MESSAGE строка"));
    QTest::newRow("null QString") << QVariant(QString());
    QTest::newRow("QByteArray") << QVariant(QByteArray(100000, '\x5a'));
    QTest::newRow("QDateTime") << QVariant(QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9)));
    QTest::newRow("null QDateTime") << QVariant(QDateTime());
    QTest::newRow("QStringList") << QVariant(QStringList{"x", "y"});
    QTest::newRow("credentials") << QVariant::fromValue(VemoRpcCredentials{"adminvemo", "digest"});
    QTest::newRow("client") << QVariant::fromValue(client);
    QTest::newRow("client list") << QVariant::fromValue(QList<VemoRpcClient>{client, client});
    QTest::newRow("descriptor") << QVariant::fromValue(descriptor);
    QTest::newRow("descriptor list")
        << QVariant::fromValue(QList<UooDescriptor>{descriptor, UooDescriptor()});
    QTest::newRow("params") << QVariant::fromValue(params);
    QTest::newRow("account") << QVariant::fromValue(AccountInfo{"Name", 1, 2});
    QTest::newRow("permissions") << QVariant::fromValue(QList<quint8>{3, 6});
}

void TestRpcPeer::roundTrip()
{
    QFETCH(QVariant, value);
    RpcPeer server;
    ServerSide serverSide;
    RpcPeer client;
    ClientSide clientSide;
    startServerWithClient(server, serverSide, client, &clientSide);

    client.call("ECHO", value);
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.calls.size(), 1, Wait);
    const ServerSide::Call got = serverSide.calls.at(0);
    QCOMPARE(got.client, server.clients().at(0));
    QCOMPARE(got.args.at(0).userType(), value.userType());
    QCOMPARE(got.args.at(0), value);

    server.call(got.client, "ECHO", got.args.at(0));
    QTRY_COMPARE_WITH_TIMEOUT(clientSide.echoes.size(), 1, Wait);
    QCOMPARE(clientSide.echoes.at(0).userType(), value.userType());
    QCOMPARE(clientSide.echoes.at(0), value);
}

void TestRpcPeer::typedSlotsAndReplies()
{
    RpcPeer server;
    ServerSide serverSide;
    RpcPeer client;
    ClientSide clientSide;
    startServerWithClient(server, serverSide, client, &clientSide);

    client.call("LOGIN", QVariant::fromValue(VemoRpcCredentials{"adminvemo", "pw"}));
    client.call("NONE");
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.calls.size(), 2, Wait);
    QCOMPARE(serverSide.calls.at(0).slot, QString("login"));
    QCOMPARE(serverSide.calls.at(0).args.at(0).value<VemoRpcCredentials>().login,
             QString("adminvemo"));
    QCOMPARE(serverSide.calls.at(1).slot, QString("none"));

    // The reply the workstations expect: (QString, QList<uchar>).
    server.call(server.clients(), "LOGIN_RESULT", QString("LOGIN_OK"),
                QVariant::fromValue(QList<quint8>{3, 6}));
    QTRY_COMPARE_WITH_TIMEOUT(clientSide.loginText, QString("LOGIN_OK"), Wait);
    QCOMPARE(clientSide.loginCodes, (QList<quint8>{3, 6}));
}

void TestRpcPeer::trailingDefaultArgument()
{
    RpcPeer server;
    ServerSide serverSide;
    RpcPeer client;
    startServerWithClient(server, serverSide, client);

    VemoRpcClient account;
    account.login = "newuser";
    account.permissions = {3};
    client.call("OP", QString("RPC_DEL_CLIENT"), QVariant::fromValue(account));
    client.call("OP", QString("RPC_ADD_NEW_CLIENT"), QVariant::fromValue(account),
                QString("secret"));
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.calls.size(), 2, Wait);
    QCOMPARE(serverSide.calls.at(0).args.at(0).toString(), QString("RPC_DEL_CLIENT"));
    QCOMPARE(serverSide.calls.at(0).args.at(2).toString(), QString());
    QCOMPARE(serverSide.calls.at(1).args.at(0).toString(), QString("RPC_ADD_NEW_CLIENT"));
    QCOMPARE(serverSide.calls.at(1).args.at(1).value<VemoRpcClient>().login, QString("newuser"));
    QCOMPARE(serverSide.calls.at(1).args.at(2).toString(), QString("secret"));
}

void TestRpcPeer::wrongArgumentsAreDropped()
{
    RpcPeer server;
    ServerSide serverSide;
    RpcPeer client;
    startServerWithClient(server, serverSide, client);
    const quint64 id = server.clients().at(0);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("message LOGIN dropped: \\(QString\\) does not fit"));
    client.call("LOGIN", QString("not credentials"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("message OP dropped: \\(QString,QString\\)"));
    client.call("OP", QString("RPC_DEL_CLIENT"), QString("not a record"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("message OP dropped: 1 argument"));
    client.call("OP", QString("RPC_DEL_CLIENT"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("message NUMBER dropped: \\(uint\\)"));
    client.call("NUMBER", QVariant::fromValue(quint32(5))); // int expected, exactly
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("message NONE dropped: 1 argument"));
    client.call("NONE", 1);
    client.call("NOT_ATTACHED", 1, 2, 3); // ignored without a word
    client.call("NUMBER", 42);
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.calls.size(), 1, Wait);
    QCOMPARE(serverSide.calls.at(0).slot, QString("number"));
    QCOMPARE(serverSide.calls.at(0).args.at(0).toInt(), 42);
    QCOMPARE(server.clients(), QList<quint64>{id});
    QVERIFY(client.isConnectedToServer());
}

void TestRpcPeer::protocolErrorsClose_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("warning");

    QTest::newRow("garbage") << QByteArray("\x09\x00\x00\x00garbage!!", 13) << "malformed message";
    QTest::newRow("unreadable name") << frameOf(hex("00 00 00 40 00 41 00 42")) << "message name";
    QTest::newRow("odd name length") << frameOf(hex("00 00 00 01 00 00")) << "message name";
    QTest::newRow("no count") << frameOf(body("NUMBER", 0).chopped(1)) << "argument count";
    QTest::newRow("count 9") << frameOf(body("NUMBER", 9, intArg(1).repeated(9)))
                             << "argument count 9";
    QTest::newRow("4 GiB frame") << hex("ff ff ff ff 00 00 00 00") << "frame of 4294967295 bytes";
    QTest::newRow("just above the limit") << hex("01 00 00 01") << "frame of 16777217 bytes";
}

void TestRpcPeer::protocolErrorsClose()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, warning);

    RpcPeer server;
    ServerSide serverSide;
    QTcpSocket raw;
    const quint64 rawId = startServerWithRaw(server, serverSide, raw);
    RpcPeer good;
    connectClient(good, server);
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    // A valid message first: what came before the fault is still delivered.
    raw.write(frameOf(body("NUMBER", 1, intArg(7))) + bytes);
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, Wait);
    QCOMPARE(disconnected.at(0).at(0).toULongLong(), rawId);
    QTRY_COMPARE_WITH_TIMEOUT(raw.state(), QAbstractSocket::UnconnectedState, Wait);
    QCOMPARE(serverSide.count("number"), 1);
    QVERIFY(!server.clients().contains(rawId));

    // The other client is not affected.
    good.call("NUMBER", 8);
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.count("number"), 2, Wait);
    QVERIFY(good.isConnectedToServer());
}

void TestRpcPeer::hostileArgumentsAreDropped_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("lists");

    const QByteArray twoBillion = be32(2000000000u);
    // About thirty bytes each, counts of two billion inside.
    const QByteArray permissions =
        frameOf(body("LIST", 1, userHeader("QList<uchar>") + twoBillion + hex("03 06")));
    const QByteArray clients =
        frameOf(body("ECHO", 1, userHeader("QList<VemoRpcClient>") + twoBillion + hex("00 00")));
    QTest::newRow("huge counts are cheap") << permissions + clients << 1;

    const QByteArray level = hex("00 00 00 09 00 00 00 00 01");
    QByteArray args;
    args.reserve(level.size() * 1000000 + 9);
    for (int i = 0; i < 1000000; ++i) {
        args += level;
    }
    args += intArg(0);
    QTest::newRow("deep nesting") << frameOf(body("ECHO", 1, args)) << 0;
}

void TestRpcPeer::hostileArgumentsAreDropped()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, lists);
    RpcPeer server;
    ServerSide serverSide;
    QTcpSocket raw;
    const quint64 rawId = startServerWithRaw(server, serverSide, raw);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("message ECHO dropped"));
    raw.write(bytes + frameOf(body("NUMBER", 1, intArg(1))));
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.count("number"), 1, Wait);
    QCOMPARE(serverSide.count("list"), lists);
    if (lists > 0) {
        QCOMPARE(serverSide.calls.at(0).args.at(0).value<QList<quint8>>(), (QList<quint8>{3, 6}));
    }
    QCOMPARE(serverSide.count("echo"), 0);
    QCOMPARE(server.clients(), QList<quint64>{rawId});
}

void TestRpcPeer::closeAfterBytes_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<bool>("pause");
    QTest::addColumn<int>("delivered");
    // Half a frame, left to arrive before the close, is dropped with the connection.
    QTest::newRow("whole frame before close is delivered") << 2 << false << 1;
    QTest::newRow("close mid frame") << 1 << true << 0;
}

void TestRpcPeer::closeAfterBytes()
{
    QFETCH(int, sent);
    QFETCH(bool, pause);
    QFETCH(int, delivered);
    RpcPeer server;
    ServerSide serverSide;
    QTcpSocket raw;
    const quint64 rawId = startServerWithRaw(server, serverSide, raw);
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);

    // sent: halves of the frame written before the close.
    const QByteArray frame = frameOf(body("NUMBER", 1, intArg(3)));
    raw.write(frame.left(frame.size() * sent / 2));
    if (pause) {
        QVERIFY(raw.waitForBytesWritten(Wait));
        QTest::qWait(50);
    }
    raw.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, Wait);
    QCOMPARE(disconnected.at(0).at(0).toULongLong(), rawId);
    QCOMPARE(serverSide.count("number"), delivered);
    QCOMPARE(serverSide.calls.size(), delivered);
    QVERIFY(server.clients().isEmpty());
}

void TestRpcPeer::clientIdsNeverReused()
{
    QList<quint64> seen;
    for (int round = 0; round < 2; ++round) {
        // A fresh server each round: the counter belongs to the process.
        RpcPeer server;
        ServerSide serverSide;
        startServer(server, serverSide);
        for (int i = 0; i < 3; ++i) {
            RpcPeer client;
            connectClient(client, server);
            const quint64 id = server.clients().last();
            QVERIFY(!seen.contains(id));
            QVERIFY(seen.isEmpty() || id > seen.last());
            QVERIFY(id >= 1);
            seen.append(id);
            QSignalSpy gone(&server, &RpcPeer::clientDisconnected);
            client.disconnectFromServer();
            QTRY_COMPARE_WITH_TIMEOUT(gone.size(), 1, Wait);
        }
        QVERIFY(server.clients().isEmpty());
    }

    // Several at once are listed in ascending order.
    RpcPeer server;
    ServerSide serverSide;
    startServer(server, serverSide);
    RpcPeer a, b, c;
    connectClient(a, server);
    connectClient(b, server);
    connectClient(c, server);
    QList<quint64> sorted = server.clients();
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(server.clients(), sorted);
    QVERIFY(server.clients().first() > seen.last());
}

void TestRpcPeer::disconnectClientFromEventLoop()
{
    RpcPeer server;
    ServerSide serverSide;
    RpcPeer client;
    startServerWithClient(server, serverSide, client);
    RpcPeer other;
    connectClient(other, server);
    const quint64 id = server.clients().at(0);
    QSignalSpy serverSpy(&server, &RpcPeer::clientDisconnected);
    QSignalSpy clientSpy(&client, &RpcPeer::disconnectedFromServer);

    server.disconnectClient(id);
    server.disconnectClient(id); // twice is harmless
    server.disconnectClient(999999999);
    QCOMPARE(serverSpy.size(), 0); // not from inside the call
    QVERIFY(!server.clients().contains(id));
    QTRY_COMPARE_WITH_TIMEOUT(serverSpy.size(), 1, Wait);
    QCOMPARE(serverSpy.at(0).at(0).toULongLong(), id);
    QTRY_COMPARE_WITH_TIMEOUT(clientSpy.size(), 1, Wait);
    QVERIFY(!client.isConnectedToServer());
    QTest::qWait(100);
    QCOMPARE(serverSpy.size(), 1);

    server.disconnectAll();
    QVERIFY(server.clients().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(serverSpy.size(), 2, Wait);
    server.stopListening();
    QVERIFY(!server.isListening());
}

void TestRpcPeer::callToListSkipsUnknownIds()
{
    RpcPeer server;
    ServerSide serverSide;
    startServer(server, serverSide);
    RpcPeer a, b, c;
    ClientSide sa, sb, sc;
    connectClient(a, server, &sa);
    connectClient(b, server, &sb);
    connectClient(c, server, &sc);
    const QList<quint64> ids = server.clients();

    server.call(QList<quint64>{ids.at(0), 123456789, ids.at(2)}, "NUMBER", 5);
    server.call("NUMBER", 6); // everybody
    server.call(QList<quint64>(), "NUMBER", 7);
    QTRY_COMPARE_WITH_TIMEOUT(sa.numbers, (QList<int>{5, 6}), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(sc.numbers, (QList<int>{5, 6}), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(sb.numbers, QList<int>{6}, Wait);
}

void TestRpcPeer::arrivalOrder()
{
    RpcPeer server;
    ServerSide serverSide;
    RpcPeer client;
    startServerWithClient(server, serverSide, client);
    const int total = 2000;
    for (int i = 0; i < total; ++i) {
        client.call("NUMBER", i);
    }
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.calls.size(), total, Wait);
    for (int i = 0; i < total; ++i) {
        QCOMPARE(serverSide.calls.at(i).args.at(0).toInt(), i);
    }
}

void TestRpcPeer::destroyedReceiverIsForgotten()
{
    RpcPeer server;
    ServerSide serverSide;
    startServer(server, serverSide);
    auto* doomed = new ServerSide;
    QVERIFY(server.attachSlot("DOOMED", doomed, SLOT(number(quint64, int))));
    QVERIFY(!server.attachSlot("NOPE", doomed, SLOT(noSuchSlot(quint64))));
    delete doomed;

    RpcPeer client;
    connectClient(client, server);
    client.call("DOOMED", 1);
    client.call("NUMBER", 2);
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.calls.size(), 1, Wait);

    // Detached slots no longer receive.
    server.detachSlots(&serverSide);
    client.call("NUMBER", 3);
    client.call("ECHO", 3);
    QTest::qWait(200);
    QCOMPARE(serverSide.calls.size(), 1);
}

void TestRpcPeer::connectionRefused()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    RpcPeer client;
    QSignalSpy errors(&client, &RpcPeer::serverError);
    QSignalSpy connected(&client, &RpcPeer::connectedToServer);
    client.connectToServer("127.0.0.1", port);
    QVERIFY(!client.waitForConnected(Wait));
    QVERIFY(!client.isConnectedToServer());
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, Wait);
    QCOMPARE(errors.at(0).at(0).value<QAbstractSocket::SocketError>(),
             QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(connected.size(), 0);
    client.call("NUMBER", 1); // nowhere to go; nothing happens
}

namespace {

// Stands in for the program's log handler, which sends every line to every client
// of peer; *deepest is how deep inside itself it was ever entered.
std::function<void(const QString&)> forwardTo(RpcPeer* peer, int* deepest)
{
    auto depth = std::make_shared<int>(0);
    return [peer, deepest, depth](const QString& line) {
        ++*depth;
        *deepest = qMax(*deepest, *depth);
        peer->call(peer->clients(), "LOG", line);
        --*depth;
    };
}

} // namespace

void TestRpcPeer::outputCapClosesSlowReader()
{
    RpcPeer server;
    ServerSide serverSide;
    startServer(server, serverSide);
    const qint64 cap = 256 * 1024;
    server.setMaxPendingOutput(cap);

    RpcPeer reader;
    ClientSide readerSide;
    connectClient(reader, server, &readerSide);
    const quint64 readerId = server.clients().last();

    // Reads one byte, then nothing more.
    QTcpSocket slow;
    slow.setReadBufferSize(1);
    quint64 slowId = 0;
    connectRaw(slow, server, &slowId);
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);

    int deepestHandler = 0;
    QStringList handledLines;
    const QByteArray payload(64 * 1024, 'b');
    int sent = 0;
    {
        LogCapture log(forwardTo(&server, &deepestHandler));
        while (disconnected.isEmpty() && sent < 1000) {
            server.call(QList<quint64>{readerId, slowId}, "BIG", payload);
            ++sent;
            // The reader keeps up; the slow one never does.
            QTRY_COMPARE_WITH_TIMEOUT(readerSide.bigs, sent, Wait);
        }
        handledLines = log.texts();
    }

    QCOMPARE(disconnected.size(), 1);
    QCOMPARE(disconnected.at(0).at(0).toULongLong(), slowId);
    QVERIFY(sent < 1000);
    QCOMPARE(server.clients(), QList<quint64>{readerId});
    QCOMPARE(deepestHandler, 1); // nothing logged from inside call()
    QVERIFY(!handledLines.filter("unsent output above 262144 bytes").isEmpty());
    // The warning reached the client that is still there, and it keeps receiving.
    QTRY_VERIFY_WITH_TIMEOUT(!readerSide.logs.filter("unsent output").isEmpty(), Wait);
    server.call(server.clients(), "NUMBER", 9);
    QTRY_COMPARE_WITH_TIMEOUT(readerSide.numbers, QList<int>{9}, Wait);
}

void TestRpcPeer::unsendableArgumentWarnsLater()
{
    RpcPeer server;
    ServerSide serverSide;
    RpcPeer client;
    startServerWithClient(server, serverSide, client);

    int duringCall = -1;
    {
        LogCapture log;
        client.call("ECHO", QVariant(QVariantList{1}));
        duringCall = log.texts().size();
        QTRY_VERIFY_WITH_TIMEOUT(
            !log.texts().filter("ECHO has an argument that cannot be sent").isEmpty(), Wait);
    }
    QCOMPARE(duringCall, 0); // nothing logged from inside call()

    client.call("NUMBER", 1);
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.calls.size(), 1, Wait);
    QCOMPARE(serverSide.calls.at(0).slot, QString("number"));
}

void TestRpcPeer::slotMayDeleteThePeer()
{
    auto* server = new RpcPeer;
    ServerSide serverSide;
    QTcpSocket raw;
    startServerWithRaw(*server, serverSide, raw);
    Wrecker wrecker;
    wrecker.peer = server;
    server->attachSlot("KILL", &wrecker, SLOT(deletePeer(quint64)));

    // Three frames in one write: the first deletes the peer, the rest must not be
    // touched.
    raw.write(frameOf(body("KILL", 0)) + frameOf(body("KILL", 0)) +
              frameOf(body("NUMBER", 1, intArg(1))));
    QTRY_COMPARE_WITH_TIMEOUT(wrecker.calls, 1, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(raw.state(), QAbstractSocket::UnconnectedState, Wait);
    QTest::qWait(100);
    QCOMPARE(wrecker.calls, 1);
    QCOMPARE(serverSide.calls.size(), 0);
}

void TestRpcPeer::slotMayDisconnectTheSender()
{
    RpcPeer server;
    ServerSide serverSide;
    QTcpSocket raw;
    startServerWithRaw(server, serverSide, raw);
    Wrecker wrecker;
    wrecker.peer = &server;
    server.attachSlot("KICK", &wrecker, SLOT(kickSender(quint64)));
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);

    raw.write(frameOf(body("NUMBER", 1, intArg(1))) + frameOf(body("KICK", 0)) +
              frameOf(body("NUMBER", 1, intArg(2))));
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, Wait);
    QCOMPARE(wrecker.calls, 1);
    // What came after the kick is not delivered.
    QCOMPARE(serverSide.count("number"), 1);
    QCOMPARE(serverSide.calls.at(0).args.at(0).toInt(), 1);
}

void TestRpcPeer::slotMayDeleteAnotherReceiver()
{
    RpcPeer server;
    ServerSide serverSide;
    startServer(server, serverSide);
    Wrecker wrecker;
    auto* victim = new ServerSide;
    wrecker.victim = victim;
    server.attachSlot("X", &wrecker, SLOT(deleteVictim(quint64, int)));
    server.attachSlot("X", victim, SLOT(number(quint64, int)));
    server.attachSlot("X", &serverSide, SLOT(number(quint64, int)));
    RpcPeer client;
    connectClient(client, server);

    client.call("X", 5);
    client.call("X", 6);
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.count("number"), 2, Wait);
    QCOMPARE(wrecker.calls, 2);
}

QTEST_GUILESS_MAIN(TestRpcPeer)
#include "tst_rpcpeer.moc"
