// What the RPC server sends to workstations: places kept for replies that take a
// while, the device list built a slice at a time, the order in which a workstation
// sees it and the pushes, and the backlog that producers of bursts pace themselves by.

#include "devicelistframe.h"
#include "rpccodec.h"
#include "rpcconnection.h"
#include "rpctestsupport.h"

#include <QTcpSocket>
#include <QTest>

namespace {

UooDescriptor descriptor(quint32 uoo, const QString& device, quint32 status)
{
    UooDescriptor d;
    d.uoo = uoo;
    d.device = device;
    d.status = status;
    d.ip = 0x7F000001u + uoo;
    d.port = 40000 + uoo;
    d.version = 0x010203u;
    d.flagA = 1;
    d.flagB = 1;
    return d;
}

// A fleet of the given size, made up as it is read.
class FleetSnapshot : public UooDescriptorSnapshot
{
public:
    explicit FleetSnapshot(quint32 devices) : devices(devices) {}
    bool next(int budget, QList<UooDescriptor>* out) override
    {
        for (int i = 0; i < budget && read < devices; ++i) {
            ++read;
            out->append(descriptor(read, QString(), 0x80));
        }
        return read < devices;
    }
    void rewind() override { read = 0; }

private:
    quint32 devices;
    quint32 read = 0;
};

class FleetBackend : public TestBackend
{
public:
    std::unique_ptr<UooDescriptorSnapshot> openDescriptorSnapshot() override
    {
        return std::make_unique<FleetSnapshot>(1000000);
    }
};

QList<quint32> pushedCodes(const TestClient& client)
{
    QList<quint32> codes;
    for (const auto& item : client.received) {
        if (item.first == QLatin1String("RPC_NEW_PARAMSSTATE")) {
            codes << item.second.value(0).value<quint32>();
        }
    }
    return codes;
}

} // namespace

class TestRpcOutput : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void frameMatchesWholeList_data();
    void frameMatchesWholeList();
    void framesWaitBehindReservations_data();
    void framesWaitBehindReservations();
    void heldOutputCountsAgainstCap();
    void listKeepsItsPlaceAmongPushes();
    void pacingLeavesOutClientsThatStopReading();
    void millionDevicesBeforeLogin();
};

void TestRpcOutput::initTestCase()
{
    registerRpcTypes();
}

void TestRpcOutput::frameMatchesWholeList_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<QList<int>>("slices");
    QTest::newRow("empty") << 0 << QList<int>{};
    QTest::newRow("one") << 1 << QList<int>{1};
    QTest::newRow("one slice") << 5 << QList<int>{5};
    QTest::newRow("uneven slices") << 5 << QList<int>{2, 0, 3};
    QTest::newRow("one by one") << 4 << QList<int>{1, 1, 1, 1};
}

void TestRpcOutput::frameMatchesWholeList()
{
    QFETCH(int, devices);
    QFETCH(QList<int>, slices);
    QList<UooDescriptor> list;
    for (int i = 0; i < devices; ++i) {
        // Texts of every kind: none, empty, plain and beyond Latin-1.
        const QString texts[] = {QString(), QStringLiteral(""), QStringLiteral("UOO-%1").arg(i),
                                 QStringLiteral("Объект №%1").arg(i)};
        UooDescriptor d = descriptor(static_cast<quint32>(i * 7 + 1), texts[i % 4], 0x80u | i);
        d.extraText = texts[(i + 1) % 4];
        d.extraNumber = -i;
        d.extraShort = static_cast<qint16>(-3 * i);
        list << d;
    }
    const QString name = QStringLiteral("RPC_LOAD_UOOSTATE_RESULT");
    DeviceListFrame frame(name);
    int at = 0;
    for (int size : slices) {
        frame.append(list.mid(at, size));
        at += size;
    }
    QCOMPARE(frame.count(), static_cast<quint32>(devices));
    const QByteArray expected = RpcCodec::encodeFrame(name, {QVariant::fromValue(list)});
    QVERIFY(!expected.isEmpty());
    QByteArray built;
    for (const QByteArray& piece : frame.finish()) {
        built += piece;
    }
    QCOMPARE(built.toHex(), expected.toHex());
}

void TestRpcOutput::framesWaitBehindReservations_data()
{
    // Steps: "rN" reserves place N, "sN" sends push N, "fN" fulfils place N with
    // push 100 + N. Then the pushes the workstation receives, in order.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<quint32>>("expected");
    QTest::newRow("nothing held") << QStringList{"s1", "s2"} << QList<quint32>{1, 2};
    QTest::newRow("reply first") << QStringList{"s1", "r1", "s2", "s3", "f1"}
                                 << QList<quint32>{1, 101, 2, 3};
    QTest::newRow("two places, fulfilled in reverse")
        << QStringList{"r1", "s1", "r2", "s2", "f2", "s3", "f1", "s4"}
        << QList<quint32>{101, 1, 102, 2, 3, 4};
    QTest::newRow("place given up") << QStringList{"r1", "s1", "f0", "s2"} << QList<quint32>{1, 2};
}

void TestRpcOutput::framesWaitBehindReservations()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<quint32>, expected);
    RpcPeer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    quint64 id = 0;
    connect(&server, &RpcPeer::clientConnected, this, [&id](quint64 client) { id = client; });
    TestClient client(server.serverPort());
    QVERIFY(waitUntil([&] { return id != 0; }));

    const QString push = QStringLiteral("RPC_NEW_PARAMSSTATE");
    QMap<int, quint64> tickets;
    for (const QString& step : steps) {
        const int n = step.mid(1).toInt();
        if (step.startsWith('s')) {
            server.call(QList<quint64>{id}, push, QVariant(quint32(n)));
        } else if (step.startsWith('r')) {
            tickets[n] = server.reserveReply(id);
            QVERIFY(tickets[n] != 0);
        } else if (n == 0) {
            server.fulfilReply(id, tickets.first(), {});
        } else {
            // The reply in three pieces, cut inside its header and its body.
            const QByteArray frame = RpcCodec::encodeFrame(push, {QVariant(quint32(100 + n))});
            server.fulfilReply(id, tickets[n],
                               {frame.left(3), frame.mid(3, 9), frame.mid(12)});
        }
    }
    QVERIFY(waitUntil([&] { return pushedCodes(client).size() >= expected.size(); }));
    QCoreApplication::processEvents();
    QCOMPARE(pushedCodes(client), expected);
    QVERIFY(client.connected());
}

void TestRpcOutput::heldOutputCountsAgainstCap()
{
    RpcPeer server;
    server.setMaxPendingOutput(4096);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    quint64 id = 0;
    connect(&server, &RpcPeer::clientConnected, this, [&id](quint64 client) { id = client; });
    TestClient client(server.serverPort());
    QVERIFY(waitUntil([&] { return id != 0; }));

    const quint64 ticket = server.reserveReply(id);
    const QString line(1000, QLatin1Char('x')); // about 2 KB a frame
    server.call(id, QStringLiteral("RPC_SYS_LOG_MESSAGE"), line);
    QVERIFY(server.pendingOutput(id) > 2000);
    server.call(id, QStringLiteral("RPC_SYS_LOG_MESSAGE"), line);
    server.call(id, QStringLiteral("RPC_SYS_LOG_MESSAGE"), line);
    QVERIFY(client.waitDisconnected());
    server.fulfilReply(id, ticket, {RpcCodec::encodeFrame(QStringLiteral("X"), {})});
    QCOMPARE(client.count(QStringLiteral("RPC_SYS_LOG_MESSAGE")), 0);
}

void TestRpcOutput::listKeepsItsPlaceAmongPushes()
{
    TestBackend backend;
    enterScratchDir();
    ManualClock clock;
    RpcController rpc(&backend, backend.accountStore(), nullptr, &clock);
    rpc.start();
    for (quint32 uoo : {4u, 9u, 12u}) {
        backend.uoos.insert(uoo, descriptor(uoo, QStringLiteral("UOO"), 0x80));
    }
    const QList<UooDescriptor> atRequest = backend.uoos.values();
    // While the list is built, a device changes and its change is pushed.
    backend.during = [&] {
        backend.uoos[9].status = 0;
        rpc.rpcForwardMany(rpc.getClients(), QStringLiteral("RPC_NEW_PARAMSSTATE"),
                           QVariant(quint32(9)));
    };
    TestClient client(rpc.serverPort());
    QVERIFY(waitUntil([&] { return rpc.getClients().size() == 1; }));
    rpc.rpcForwardMany(rpc.getClients(), QStringLiteral("RPC_NEW_PARAMSSTATE"),
                       QVariant(quint32(1)));
    client.peer.call(QStringLiteral("RPC_LOAD_UOOSTATE_REQUEST"));
    QVERIFY(waitUntil([&] { return pushedCodes(client).size() == 2; }));

    QStringList order;
    for (const auto& item : client.received) {
        order << item.first;
    }
    QCOMPARE(order, (QStringList{"RPC_NEW_PARAMSSTATE", "RPC_LOAD_UOOSTATE_RESULT",
                                 "RPC_NEW_PARAMSSTATE"}));
    QCOMPARE(pushedCodes(client), (QList<quint32>{1, 9}));
    QCOMPARE(client.last(QStringLiteral("RPC_LOAD_UOOSTATE_RESULT"))
                 .value(0)
                 .value<QList<UooDescriptor>>(),
             atRequest);
}

void TestRpcOutput::pacingLeavesOutClientsThatStopReading()
{
    RpcPeer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QList<quint64> ids;
    connect(&server, &RpcPeer::clientConnected, this, [&ids](quint64 client) { ids << client; });
    TestClient reader(server.serverPort());
    QVERIFY(waitUntil([&] { return ids.size() == 1; }));
    // A workstation that reads nothing: its socket takes one byte, then stops.
    QTcpSocket stalled;
    stalled.setReadBufferSize(1);
    stalled.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(waitUntil([&] { return ids.size() == 2; }));
    const quint64 stalledId = ids[1];

    // Output held behind a reply in preparation is backlog of a client that reads.
    const QString line(1000, QLatin1Char('x'));
    const quint64 ticket = server.reserveReply(ids[0]);
    for (int i = 0; i < 50; ++i) {
        server.call(ids[0], QStringLiteral("RPC_SYS_LOG_MESSAGE"), line);
    }
    QVERIFY(server.pendingOutput(ids[0]) > 50 * 2000);
    QCOMPARE(server.pacingBacklog(), server.pendingOutput(ids[0]));
    server.fulfilReply(ids[0], ticket, {});

    // About 32 MB each: more than the system buffers of a loopback connection.
    const int frames = 16000;
    for (int i = 0; i < frames; ++i) {
        server.call(QStringLiteral("RPC_SYS_LOG_MESSAGE"), line);
    }

    QVERIFY(waitUntil(
        [&] { return reader.count(QStringLiteral("RPC_SYS_LOG_MESSAGE")) == frames + 50; }, 60000));
    QCOMPARE(server.pendingOutput(ids[0]), 0);
    // Once it has taken nothing for a while, the one that stopped reading no longer
    // holds producers up; its output stays queued against the cap.
    QVERIFY(waitUntil([&] { return server.pacingBacklog() == 0; }));
    QVERIFY(server.pendingOutput(stalledId) > RpcConnection::PaceFloor);
    QCOMPARE(stalled.state(), QAbstractSocket::ConnectedState);
}

void TestRpcOutput::millionDevicesBeforeLogin()
{
    // The whole list, about 36 MB, to a workstation that has not logged in: it is
    // produced as the workstation takes it, within the 4 MiB it may have waiting.
    FleetBackend backend;
    enterScratchDir();
    ManualClock clock;
    RpcController rpc(&backend, backend.accountStore(), nullptr, &clock);
    rpc.start();
    qint64 largest = 0;
    int writes = 0;
    connect(&rpc, &RpcController::clientOutputWritten, this,
            [&largest, &writes](quint64, qint64 pending) {
                largest = qMax(largest, pending);
                ++writes;
            });
    TestClient client(rpc.serverPort());
    client.peer.setMaxFrameBody(64 * 1024 * 1024);
    QVERIFY(waitUntil([&] { return rpc.getClients().size() == 1; }));
    client.peer.call(QStringLiteral("RPC_LOAD_UOOSTATE_REQUEST"));
    QVERIFY(waitUntil(
        [&] { return client.count(QStringLiteral("RPC_LOAD_UOOSTATE_RESULT")) == 1 || client.dropped; },
        120000));
    QVERIFY(!client.dropped);
    const QList<UooDescriptor> list = client.last(QStringLiteral("RPC_LOAD_UOOSTATE_RESULT"))
                                          .value(0)
                                          .value<QList<UooDescriptor>>();
    QCOMPARE(list.size(), 1000000);
    QCOMPARE(list.last().uoo, 1000000u);
    // A fast reader may take every piece as it is written: what is checked is
    // that writes were seen and none left more waiting than the bound.
    QVERIFY(writes > 0);
    QVERIFY(largest <= RpcController::MaxOutputBeforeLogin);
}

QTEST_GUILESS_MAIN(TestRpcOutput)
#include "tst_rpcoutput.moc"
