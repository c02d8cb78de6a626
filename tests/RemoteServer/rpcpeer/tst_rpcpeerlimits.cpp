#include "clock.h"
#include "logcapture.h"
#include "logratelimiter.h"
#include "rawconnection.h"
#include "rpcbytes.h"
#include "rpcpeer.h"
#include "rpctypes.h"

#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace RpcBytes;

// The bounds an RpcPeer keeps against clients that misbehave: frame sizes before
// and after trust, unfinished frames, the number of clients and the output of all
// clients together.
namespace {

constexpr int Wait = 20000;

// A whole frame "ECHO" carrying one byte array of the given size.
QByteArray echoFrame(int payload)
{
    return frameOf(body("ECHO", 1,
                        be32(QMetaType::QByteArray) + QByteArray(1, '\0') +
                            be32(static_cast<quint32>(payload)) + QByteArray(payload, 'p')));
}

class Echoes : public QObject
{
    Q_OBJECT
public:
    QList<quint64> from;
    int bigs = 0;
public slots:
    void echo(quint64 client, QVariant) { from.append(client); }
    void big(QByteArray) { ++bigs; }
    void typed(quint64 client, QString) { from.append(client); }
};

// A frame "TYPED" with the given raw argument bytes.
QByteArray typedFrame(int count, const QByteArray& args)
{
    return frameOf(body("TYPED", count, args));
}

} // namespace

class TestRpcPeerLimits : public QObject
{
    Q_OBJECT

    void startServer(RpcPeer& server, Echoes& side, const RpcPeer::Limits& limits)
    {
        server.setLimits(limits);
        server.attachSlot("ECHO", &side, SLOT(echo(quint64, QVariant)));
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    }

    // Connects each raw socket in turn; their identifiers on the server, in that order.
    static QList<quint64> connectRaws(RpcPeer& server, const QList<QTcpSocket*>& sockets)
    {
        QList<quint64> ids;
        for (QTcpSocket* socket : sockets) {
            quint64 id = 0;
            connectRaw(*socket, server, &id);
            ids.append(id);
        }
        return ids;
    }

private slots:
    void initTestCase() { registerRpcTypes(); }
    void frameLimitByTrust_data();
    void frameLimitByTrust();
    void unfinishedFrameCloses();
    void clientLimitRefuses();
    void totalOutputShedsUntrustedFirst();
    void peerCausedLinesAreLimited_data();
    void peerCausedLinesAreLimited();
    void resetWhileWritingReadsNothing();
    void loginDeadline();
    void descriptorLimitPausesAccepting();
};

void TestRpcPeerLimits::frameLimitByTrust_data()
{
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<int>("payload");
    QTest::addColumn<bool>("delivered");
    // Limits: 1 KiB before trust, 1 MiB after; the body carries 22 bytes more.
    QTest::newRow("small, untrusted") << false << 900 << true;
    QTest::newRow("above 1 KiB, untrusted") << false << 1100 << false;
    QTest::newRow("100 KiB, trusted") << true << 100 * 1024 << true;
    QTest::newRow("above 1 MiB, trusted") << true << 1024 * 1024 << false;
}

void TestRpcPeerLimits::frameLimitByTrust()
{
    QFETCH(bool, trusted);
    QFETCH(int, payload);
    QFETCH(bool, delivered);
    RpcPeer::Limits limits;
    limits.maxFrameBody = 1024 * 1024;
    limits.maxUntrustedFrameBody = 1024;
    RpcPeer server;
    Echoes side;
    startServer(server, side, limits);
    QTcpSocket raw;
    quint64 id = 0;
    connectRaw(raw, server, &id);
    server.setClientTrusted(id, trusted);
    QCOMPARE(server.isClientTrusted(id), trusted);
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);

    raw.write(echoFrame(payload));
    if (delivered) {
        QTRY_COMPARE_WITH_TIMEOUT(side.from, QList<quint64>{id}, Wait);
        QVERIFY(disconnected.isEmpty());
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, Wait);
        QCOMPARE(disconnected.at(0).at(0).toULongLong(), id);
        QVERIFY(side.from.isEmpty());
    }
}

void TestRpcPeerLimits::unfinishedFrameCloses()
{
    RpcPeer::Limits limits;
    limits.partialFrameTimeoutMs = 200;
    RpcPeer server;
    Echoes side;
    startServer(server, side, limits);
    QTcpSocket stalled;
    QTcpSocket idle;
    const QList<quint64> ids = connectRaws(server, {&stalled, &idle});
    const quint64 stalledId = ids.value(0);
    const quint64 idleId = ids.value(1);
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);

    const QByteArray frame = echoFrame(100);
    stalled.write(frame.left(frame.size() - 1));
    idle.write(frame); // whole: nothing waits, so no time limit runs
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, Wait);
    QCOMPARE(disconnected.at(0).at(0).toULongLong(), stalledId);
    QCOMPARE(side.from, QList<quint64>{idleId});

    // The idle one, silent just as long, is still served.
    idle.write(frame);
    QTRY_COMPARE_WITH_TIMEOUT(side.from.size(), 2, Wait);
    QCOMPARE(server.clients(), QList<quint64>{idleId});
}

void TestRpcPeerLimits::clientLimitRefuses()
{
    RpcPeer::Limits limits;
    limits.maxClients = 2;
    RpcPeer server;
    Echoes side;
    startServer(server, side, limits);
    QTcpSocket first;
    QTcpSocket second;
    connectRaws(server, {&first, &second});

    QSignalSpy connected(&server, &RpcPeer::clientConnected);
    QTcpSocket third;
    third.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(third.state(), QAbstractSocket::UnconnectedState, Wait);
    QVERIFY(connected.isEmpty());
    QCOMPARE(server.clients().size(), 2);

    // Once one leaves, the next is taken.
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);
    first.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, Wait);
    QTcpSocket fourth;
    quint64 fourthId = 0;
    connectRaw(fourth, server, &fourthId);
    fourth.write(echoFrame(10));
    QTRY_COMPARE_WITH_TIMEOUT(side.from, QList<quint64>{fourthId}, Wait);
}

void TestRpcPeerLimits::totalOutputShedsUntrustedFirst()
{
    RpcPeer::Limits limits;
    limits.maxTotalPendingOutput = 1024 * 1024;
    RpcPeer server;
    Echoes side;
    startServer(server, side, limits);

    // A workstation that reads, and three that never do: one of them logged in.
    RpcPeer reader;
    Echoes readerSide;
    reader.attachSlot("BIG", &readerSide, SLOT(big(QByteArray)));
    quint64 readerId = 0;
    connectPeer(reader, server, &readerId, Wait);
    server.setClientTrusted(readerId, true);

    QTcpSocket stuck[3];
    quint64 ids[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        stuck[i].setReadBufferSize(1);
        connectRaw(stuck[i], server, &ids[i]);
    }
    server.setClientTrusted(ids[2], true);
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);
    QSignalSpy written(&server, &RpcPeer::outputWritten);

    const QByteArray payload(64 * 1024, 'b');
    const QList<quint64> all{readerId, ids[0], ids[1], ids[2]};
    int sent = 0;
    bool sawBacklog = false;
    while (disconnected.size() < 3 && sent < 3000) {
        server.call(all, "BIG", payload);
        ++sent;
        sawBacklog = sawBacklog || server.pendingOutput(ids[2]) > 0;
        QTRY_COMPARE_WITH_TIMEOUT(readerSide.bigs, sent, Wait);
    }
    QCOMPARE(disconnected.size(), 3);
    const QList<quint64> untrusted{ids[0], ids[1]};
    QVERIFY(untrusted.contains(disconnected.at(0).at(0).toULongLong()));
    QVERIFY(untrusted.contains(disconnected.at(1).at(0).toULongLong()));
    QCOMPARE(disconnected.at(2).at(0).toULongLong(), ids[2]);
    QVERIFY(sawBacklog);
    QCOMPARE(server.pendingOutput(ids[2]), qint64(-1));
    // The reader stays, and its output was reported as it went out.
    QCOMPARE(server.clients(), QList<quint64>{readerId});
    QVERIFY(!written.isEmpty());
    QVERIFY(server.totalPendingOutput() <= limits.maxTotalPendingOutput);
}

void TestRpcPeerLimits::peerCausedLinesAreLimited_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("line");
    const QByteArray anInt = QByteArray::fromHex("00000002 00 00000007");
    QTest::newRow("argument of another type") << typedFrame(1, anInt) << "does not fit";
    QTest::newRow("too many arguments") << typedFrame(2, anInt + anInt) << "do not fit";
    QTest::newRow("undecodable argument")
        << typedFrame(1, QByteArray::fromHex("00000fff 00")) << "cannot be decoded";
}

void TestRpcPeerLimits::peerCausedLinesAreLimited()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, line);
    RpcPeer server;
    Echoes side;
    startServer(server, side, RpcPeer::Limits());
    server.attachSlot("TYPED", &side, SLOT(typed(quint64, QString)));
    QTcpSocket raw;
    quint64 id = 0;
    connectRaw(raw, server, &id);
    LogCapture log;
    QByteArray many;
    for (int i = 0; i < 1000; ++i) {
        many += frame;
    }
    raw.write(many + echoFrame(1));
    QTRY_COMPARE_WITH_TIMEOUT(side.from, QList<quint64>{id}, Wait);
    QCOMPARE(log.count(line), LogRateLimiter::DefaultBurst);
    QCOMPARE(log.entries().size(), LogRateLimiter::DefaultBurst);
}

void TestRpcPeerLimits::resetWhileWritingReadsNothing()
{
    // A write that fails (the client reset the connection) makes Qt abort the
    // socket: the device is closed first, then disconnected() is emitted. The
    // server must not read the closed device then; here the abort is made by hand,
    // a thousand times.
    RpcPeer server;
    Echoes side;
    startServer(server, side, RpcPeer::Limits());
    LogCapture log;
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);
    for (int round = 0; round < 10; ++round) {
        QTcpSocket clients[100];
        for (QTcpSocket& client : clients) {
            quint64 id = 0;
            connectRaw(client, server, &id);
        }
        for (QTcpSocket* socket : server.findChildren<QTcpSocket*>()) {
            socket->abort();
        }
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 100 * (round + 1), Wait);
    }
    QVERIFY(server.clients().isEmpty());
    QCOMPARE(log.count("device not open"), 0);
}

void TestRpcPeerLimits::loginDeadline()
{
    // Measured from acceptance: a frame trickled in does not extend it, a login
    // (trust) lifts it.
    ManualClock clock;
    RpcPeer::Limits limits;
    limits.loginTimeoutMs = 60000;
    RpcPeer server;
    server.setClock(&clock);
    Echoes side;
    startServer(server, side, limits);
    QTcpSocket silent;
    QTcpSocket trickling;
    QTcpSocket trusted;
    const QList<quint64> ids = connectRaws(server, {&silent, &trickling, &trusted});
    server.setClientTrusted(ids[2], true);
    QSignalSpy disconnected(&server, &RpcPeer::clientDisconnected);
    LogCapture log;

    const QByteArray frame = echoFrame(10);
    for (int second = 0; second < 70; ++second) {
        if (second < frame.size()) {
            trickling.write(frame.mid(second, 1));
            QTRY_VERIFY_WITH_TIMEOUT(trickling.bytesToWrite() == 0, Wait);
        }
        clock.advanceMs(1000);
        server.closeLateLogins();
        QCOMPARE(server.clients().size(), second + 1 < 60 ? 3 : 1);
    }
    QCOMPARE(server.clients(), QList<quint64>{ids[2]});
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 2, Wait);
    QCOMPARE(log.count("not logged in within 60 s; connection closed"), 2);
}

void TestRpcPeerLimits::descriptorLimitPausesAccepting()
{
    // Once the server has met any passing accept failure, a later lack of
    // descriptors must still be seen: it is reported and accepting pauses.
    RpcPeer server;
    Echoes side;
    startServer(server, side, RpcPeer::Limits());
    QSignalSpy errors(&server, &RpcPeer::serverError);
    QTcpSocket first;
    quint64 id = 0;
    connectRaw(first, server, &id);

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 256;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    QList<int> fillers;
    for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0; fd = ::open("/dev/null", O_RDONLY)) {
        fillers.append(fd);
    }
    ::close(fillers.takeLast()); // room for the client's socket only
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), Wait);
    const QAbstractSocket::SocketError error =
        errors.at(0).at(0).value<QAbstractSocket::SocketError>();

    for (int fd : fillers) {
        ::close(fd);
    }
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    QCOMPARE(error, QAbstractSocket::SocketResourceError);
    // After the pause the waiting connection is taken.
    QTRY_COMPARE_WITH_TIMEOUT(server.clients().size(), 2, Wait);
}

QTEST_GUILESS_MAIN(TestRpcPeerLimits)
#include "tst_rpcpeerlimits.moc"
