// The offline sweep spread over turns of the event loop and paced by the
// workstations' backlog, and the descriptor snapshot read a slice at a time: the
// reports and the list stay what one pass over the fleet would give.

#include "offlinesweep.h"
#include "paramtestsupport.h"
#include "pushbacklog.h"
#include "uoodescriptorsnapshot.h"

#include <QRandomGenerator>

using namespace paramtest;

namespace {

const QList<quint32> Fleet{9, 3, 7, 1, 5};

class FakeBacklog : public PushBacklog
{
public:
    qint64 pushBacklog() const override { return bytes; }
    qint64 bytes = 0;
};

// Every signal of the server as "P<code>" (parameter record) or "D<code>"
// (descriptor), in the order emitted.
class SignalLog : public QObject
{
public:
    explicit SignalLog(VemoParamServer* server)
    {
        connect(server, &VemoParamServer::uooRpamsUpdated, this,
                [this](quint32 code) { events << QStringLiteral("P%1").arg(code); });
        connect(server, &VemoParamServer::uooDescUpdated, this,
                [this](quint32 code) { events << QStringLiteral("D%1").arg(code); });
    }
    QStringList events;
};

void sync(Harness& h, quint32 uoo, quint16 status = 0)
{
    // Straight to the handler: the replies go to a port nobody reads, and no turn
    // of the event loop passes.
    h.server->handleParamRequest(syncRequest(uoo, 10, 0x1234, QDateTime(), status),
                                 QHostAddress::LocalHost, 9);
}

// Runs the sweep's turns by hand until it is done (at most 100).
int finishSweep(Harness& h)
{
    int turns = 0;
    while (h.server->offlineSweep()->isRunning() && turns < 100) {
        QMetaObject::invokeMethod(h.server->offlineSweep(), "step", Qt::DirectConnection);
        ++turns;
    }
    return turns;
}

} // namespace

class TestOfflineSweep : public QObject
{
    Q_OBJECT
private slots:
    void reportsAcrossTurns_data();
    void reportsAcrossTurns();
    void waitsForBacklog();
    void sortsCodes();
    void snapshotKeepsOpeningState_data();
    void snapshotKeepsOpeningState();
};

void TestOfflineSweep::reportsAcrossTurns_data()
{
    // Devices 9, 3, 7, 1, 5, heard in this order, expire together; one of them
    // sends a SYNC after the given number of the sweep's turns. With 2 devices a
    // turn the sweep collects 9 and 3, then 7 and 1, then 5 and reports 1, then
    // reports 3 and 5, then 7 and 9.
    QTest::addColumn<int>("slice");
    QTest::addColumn<int>("turnsBefore");
    QTest::addColumn<quint32>("heard");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("one pass, then heard")
        << 100 << 1 << 7u
        << QStringList{"P1", "D1", "P3", "D3", "P5", "D5", "P7", "D7", "P9", "D9", "D7", "P7"};
    QTest::newRow("heard before collected")
        << 2 << 1 << 7u << QStringList{"D7", "P7", "P1", "D1", "P3", "D3", "P5", "D5", "P9", "D9"};
    QTest::newRow("heard after collected")
        << 2 << 1 << 9u << QStringList{"D9", "P9", "P1", "D1", "P3", "D3", "P5", "D5", "P7", "D7"};
    QTest::newRow("heard between reports")
        << 2 << 3 << 5u << QStringList{"P1", "D1", "D5", "P5", "P3", "D3", "P7", "D7", "P9", "D9"};
    QTest::newRow("heard after its report")
        << 2 << 4 << 5u
        << QStringList{"P1", "D1", "P3", "D3", "P5", "D5", "D5", "P5", "P7", "D7", "P9", "D9"};
    QTest::newRow("one device a turn")
        << 1 << 3 << 1u << QStringList{"D1", "P1", "P3", "D3", "P5", "D5", "P7", "D7", "P9", "D9"};
}

void TestOfflineSweep::reportsAcrossTurns()
{
    QFETCH(int, slice);
    QFETCH(int, turnsBefore);
    QFETCH(quint32, heard);
    QFETCH(QStringList, expected);
    Harness h;
    for (quint32 uoo : Fleet) {
        sync(h, uoo);
        h.clock.advanceMs(1);
    }
    h.server->offlineSweep()->setSliceDevices(slice);
    h.clock.advanceMs(301000);
    SignalLog log(h.server.get());

    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    for (int turn = 1; turn < turnsBefore; ++turn) {
        QMetaObject::invokeMethod(h.server->offlineSweep(), "step", Qt::DirectConnection);
    }
    sync(h, heard);
    QVERIFY(finishSweep(h) < 100);
    QCOMPARE(log.events, expected);

    // Every device is reported once and ends as the workstations were told.
    for (quint32 uoo : Fleet) {
        const bool online = log.events.lastIndexOf(QStringLiteral("D%1").arg(uoo)) ==
                                log.events.lastIndexOf(QStringLiteral("D%1").arg(heard)) &&
                            uoo == heard;
        QCOMPARE(h.server->uooParamsDesc(uoo).isOnline(), online);
        QCOMPARE((h.server->uooDescriptor(uoo).status & 0x80u) != 0, online);
    }
    // Nothing is left in the index for a later sweep but the device heard again.
    log.events.clear();
    h.clock.advanceMs(301000);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    finishSweep(h);
    QCOMPARE(log.events,
             (QStringList{QStringLiteral("P%1").arg(heard), QStringLiteral("D%1").arg(heard)}));
}

void TestOfflineSweep::waitsForBacklog()
{
    Harness h;
    for (quint32 uoo : Fleet) {
        sync(h, uoo);
    }
    FakeBacklog backlog;
    backlog.bytes = OfflineSweep::PaceBacklog + 1;
    h.server->setPushBacklog(&backlog);
    h.server->offlineSweep()->setSliceDevices(2);
    h.clock.advanceMs(301000);
    SignalLog log(h.server.get());

    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    for (int turn = 0; turn < 10; ++turn) {
        QMetaObject::invokeMethod(h.server->offlineSweep(), "step", Qt::DirectConnection);
    }
    QVERIFY(log.events.isEmpty());
    QVERIFY(h.server->offlineSweep()->isRunning());

    backlog.bytes = OfflineSweep::PaceBacklog;
    QMetaObject::invokeMethod(h.server->offlineSweep(), "step", Qt::DirectConnection);
    QCOMPARE(log.events, (QStringList{"P1", "D1", "P3", "D3"}));
    backlog.bytes = OfflineSweep::PaceBacklog * 64;
    QMetaObject::invokeMethod(h.server->offlineSweep(), "step", Qt::DirectConnection);
    QCOMPARE(log.events.size(), 4);
    backlog.bytes = 0;
    finishSweep(h);
    QCOMPARE(log.events, (QStringList{"P1", "D1", "P3", "D3", "P5", "D5", "P7", "D7", "P9", "D9"}));
    h.server->setPushBacklog(nullptr);
}

void TestOfflineSweep::sortsCodes()
{
    for (int size : {0, 1, 1000, 200000}) {
        std::vector<quint32> codes(static_cast<size_t>(size));
        for (quint32& code : codes) {
            code = QRandomGenerator::global()->generate();
        }
        if (size > 2) {
            codes[1] = 0xFFFFFFFFu;
            codes[2] = 0;
        }
        std::vector<quint32> expected = codes;
        std::sort(expected.begin(), expected.end());
        OfflineSweep::sortCodes(codes);
        QVERIFY2(codes == expected, qPrintable(QString::number(size)));
    }
}

void TestOfflineSweep::snapshotKeepsOpeningState_data()
{
    QTest::addColumn<int>("budget");
    QTest::newRow("one device a slice") << 1;
    QTest::newRow("two devices a slice") << 2;
    QTest::newRow("all at once") << 100;
}

void TestOfflineSweep::snapshotKeepsOpeningState()
{
    QFETCH(int, budget);
    Harness h;
    for (quint32 uoo : Fleet) {
        sync(h, uoo, 0x01);
    }
    h.server->offlineSweep()->setSliceDevices(100);
    const QList<UooDescriptor> atOpening = h.server->uooDescriptors();
    std::unique_ptr<UooDescriptorSnapshot> snapshot = h.server->openDescriptorSnapshot();

    QList<UooDescriptor> read;
    bool more = snapshot->next(budget, &read);
    // After the first slice: a new device, changed devices before and after the
    // cursor, then all but one device go offline, and a device changes twice.
    sync(h, 4, 0x02);
    sync(h, 1, 0x03);
    sync(h, 9, 0x04);
    h.clock.advanceMs(301000);
    sync(h, 7, 0x05);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    finishSweep(h);
    sync(h, 5, 0x06);
    sync(h, 2, 0x07);
    for (int slices = 0; more && slices < 100; ++slices) {
        more = snapshot->next(budget, &read);
    }
    QVERIFY(!more);
    QCOMPARE(read, atOpening);
    QVERIFY(!snapshot->next(budget, &read));
    QCOMPARE(read.size(), atOpening.size());
    // Read again after more changes: still the descriptors at the opening.
    sync(h, 1, 0x08);
    sync(h, 3, 0x09);
    snapshot->rewind();
    QList<UooDescriptor> again;
    for (int slices = 0; snapshot->next(budget, &again) && slices < 100; ++slices) {
    }
    QCOMPARE(again, atOpening);

    // A snapshot opened now sees the changes.
    std::unique_ptr<UooDescriptorSnapshot> later = h.server->openDescriptorSnapshot();
    QList<UooDescriptor> now;
    while (later->next(budget, &now)) {
    }
    QCOMPARE(now, h.server->uooDescriptors());
    QCOMPARE(now.size(), 7);
    // A snapshot that outlives its server ends quietly.
    std::unique_ptr<UooDescriptorSnapshot> orphan = h.server->openDescriptorSnapshot();
    h.server.reset();
    QList<UooDescriptor> none;
    QVERIFY(!orphan->next(budget, &none));
    QVERIFY(none.isEmpty());
}

QTEST_GUILESS_MAIN(TestOfflineSweep)
#include "tst_offlinesweep.moc"
