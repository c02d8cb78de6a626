// The per-device state machine, scheduling, the offline sweep and the handling of
// bad datagrams, over real loopback UDP.

#include "logratelimiter.h"
#include "paramtestsupport.h"

#include <QSignalSpy>
#include <QSqlQuery>

using namespace paramtest;

class TestVemoParamServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void firstSyncCreatesRecords();
    void uploadThousandBytes();
    void uploadRestartsAtOffsetZero();
    void uploadWrongChunkCrc();
    void uploadRepeatedChunks();
    void steadySync();
    void steadySyncAfterSweep();
    void syncInStateOne_data();
    void syncInStateOne();
    void syncInEveryState_data();
    void syncInEveryState();
    void downloadThousandBytes();
    void downloadChunking_data();
    void downloadChunking();
    void retryRule();
    void handlersByState_data();
    void handlersByState();
    void badDatagrams_data();
    void badDatagrams();
    void sweepBoundary_data();
    void sweepBoundary();
    void sweepSkipsLoadedRecords();
    void wallClockJumps_data();
    void wallClockJumps();
    void scheduleByState_data();
    void scheduleByState();
    void cancelDuringWaitUpd();
    void unknownCodes();
    void descriptorsInOrder();
    void stopStart();
    void recordsLeftAtProcessEnd();
    void readsFromSocket();
    void deviceLimit_data();
    void deviceLimit();
    void uploadMemoryBounded();
    void idleUploadGivenUp();
    void uploadGivenUpIsNotCompletedLater();
    void refusedChunksKeepUploadAlive();
    void deviceLinesRateLimited();
};

namespace {

int logRows(int message)
{
    QSqlDatabase db = QSqlDatabase::database(QStringLiteral("vemo_params"));
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM log WHERE message = :m"));
    query.bindValue(QStringLiteral(":m"), message);
    if (!query.exec() || !query.next()) {
        return -1;
    }
    return query.value(0).toInt();
}

} // namespace

void TestVemoParamServer::initTestCase()
{
    qRegisterMetaType<quint32>("quint32");
}

void TestVemoParamServer::firstSyncCreatesRecords()
{
    Harness h;
    QSignalSpy desc(h.server.get(), &VemoParamServer::uooDescUpdated);
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);
    const QDateTime stamp(QDate(2024, 3, 7), QTime(13, 5, 9));
    const QList<Reply> replies = h.exchange(syncRequest(17, 10, 0x1234, stamp, 0x15));

    QCOMPARE(replies.size(), 1);
    const Reply& reply = replies[0];
    QCOMPARE(reply.header.msgCode, quint32(PAR_PROTO_SYNC_REQUEST));
    QCOMPARE(reply.header.value, quint16(0));
    QCOMPARE(reply.raw.size(), 24 + 64);
    // Echoed versions and UOO; zero texts and time stamp; command 0, size and CRC 0.
    QCOMPARE(reply.payload.left(32), QByteArray(32, '\0'));
    QCOMPARE(reply.payload.mid(32, 16).toHex(),
             QByteArray::fromHex("01000000020000000300000011000000").toHex());
    QCOMPARE(reply.payload.mid(48, 16), QByteArray(16, '\0'));

    QCOMPARE(desc.size(), 1);
    QCOMPARE(desc[0][0].value<quint32>(), 17u);
    QCOMPARE(params.size(), 1);

    const UooRParamsDesc record = h.server->uooParamsDesc(17);
    QCOMPARE(record.uoo, 17u);
    QCOMPARE(record.state, 0);
    QCOMPARE(record.device, QStringLiteral("UOO-T"));
    QCOMPARE(record.pversion, QStringLiteral("1.2"));
    QVERIFY(record.isOnline());
    QCOMPARE(record.lastSeen, h.clock.currentDateTime());
    QCOMPARE(record.uootimetemp, stamp);
    QVERIFY(record.uootime.isNull());

    QVERIFY(h.server->hasUoo(17));
    const UooDescriptor d = h.server->uooDescriptor(17);
    QCOMPARE(d.uoo, 17u);
    QCOMPARE(d.device, QStringLiteral("UOO-T"));
    QCOMPARE(d.ip, 0x7F000001u);
    QCOMPARE(d.port, static_cast<quint32>(h.clientPort()));
    QCOMPARE(d.status, 0x95u);
    QCOMPARE(d.version, (2u << 16) | (1u << 8) | 3u);
    QCOMPARE(d.flagA, qint8(1));
    QCOMPARE(d.flagB, qint8(1));
}

void TestVemoParamServer::uploadThousandBytes()
{
    Harness h;
    const QByteArray set = patternSet(1000);
    const QDateTime stamp(QDate(2024, 3, 7), QTime(13, 5, 9));
    QCOMPARE(h.exchange(syncRequest(5, 1000, paramSetCrc(set), stamp)).size(), 1);
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);

    QList<Reply> first = h.exchange(chunkDatagram(5, set, 0));
    QCOMPARE(first.size(), 1);
    QCOMPARE(first[0].raw.size(), 24);
    QCOMPARE(first[0].header.msgCode, quint32(PAR_PROTO_RCV_ACK));
    QCOMPARE(first[0].header.value, paramCrc16(set.left(512)));
    QCOMPARE(h.server->uooParamsDesc(5).state, 0);
    QCOMPARE(params.size(), 0);

    QList<Reply> second = h.exchange(chunkDatagram(5, set, 512));
    QCOMPARE(second.size(), 1);
    QCOMPARE(second[0].header.value, paramCrc16(set.mid(512)));

    const UooRParamsDesc record = h.server->uooParamsDesc(5);
    QCOMPARE(record.state, 1);
    QCOMPARE(record.uooparams, set);
    QCOMPARE(record.uootime, stamp);
    QVERIFY(record.uootimetemp.isNull());
    QVERIFY(record.uploadBuffer.isEmpty());
    QCOMPARE(params.size(), 1);
    QTRY_COMPARE(logRows(1), 1);
}

void TestVemoParamServer::uploadRestartsAtOffsetZero()
{
    Harness h;
    const QByteArray stale = patternSet(1000, 2);
    const QByteArray set = patternSet(700, 3);
    h.exchange(syncRequestFor(5, set));
    h.exchange(chunkDatagram(5, stale, 0));
    QCOMPARE(h.server->uooParamsDesc(5).uploadBuffer.size(), 512);
    // A new upload from offset 0 discards what was collected.
    h.exchange(chunkDatagram(5, set, 0));
    h.exchange(chunkDatagram(5, set, 512));
    QCOMPARE(h.server->uooParamsDesc(5).uooparams, set);
}

void TestVemoParamServer::uploadWrongChunkCrc()
{
    Harness h;
    const QByteArray set = patternSet(1000);
    h.exchange(syncRequestFor(5, set));
    h.exchange(chunkDatagram(5, set, 0));

    ParamChunk bad = ParamChunk::fromSet(set, 512);
    bad.crc ^= 0x0101;
    LogCapture log;
    const QList<Reply> replies =
        h.exchange(ParamDatagramHeader::build(PAR_PROTO_SEND_REQUEST, bad.encode(), 0, 5));
    QCOMPARE(replies.size(), 0);
    QVERIFY(log.contains(QtWarningMsg, "[PARAM_SERV] Invalid data CRC in PAR_PROTO_SEND_REQUEST"));
    const UooRParamsDesc record = h.server->uooParamsDesc(5);
    QCOMPARE(record.state, 0);
    QCOMPARE(record.uploadBuffer, set.left(512));

    // The repeated chunk completes the upload.
    QCOMPARE(h.exchange(chunkDatagram(5, set, 512)).size(), 1);
    QCOMPARE(h.server->uooParamsDesc(5).uooparams, set);
}

void TestVemoParamServer::uploadRepeatedChunks()
{
    // Acknowledgements lost on the way: the device sends chunks again. Each is
    // acknowledged again, and the set is taken once.
    Harness h;
    const QByteArray set = patternSet(1300, 4);
    h.exchange(syncRequestFor(5, set));
    h.exchange(chunkDatagram(5, set, 0));
    h.exchange(chunkDatagram(5, set, 512));
    const QList<Reply> repeat = h.exchange(chunkDatagram(5, set, 512));
    QCOMPARE(repeat.size(), 1);
    QCOMPARE(repeat[0].header.msgCode, quint32(PAR_PROTO_RCV_ACK));
    QCOMPARE(repeat[0].header.value, paramCrc16(set.mid(512, 512)));
    QCOMPARE(h.server->uooParamsDesc(5).uploadBuffer, set.left(1024));

    h.exchange(chunkDatagram(5, set, 1024));
    QCOMPARE(h.server->uooParamsDesc(5).uooparams, set);
    QTRY_COMPARE(logRows(1), 1);

    // The last chunk again, after the upload completed.
    const QList<Reply> late = h.exchange(chunkDatagram(5, set, 1024));
    QCOMPARE(late.size(), 1);
    QCOMPARE(late[0].header.value, paramCrc16(set.mid(1024)));
    const UooRParamsDesc record = h.server->uooParamsDesc(5);
    QCOMPARE(record.uooparams, set);
    QCOMPARE(record.state, 1);
    QTRY_COMPARE(logRows(1), 1);
}

void TestVemoParamServer::steadySync()
{
    Harness h;
    const QByteArray set = patternSet(300);
    h.makeIdle(8, set);
    QSignalSpy desc(h.server.get(), &VemoParamServer::uooDescUpdated);
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);
    LogCapture log;
    const QList<Reply> replies = h.exchange(syncRequestFor(8, set));
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies[0].sync().command, 1u);
    QCOMPARE(replies[0].sync().paramsSize, 0u);
    QCOMPARE(replies[0].sync().paramsCrc, quint16(0));
    QCOMPARE(desc.size(), 1);
    QCOMPARE(params.size(), 0);
    QVERIFY2(log.texts().isEmpty(), qPrintable(log.texts().join('\n')));
}

void TestVemoParamServer::steadySyncAfterSweep()
{
    Harness h;
    const QByteArray set = patternSet(300);
    h.makeIdle(8, set);
    h.exchange(syncRequestFor(8, set));
    h.clock.advanceMs(301000);
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QCOMPARE(params.size(), 1);
    QVERIFY(!h.server->uooParamsDesc(8).isOnline());

    const QList<Reply> replies = h.exchange(syncRequestFor(8, set));
    QCOMPARE(replies[0].sync().command, 1u);
    QCOMPARE(params.size(), 2);
    QVERIFY(h.server->uooParamsDesc(8).isOnline());
    QCOMPARE(h.server->uooDescriptor(8).status & 0x80u, 0x80u);
}

void TestVemoParamServer::syncInStateOne_data()
{
    QTest::addColumn<int>("sizeDelta");
    QTest::addColumn<int>("crcXor");
    QTest::addColumn<int>("secondsLater");
    QTest::addColumn<bool>("scheduled");
    QTest::addColumn<int>("command");
    QTest::newRow("in step") << 0 << 0 << 0 << false << 1;
    QTest::newRow("older device stamp") << 0 << 0 << -60 << false << 1;
    QTest::newRow("other size") << 1 << 0 << 0 << false << 0;
    QTest::newRow("other crc") << 0 << 1 << 0 << false << 0;
    QTest::newRow("newer device stamp") << 0 << 0 << 1 << false << 0;
    QTest::newRow("new set waiting") << 0 << 0 << 0 << true << 3;
    QTest::newRow("new set waiting, other crc") << 0 << 1 << 0 << true << 0;
}

void TestVemoParamServer::syncInStateOne()
{
    QFETCH(int, sizeDelta);
    QFETCH(int, crcXor);
    QFETCH(int, secondsLater);
    QFETCH(bool, scheduled);
    QFETCH(int, command);
    Harness h;
    const QByteArray set = patternSet(600);
    const QByteArray newSet = patternSet(900, 4);
    const QDateTime stamp(QDate(2024, 2, 1), QTime(8, 0, 0));
    h.makeIdle(9, set, stamp);
    if (scheduled) {
        UooRParamsDesc request;
        request.localparams = newSet;
        QVERIFY(h.server->scheduleNewParams(9, request));
    }
    const QList<Reply> replies = h.exchange(
        syncRequest(9, static_cast<quint32>(set.size() + sizeDelta),
                    static_cast<quint16>(paramSetCrc(set) ^ crcXor), stamp.addSecs(secondsLater)));
    QCOMPARE(replies.size(), 1);
    const SyncBlock reply = replies[0].sync();
    QCOMPARE(static_cast<int>(reply.command), command);
    const UooRParamsDesc record = h.server->uooParamsDesc(9);
    if (command == 0) {
        QCOMPARE(record.state, 0);
        QVERIFY(record.uooparams.isEmpty());
        QVERIFY(record.uootime.isNull());
        QCOMPARE(record.uootimetemp, stamp.addSecs(secondsLater));
    } else {
        QCOMPARE(record.state, 1);
        QCOMPARE(record.uooparams, set);
    }
    if (command == 3) {
        QCOMPARE(reply.paramsSize, 900u);
        QCOMPARE(reply.paramsCrc, paramSetCrc(newSet));
    }
}

void TestVemoParamServer::syncInEveryState_data()
{
    // state: 0, 1, 2 (download running), 3 (all sent), 30 (state 3 without a new
    // set, from a stored row), 7 (unknown state, from a stored row).
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("reportNewSet");
    QTest::addColumn<int>("replies");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("stateAfter");
    QTest::addColumn<int>("writeLeftAfter");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("message");
    QTest::newRow("0") << 0 << false << 1 << 0 << 0 << 0 << 0 << QString();
    QTest::newRow("1") << 1 << false << 1 << 1 << 1 << 0 << 0 << QString();
    QTest::newRow("2") << 2 << false << 1 << 3 << 2 << 1 << 5
                       << QStringLiteral(
                              "[PARAM_SERV] Ошибка обновления параметров: DWLD_STATE, УОО  4");
    QTest::newRow("3 confirmed") << 3 << true << 1 << 1 << 1 << 0 << 4
                                 << QStringLiteral("[PARAM_SERV] обновление параметров прошло "
                                                   "успешно, УОО  4");
    QTest::newRow("3 not confirmed")
        << 3 << false << 1 << 3 << 2 << 1 << 5
        << QStringLiteral("[PARAM_SERV] Ошибка обновления параметров: WAIT_UPD state, УОО  4");
    QTest::newRow("3 without new set")
        << 30 << false << 0 << -1 << 0 << 0 << 0
        << QStringLiteral("[PARAM_SERV] Undefined behavior : state is PAR_STATE_WAIT_UPD but "
                          "localParams is Empty");
    QTest::newRow("unknown state")
        << 7 << false << 0 << -1 << 7 << 0 << 0
        << QStringLiteral("[PARAM_SERV] INVALID STATE in PAR_PROTO_SYNC_REQUEST");
}

void TestVemoParamServer::syncInEveryState()
{
    QFETCH(int, state);
    QFETCH(bool, reportNewSet);
    QFETCH(int, replies);
    QFETCH(int, command);
    QFETCH(int, stateAfter);
    QFETCH(int, writeLeftAfter);
    QFETCH(int, action);
    QFETCH(QString, message);

    const QByteArray set = patternSet(100);
    const QByteArray newSet = patternSet(1000, 5);
    Harness h(false);
    if (state >= 7) {
        seedRows({storedRow(4, state == 30 ? 3 : state, set)});
    }
    h.createServer();
    if (state == 1) {
        h.makeIdle(4, set);
    } else if (state == 2 || state == 3) {
        h.makeDownloading(4, set, newSet, state == 3);
    } else if (state == 0) {
        h.exchange(syncRequestFor(4, set));
    }

    LogCapture log;
    const QList<Reply> got =
        h.exchange(reportNewSet ? syncRequestFor(4, newSet) : syncRequestFor(4, set));
    QCOMPARE(got.size(), replies);
    if (replies > 0) {
        QCOMPARE(static_cast<int>(got[0].sync().command), command);
        if (command == 3) {
            QCOMPARE(got[0].sync().paramsSize, 1000u);
            QCOMPARE(got[0].sync().paramsCrc, paramSetCrc(newSet));
        }
    }
    const UooRParamsDesc record = h.server->uooParamsDesc(4);
    QCOMPARE(record.state, stateAfter);
    QCOMPARE(record.writeLeft, writeLeftAfter);
    if (state == 30) {
        QCOMPARE(record.uoo, 0u); // the record was reset
        QVERIFY(!record.isOnline());
    }
    if (state == 3 && reportNewSet) {
        QCOMPARE(record.uooparams, newSet);
        QCOMPARE(record.uootime, QDateTime(QDate(2024, 5, 1), QTime(10, 0, 0)));
        QVERIFY(record.localparams.isEmpty());
    }
    if (stateAfter == 2) {
        QCOMPARE(record.leftToSend, newSet.size());
    }
    if (!message.isEmpty()) {
        QVERIFY2(log.texts().contains(message), qPrintable(log.texts().join('\n')));
    }
    if (action != 0) {
        QTRY_COMPARE(logRows(action), 1);
    }
}

void TestVemoParamServer::downloadThousandBytes()
{
    Harness h;
    const QByteArray current = patternSet(200);
    const QByteArray newSet = patternSet(1000, 6);
    h.makeIdle(21, current);
    UooRParamsDesc request;
    request.localparams = newSet;
    request.localtime = QDateTime(QDate(2024, 6, 1), QTime(9, 30, 0));
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);
    QVERIFY(h.server->scheduleNewParams(21, request));
    QCOMPARE(params.size(), 0);

    QList<Reply> r = h.exchange(syncRequestFor(21, current));
    QCOMPARE(r[0].sync().command, 3u);

    r = h.exchange(bare(PAR_PROTO_DWLD_REQUEST, 21));
    QCOMPARE(r.size(), 1);
    QCOMPARE(r[0].header.msgCode, quint32(PAR_PROTO_SEND_REQUEST));
    QCOMPARE(r[0].raw.size(), 24 + 532);
    ParamChunk c = r[0].chunk();
    QCOMPARE(c.offset, 0u);
    QCOMPARE(c.length, 512u);
    QCOMPARE(c.left, 488u);
    QCOMPARE(c.crc, paramCrc16(newSet.left(512)));
    QCOMPARE(h.server->uooParamsDesc(21).state, 2);
    QTRY_COMPARE(logRows(2), 1);
    QCOMPARE(params.size(), 1);

    r = h.exchange(bare(PAR_PROTO_RCV_ACK, 21));
    QCOMPARE(r.size(), 1);
    c = r[0].chunk();
    QCOMPARE(c.offset, 512u);
    QCOMPARE(c.length, 488u);
    QCOMPARE(c.left, 0u);
    QCOMPARE(QByteArray(c.data.data(), 488), newSet.mid(512));
    QCOMPARE(r[0].payload.mid(488, 24), QByteArray(24, '\0'));
    QCOMPARE(r[0].payload.mid(526, 6), QByteArray(6, '\0'));

    LogCapture log;
    r = h.exchange(bare(PAR_PROTO_RCV_ACK, 21));
    QCOMPARE(r.size(), 0);
    QCOMPARE(h.server->uooParamsDesc(21).state, 3);
    QVERIFY(
        log.contains(QtDebugMsg, "[PARAM_SERV] Завершение загрузки новых параметров в УОО  21"));

    // The CRC over all bytes is not the set CRC.
    const quint16 wrong = paramCrc16(newSet);
    QVERIFY(wrong != paramSetCrc(newSet));
    r = h.exchange(bare(PAR_PROTO_DWLD_FINISHED, 21, wrong));
    QCOMPARE(r.size(), 0);
    QVERIFY(log.contains(QtWarningMsg, QStringLiteral("[PARAM_SERV] Invalid CRC in "
                                                      "PAR_PROTO_DWLD_FINISHED:  %1")
                                           .arg(wrong)));
    QCOMPARE(h.server->uooParamsDesc(21).state, 3);

    r = h.exchange(bare(PAR_PROTO_DWLD_FINISHED, 21, paramSetCrc(newSet)));
    QCOMPARE(r.size(), 1);
    QCOMPARE(r[0].raw, QByteArray::fromHex("D4C3B2A12B3C4D5E0000000003CC00000000000000000000"));
    QTRY_COMPARE(logRows(3), 1);
    QCOMPARE(h.server->uooParamsDesc(21).state, 3);

    r = h.exchange(syncRequestFor(21, newSet));
    QCOMPARE(r[0].sync().command, 1u);
    const UooRParamsDesc record = h.server->uooParamsDesc(21);
    QCOMPARE(record.state, 1);
    QCOMPARE(record.uooparams, newSet);
    QCOMPARE(record.uootime, request.localtime);
    QVERIFY(record.localparams.isEmpty());
    QVERIFY(record.localtime.isNull());
    QTRY_COMPARE(logRows(4), 1);

    // And the device is in step with its new set.
    r = h.exchange(syncRequestFor(21, newSet));
    QCOMPARE(r[0].sync().command, 1u);
}

void TestVemoParamServer::downloadChunking_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunks");
    QTest::newRow("512") << 512 << 1;
    QTest::newRow("513") << 513 << 2;
    QTest::newRow("1000") << 1000 << 2;
    QTest::newRow("3") << 3 << 1;
}

void TestVemoParamServer::downloadChunking()
{
    QFETCH(int, size);
    QFETCH(int, chunks);
    Harness h;
    const QByteArray newSet = patternSet(size, 7);
    h.makeIdle(30, patternSet(10));
    UooRParamsDesc request;
    request.localparams = newSet;
    QVERIFY(h.server->scheduleNewParams(30, request));
    QByteArray received;
    QList<Reply> r = h.exchange(bare(PAR_PROTO_DWLD_REQUEST, 30));
    int count = 0;
    while (!r.isEmpty()) {
        QCOMPARE(r.size(), 1);
        const ParamChunk c = r[0].chunk();
        QCOMPARE(static_cast<int>(c.offset), received.size());
        QCOMPARE(c.crc, c.computeCrc());
        received.append(c.data.data(), static_cast<int>(c.length));
        ++count;
        QCOMPARE(c.left == 0, count == chunks);
        r = h.exchange(bare(PAR_PROTO_RCV_ACK, 30));
    }
    QCOMPARE(count, chunks);
    QCOMPARE(received, newSet);
    QCOMPARE(h.server->uooParamsDesc(30).state, 3);
}

void TestVemoParamServer::retryRule()
{
    Harness h;
    const QByteArray current = patternSet(100);
    const QByteArray newSet = patternSet(1000, 8);
    h.makeDownloading(40, current, newSet, false);
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const QList<Reply> r = h.exchange(syncRequestFor(40, current));
        QCOMPARE(r.size(), 1);
        QCOMPARE(r[0].sync().command, 3u);
        const UooRParamsDesc record = h.server->uooParamsDesc(40);
        QCOMPARE(record.writeLeft, attempt);
        QCOMPARE(record.state, 2);
        QCOMPARE(record.leftToSend, 1000);
        // The restarted download begins at the first byte.
        const QList<Reply> chunk = h.exchange(bare(PAR_PROTO_DWLD_REQUEST, 40));
        QCOMPARE(chunk[0].chunk().offset, 0u);
    }
    const QList<Reply> r = h.exchange(syncRequestFor(40, current));
    QCOMPARE(r.size(), 0);
    const UooRParamsDesc record = h.server->uooParamsDesc(40);
    QCOMPARE(record.state, 1);
    QCOMPARE(record.writeLeft, 0);
    QVERIFY(record.localparams.isEmpty());
    QVERIFY(record.localtime.isNull());
    QTRY_COMPARE(logRows(5), 4);
    QCOMPARE(params.size(), 4 + 3);

    // The given-up set is not offered again.
    QCOMPARE(h.exchange(syncRequestFor(40, current))[0].sync().command, 1u);
}

void TestVemoParamServer::handlersByState_data()
{
    // setup: 0, 1, 1+ (new set scheduled), 2, 2e (all chunks sent, state 2),
    // 3, 2x / 3x (stored row without a new set)
    QTest::addColumn<QString>("setup");
    QTest::addColumn<quint32>("msgCode");
    QTest::addColumn<quint32>("replyCode");
    QTest::addColumn<int>("stateAfter");
    QTest::addColumn<QString>("message");
    const quint32 none = 0;
    const quint32 ack = PAR_PROTO_RCV_ACK, req = PAR_PROTO_DWLD_REQUEST,
                  fin = PAR_PROTO_DWLD_FINISHED;
    const quint32 chunk = PAR_PROTO_SEND_REQUEST, finAck = PAR_PROTO_DWLD_FINISHED_ACK;
    const QString undefDwld = QStringLiteral(
        "[PARAM_SERV] Undefined behavior : state is PAR_STATE_WAIT_DWLD but localParams is Empty");
    const QString undefUpd = QStringLiteral(
        "[PARAM_SERV] Undefined behavior : state is PAR_STATE_WAIT_UPD but localParams is Empty");

    QTest::newRow("ack 0") << "0" << ack << none << 0
                           << "[PARAM_SERV] Unmatched state in PAR_PROTO_RCV_ACK:  0";
    QTest::newRow("ack 1") << "1" << ack << none << 1
                           << "[PARAM_SERV] Unmatched state in PAR_PROTO_RCV_ACK:  1";
    QTest::newRow("ack 2") << "2" << ack << chunk << 2 << QString();
    QTest::newRow("ack 2 all sent")
        << "2e" << ack << none << 3
        << "[PARAM_SERV] Завершение загрузки новых параметров в УОО  50";
    QTest::newRow("ack 2 empty") << "2x" << ack << none << 0 << undefDwld;
    QTest::newRow("ack 3") << "3" << ack << none << 3
                           << "[PARAM_SERV] Unmatched state in PAR_PROTO_RCV_ACK:  3";

    QTest::newRow("req 0") << "0" << req << none << 0
                           << "[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_REQUEST:  0";
    QTest::newRow("req 1 empty") << "1" << req << none << 1 << undefDwld;
    QTest::newRow("req 1 scheduled") << "1+" << req << chunk << 2 << QString();
    QTest::newRow("req 2") << "2" << req << chunk << 2 << QString();
    QTest::newRow("req 2 empty") << "2x" << req << none << 0 << undefDwld;
    QTest::newRow("req 3") << "3" << req << none << 3
                           << "[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_REQUEST:  3";

    QTest::newRow("fin 0") << "0" << fin << none << 0
                           << "[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_FINISHED:  0";
    QTest::newRow("fin 1") << "1" << fin << none << 1
                           << "[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_FINISHED:  1";
    QTest::newRow("fin 2") << "2" << fin << none << 2
                           << "[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_FINISHED:  2";
    QTest::newRow("fin 3") << "3" << fin << finAck << 3 << QString();
    QTest::newRow("fin 3 empty") << "3x" << fin << none << 0 << undefUpd;
}

void TestVemoParamServer::handlersByState()
{
    QFETCH(QString, setup);
    QFETCH(quint32, msgCode);
    QFETCH(quint32, replyCode);
    QFETCH(int, stateAfter);
    QFETCH(QString, message);

    const QByteArray current = patternSet(100);
    const QByteArray newSet = patternSet(1000, 9);
    Harness h(false);
    if (setup.endsWith(QLatin1Char('x'))) {
        ParamsRow row = storedRow(50, setup.left(1).toInt());
        row.record.leftToSend = 300;
        seedRows({row});
    }
    h.createServer();
    if (setup == QLatin1String("0")) {
        h.exchange(syncRequestFor(50, current));
    } else if (setup.startsWith(QLatin1Char('1'))) {
        h.makeIdle(50, current);
        if (setup == QLatin1String("1+")) {
            UooRParamsDesc request;
            request.localparams = newSet;
            QVERIFY(h.server->scheduleNewParams(50, request));
        }
    } else if (setup == QLatin1String("2")) {
        h.makeDownloading(50, current, newSet, false);
    } else if (setup == QLatin1String("2e")) {
        h.makeDownloading(50, current, newSet, false);
        h.exchange(bare(PAR_PROTO_RCV_ACK, 50));
        QCOMPARE(h.server->uooParamsDesc(50).leftToSend, 0);
    } else if (setup == QLatin1String("3")) {
        h.makeDownloading(50, current, newSet, true);
    }

    LogCapture log;
    const QList<Reply> r = h.exchange(bare(msgCode, 50, paramSetCrc(newSet)));
    QCOMPARE(r.size(), replyCode == 0 ? 0 : 1);
    if (replyCode != 0) {
        QCOMPARE(r[0].header.msgCode, replyCode);
    }
    if (replyCode == PAR_PROTO_SEND_REQUEST) {
        // A request in the middle of a download continues where it stands.
        const ParamChunk c = r[0].chunk();
        QCOMPARE(c.offset, setup == QLatin1String("1+") ? 0u : 512u);
    }
    const UooRParamsDesc record = h.server->uooParamsDesc(50);
    QCOMPARE(record.state, stateAfter);
    if (setup.endsWith(QLatin1Char('x'))) {
        QCOMPARE(record.uoo, 0u); // reset
    } else if (setup.startsWith(QLatin1Char('1'))) {
        QCOMPARE(record.uooparams, current);
    }
    if (message.isEmpty()) {
        QVERIFY2(log.texts().isEmpty(), qPrintable(log.texts().join('\n')));
    } else {
        QVERIFY2(log.texts() == QStringList{message}, qPrintable(log.texts().join('\n')));
    }
}

void TestVemoParamServer::badDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("level"); // -1 none, else QtMsgType
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("replies");

    const QString invalid = QStringLiteral("[PARAM_SRV] Invalid UDP pack received");
    const QByteArray sync = syncRequest(60, 0, 0);
    QByteArray wrongMagic2 = sync;
    wrongMagic2[4] = '\x2C';
    QByteArray wrongMagic1 = sync;
    wrongMagic1[3] = '\xA2';
    QByteArray length10size40 =
        ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, QByteArray(10, 'x'), 0, 60);
    length10size40.append(QByteArray(6, 'y'));
    QByteArray hugeLength = bare(PAR_PROTO_SYNC_REQUEST, 60);
    hugeLength.replace(16, 4, QByteArray(4, '\xFF'));
    QByteArray wrongDataCrc = sync;
    wrongDataCrc[22] = static_cast<char>(wrongDataCrc[22] ^ 0x5A);

    ParamChunk longChunk = ParamChunk::fromSet(patternSet(600), 0);
    longChunk.length = 513;
    ParamChunk hugeChunk = longChunk;
    hugeChunk.length = 0xFFFFFFFFu;
    SyncBlock unterminated;
    unterminated.device.fill('D');
    unterminated.pversion.fill('P');
    unterminated.uooCode = 60;

    const int debug = QtDebugMsg, warning = QtWarningMsg;
    QTest::newRow("empty") << QByteArray() << debug << invalid << 0;
    QTest::newRow("23 bytes") << sync.left(23) << debug << invalid << 0;
    QTest::newRow("length 10, size 40") << length10size40 << debug << invalid << 0;
    QTest::newRow("truncated payload") << sync.left(80) << debug << invalid << 0;
    QTest::newRow("length field 0xFFFFFFFF") << hugeLength << debug << invalid << 0;
    QTest::newRow("magic1") << wrongMagic1 << debug << invalid << 0;
    QTest::newRow("magic2 0x5E4D3C2C") << wrongMagic2 << debug << invalid << 0;
    QTest::newRow("code 0xCC03") << bare(PAR_PROTO_DWLD_FINISHED_ACK, 60) << warning
                                 << "[PARAM_SRV] Invalid message code received:  52227" << 0;
    QTest::newRow("code 0") << bare(0, 60) << warning
                            << "[PARAM_SRV] Invalid message code received:  0" << 0;
    QTest::newRow("code 0xAA02") << bare(0xAA02, 60) << warning
                                 << "[PARAM_SRV] Invalid message code received:  43522" << 0;
    QTest::newRow("sync without payload")
        << bare(PAR_PROTO_SYNC_REQUEST, 60) << debug << invalid << 0;
    QTest::newRow("sync payload 63")
        << ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, sync.mid(24, 63), 0, 60) << debug
        << invalid << 0;
    QTest::newRow("sync payload 65 is read")
        << ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, sync.mid(24) + "z", 0, 60) << -1
        << QString() << 1;
    QTest::newRow("sync with wrong dataCrc is read") << wrongDataCrc << -1 << QString() << 1;
    QTest::newRow("sync, unterminated texts")
        << ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, unterminated.encode(), 0, 60) << -1
        << QString() << 1;
    QTest::newRow("chunk payload 531")
        << ParamDatagramHeader::build(PAR_PROTO_SEND_REQUEST, QByteArray(531, '\0'), 0, 60) << debug
        << invalid << 0;
    QTest::newRow("chunk without payload")
        << bare(PAR_PROTO_SEND_REQUEST, 60) << debug << invalid << 0;
    QTest::newRow("chunk length 513")
        << ParamDatagramHeader::build(PAR_PROTO_SEND_REQUEST, longChunk.encode(), 0, 60) << debug
        << invalid << 0;
    QTest::newRow("chunk length 0xFFFFFFFF")
        << ParamDatagramHeader::build(PAR_PROTO_SEND_REQUEST, hugeChunk.encode(), 0, 60) << debug
        << invalid << 0;
    QTest::newRow("chunk for unknown UOO")
        << chunkDatagram(61, patternSet(10), 0) << -1 << QString() << 0;
    QTest::newRow("ack for unknown UOO") << bare(PAR_PROTO_RCV_ACK, 61) << -1 << QString() << 0;
    QTest::newRow("request for unknown UOO")
        << bare(PAR_PROTO_DWLD_REQUEST, 61) << -1 << QString() << 0;
    QTest::newRow("finished for unknown UOO")
        << bare(PAR_PROTO_DWLD_FINISHED, 61) << -1 << QString() << 0;
    QTest::newRow("ack out of state")
        << bare(PAR_PROTO_RCV_ACK, 60) << debug
        << "[PARAM_SERV] Unmatched state in PAR_PROTO_RCV_ACK:  0" << 0;
}

void TestVemoParamServer::badDatagrams()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, level);
    QFETCH(QString, message);
    QFETCH(int, replies);
    Harness h;
    // UOO 60 is known (state 0); 61 is not.
    h.exchange(syncRequest(60, 0, 0));
    const UooRParamsDesc before = h.server->uooParamsDesc(60);
    QSignalSpy desc(h.server.get(), &VemoParamServer::uooDescUpdated);

    LogCapture log;
    const QList<Reply> r = h.exchange(datagram);
    QCOMPARE(r.size(), replies);
    if (level < 0) {
        QVERIFY2(log.texts().isEmpty(), qPrintable(log.texts().join('\n')));
    } else {
        const QList<LogCapture::Entry> lines = log.entries();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(static_cast<int>(lines[0].type), level);
        QCOMPARE(lines[0].text, message);
    }
    QVERIFY(!h.server->hasUoo(61));
    if (replies == 0) {
        QCOMPARE(desc.size(), 0);
        UooRParamsDesc after = h.server->uooParamsDesc(60);
        QCOMPARE(after.state, before.state);
        QCOMPARE(after.device, before.device);
    }
    if (QTest::currentDataTag() == QLatin1String("sync, unterminated texts")) {
        QCOMPARE(h.server->uooParamsDesc(60).device, QString(24, QLatin1Char('D')));
        QCOMPARE(h.server->uooParamsDesc(60).pversion, QString(8, QLatin1Char('P')));
    }
}

void TestVemoParamServer::sweepBoundary_data()
{
    QTest::addColumn<qint64>("silentMs");
    QTest::addColumn<bool>("offline");
    QTest::newRow("300 s") << qint64(300000) << false;
    QTest::newRow("300.999 s") << qint64(300999) << false;
    QTest::newRow("301 s") << qint64(301000) << true;
    QTest::newRow("clock went back") << qint64(-5000) << false;
}

void TestVemoParamServer::sweepBoundary()
{
    QFETCH(qint64, silentMs);
    QFETCH(bool, offline);
    Harness h;
    h.exchange(syncRequest(70, 0, 0));
    h.exchange(syncRequest(71, 0, 0));
    h.clock.advanceMs(silentMs);
    h.exchange(syncRequest(72, 0, 0)); // heard just now: never swept here
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);
    QSignalSpy desc(h.server.get(), &VemoParamServer::uooDescUpdated);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QCOMPARE(params.size(), offline ? 2 : 0);
    QCOMPARE(desc.size(), offline ? 2 : 0);
    if (offline) {
        QCOMPARE(params[0][0].value<quint32>(), 70u);
        QCOMPARE(params[1][0].value<quint32>(), 71u);
    }
    QCOMPARE(h.server->uooParamsDesc(70).isOnline(), !offline);
    QCOMPARE(h.server->uooDescriptor(70).status & 0x80u, offline ? 0u : 0x80u);
    QVERIFY(h.server->uooParamsDesc(72).isOnline());
    // Reported once.
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QCOMPARE(params.size(), offline ? 2 : 0);
}

void TestVemoParamServer::sweepSkipsLoadedRecords()
{
    Harness h(false);
    seedRows({storedRow(80, 1)});
    h.createServer();
    h.clock.advanceMs(3600 * 1000);
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QCOMPARE(params.size(), 0);
    QVERIFY(!h.server->hasUoo(80));
    QCOMPARE(h.server->uooParamsDesc(80).state, 1);
}

void TestVemoParamServer::wallClockJumps_data()
{
    QTest::addColumn<qint64>("jumpMs");
    QTest::newRow("an hour forward") << qint64(3600 * 1000);
    QTest::newRow("an hour back") << qint64(-3600 * 1000);
    QTest::newRow("ten minutes forward") << qint64(600 * 1000);
}

// Setting the system time moves lastSeen (wall clock) but not the ageing.
void TestVemoParamServer::wallClockJumps()
{
    QFETCH(qint64, jumpMs);
    Harness h;
    h.exchange(syncRequest(90, 0, 0)); // falls silent
    h.clock.advanceMs(200000);
    const QDateTime beforeJump = h.clock.currentDateTime();
    h.exchange(syncRequest(91, 0, 0)); // stays live
    h.clock.jumpWallMs(jumpMs);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QVERIFY(h.server->uooParamsDesc(90).isOnline());
    QVERIFY(h.server->uooParamsDesc(91).isOnline());
    QCOMPARE(h.server->uooParamsDesc(91).lastSeen, beforeJump);

    // 300.999 s after its last SYNC device 90 is still online, at 301 s offline.
    h.clock.advanceMs(100999);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QVERIFY(h.server->uooParamsDesc(90).isOnline());
    h.clock.advanceMs(1);
    h.exchange(syncRequest(91, 0, 0));
    QCOMPARE(h.server->uooParamsDesc(91).lastSeen, h.clock.currentDateTime());
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QVERIFY(!h.server->uooParamsDesc(90).isOnline());
    QVERIFY(h.server->uooParamsDesc(91).isOnline());
}

void TestVemoParamServer::scheduleByState_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("0") << 0 << false;
    QTest::newRow("1") << 1 << true;
    QTest::newRow("2") << 2 << false;
    QTest::newRow("3") << 3 << false;
}

void TestVemoParamServer::scheduleByState()
{
    QFETCH(int, state);
    QFETCH(bool, accepted);
    Harness h;
    const QByteArray current = patternSet(50);
    const QByteArray other = patternSet(700, 3);
    if (state == 0) {
        h.exchange(syncRequestFor(90, current));
    } else if (state == 1) {
        h.makeIdle(90, current);
    } else {
        h.makeDownloading(90, current, patternSet(1000, 2), state == 3);
    }
    const UooRParamsDesc before = h.server->uooParamsDesc(90);
    QSignalSpy params(h.server.get(), &VemoParamServer::uooRpamsUpdated);
    QSignalSpy desc(h.server.get(), &VemoParamServer::uooDescUpdated);
    UooRParamsDesc request;
    request.localparams = other;
    request.localtime = QDateTime(QDate(2025, 1, 2), QTime(3, 4, 5));
    request.state = 2;
    request.uooparams = "ignored";
    QCOMPARE(h.server->scheduleNewParams(90, request), accepted);
    const UooRParamsDesc after = h.server->uooParamsDesc(90);
    if (accepted) {
        QCOMPARE(after.localparams, other);
        QCOMPARE(after.localtime, request.localtime);
        QCOMPARE(after.leftToSend, 700);
        QCOMPARE(after.writeLeft, 0);
        QCOMPARE(after.state, 1);
        QCOMPARE(after.uooparams, current);
    } else {
        QVERIFY(after == before);
    }
    QCOMPARE(params.size(), 0);
    QCOMPARE(desc.size(), 0);
    QVERIFY(!h.server->scheduleNewParams(12345, request));
}

void TestVemoParamServer::cancelDuringWaitUpd()
{
    Harness h;
    h.makeDownloading(91, patternSet(50), patternSet(1000, 2), true);
    QVERIFY(h.server->cancelNewParams(91, UooRParamsDesc()));
    const UooRParamsDesc record = h.server->uooParamsDesc(91);
    QCOMPARE(record.state, 1);
    QVERIFY(record.localparams.isEmpty());
    QVERIFY(record.localtime.isNull());
    QCOMPARE(record.leftToSend, 0);
    LogCapture log;
    QCOMPARE(h.exchange(bare(PAR_PROTO_DWLD_FINISHED, 91, paramSetCrc(patternSet(1000, 2)))).size(),
             0);
    QVERIFY(
        log.contains(QtDebugMsg, "[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_FINISHED:  1"));
    QVERIFY(!h.server->cancelNewParams(4242, UooRParamsDesc()));
}

void TestVemoParamServer::unknownCodes()
{
    Harness h;
    QVERIFY(!h.server->hasUoo(5));
    QVERIFY(h.server->uooParamsDesc(5) == UooRParamsDesc());
    QVERIFY(h.server->uooDescriptor(5) == UooDescriptor());
    QVERIFY(!h.server->hasUoo(5));
    QVERIFY(h.server->uooDescriptors().isEmpty());
}

void TestVemoParamServer::descriptorsInOrder()
{
    Harness h;
    h.exchange(syncRequest(12, 0, 0));
    h.exchange(syncRequest(4, 0, 0));
    const QList<UooDescriptor> list = h.server->uooDescriptors();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].uoo, 4u);
    QCOMPARE(list[1].uoo, 12u);
}

void TestVemoParamServer::stopStart()
{
    Harness h;
    const QByteArray set = patternSet(64);
    h.makeIdle(93, set);
    const UooRParamsDesc before = h.server->uooParamsDesc(93);
    h.server->stop();
    QCOMPARE(h.server->boundPort(), quint16(0));
    // Without a socket nothing is sent, but datagrams handed in are still handled.
    h.server->handleParamRequest(syncRequestFor(93, set), QHostAddress::LocalHost, h.clientPort());
    QCOMPARE(h.collect().size(), 0);
    h.server->start();
    QVERIFY(h.server->boundPort() != 0);
    QCOMPARE(h.server->uooParamsDesc(93).state, before.state);
    QCOMPARE(h.server->uooParamsDesc(93).uooparams, before.uooparams);
    QCOMPARE(h.exchange(syncRequestFor(93, set))[0].sync().command, 1u);
}

// At the end of the process the records are written before the server lets go
// of them, including changes the timer has not written yet.
void TestVemoParamServer::recordsLeftAtProcessEnd()
{
    Harness h;
    h.makeIdle(93, patternSet(64));
    h.exchange(syncRequest(94, 0, 0));
    h.server->leaveRecordsToSystem();
    QCOMPARE(h.server->deviceCount(), 0);
    QCOMPARE(h.server->uooParamsDesc(93).uoo, 0u);
    {
        FileProbe probe;
        QCOMPARE(probe.column(QStringLiteral("SELECT uoo FROM desc ORDER BY uoo")),
                 (QVariantList{93, 94}));
        QCOMPARE(probe.column(QStringLiteral("SELECT length(uooparams) FROM desc WHERE uoo = 93")),
                 QVariantList{64});
    }
    h.destroyServer();
}

void TestVemoParamServer::readsFromSocket()
{
    // Datagrams sent to the bound port reach the handlers in arrival order.
    Harness h;
    QUdpSocket device;
    QVERIFY(device.bind(QHostAddress::LocalHost, 0));
    QSignalSpy desc(h.server.get(), &VemoParamServer::uooDescUpdated);
    device.writeDatagram(QByteArray(5, 'x'), QHostAddress::LocalHost, h.server->boundPort());
    device.writeDatagram(syncRequest(101, 0, 0), QHostAddress::LocalHost, h.server->boundPort());
    device.writeDatagram(syncRequest(102, 0, 0), QHostAddress::LocalHost, h.server->boundPort());
    QTRY_COMPARE_WITH_TIMEOUT(desc.size(), 2, 10000);
    QCOMPARE(desc[0][0].value<quint32>(), 101u);
    QCOMPARE(desc[1][0].value<quint32>(), 102u);
    QVERIFY(device.waitForReadyRead(10000));
    QCOMPARE(h.server->uooDescriptor(101).port, static_cast<quint32>(device.localPort()));

    // More than a turn's batch waiting: the rest is handled in the next turns.
    h.server->setDatagramsPerTurn(3);
    desc.clear();
    for (quint32 uoo = 201; uoo <= 240; ++uoo) {
        device.writeDatagram(syncRequest(uoo, 0, 0), QHostAddress::LocalHost,
                             h.server->boundPort());
    }
    QTRY_COMPARE_WITH_TIMEOUT(desc.size(), 40, 10000);
    QCOMPARE(desc.first()[0].value<quint32>(), 201u);
    QCOMPARE(desc.last()[0].value<quint32>(), 240u);
}

QTEST_GUILESS_MAIN(TestVemoParamServer)
void TestVemoParamServer::deviceLimit_data()
{
    QTest::addColumn<int>("stored"); // records in the file at start
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("records"); // after SYNCs from UOO 1..10
    QTest::newRow("room for all") << 0 << 20 << 10;
    QTest::newRow("limit 4") << 0 << 4 << 4;
    QTest::newRow("file already above the limit") << 6 << 3 << 6;
}

void TestVemoParamServer::deviceLimit()
{
    QFETCH(int, stored);
    QFETCH(int, limit);
    QFETCH(int, records);
    Harness h(false);
    QVector<ParamsRow> rows;
    for (int i = 0; i < stored; ++i) {
        ParamsRow row;
        row.uoo = static_cast<quint32>(i + 1);
        row.record.uoo = row.uoo;
        rows.append(row);
    }
    seedRows(rows);
    h.createServer();
    h.server->setMaxDevices(limit);
    LogCapture log;

    int answered = 0;
    for (quint32 uoo = 1; uoo <= 10; ++uoo) {
        answered += h.exchange(syncRequest(uoo, 0, 0)).size();
    }
    QCOMPARE(h.server->deviceCount(), records);
    QCOMPARE(answered, records);
    QCOMPARE(log.countStarting(QStringLiteral("[PARAM_SERV] SYNC from new UOO")), 10 - records);
    // Known devices are still served; nothing stored is lost.
    QCOMPARE(h.exchange(syncRequest(1, 0, 0)).size(), 1);
    QCOMPARE(h.server->hasUoo(10), records == 10);
}

void TestVemoParamServer::uploadMemoryBounded()
{
    Harness h;
    h.server->setMaxUploadTotal(1535);
    const QByteArray big = patternSet(1500, 4);
    const QByteArray other = patternSet(1500, 5);
    h.exchange(syncRequestFor(8, big));
    h.exchange(syncRequestFor(9, other));
    LogCapture log;

    // UOO 8's first chunk takes room for its whole set; UOO 9's first chunk does
    // not fit and is dropped unacknowledged.
    QCOMPARE(h.exchange(chunkDatagram(8, big, 0)).size(), 1);
    QCOMPARE(h.server->uploadBytes(), qint64(big.size()));
    QCOMPARE(h.exchange(chunkDatagram(8, big, 512)).size(), 1);
    QCOMPARE(h.server->uploadBytes(), qint64(big.size()));
    QCOMPARE(h.exchange(chunkDatagram(9, other, 0)).size(), 0);
    QCOMPARE(log.countStarting(QStringLiteral("[PARAM_SERV] uploads hold")), 1);
    QVERIFY(h.server->uooParamsDesc(9).uploadBuffer.isEmpty());

    // UOO 8 finishes and its room is given back; UOO 9 sent again is taken.
    QCOMPARE(h.exchange(chunkDatagram(8, big, 1024)).size(), 1);
    QCOMPARE(h.server->uooParamsDesc(8).uooparams, big);
    QCOMPARE(h.server->uploadBytes(), qint64(0));
    for (int offset = 0; offset < other.size(); offset += 512) {
        QCOMPARE(h.exchange(chunkDatagram(9, other, offset)).size(), 1);
    }
    QCOMPARE(h.server->uooParamsDesc(9).uooparams, other);
    QCOMPARE(h.server->uploadBytes(), qint64(0));
}

void TestVemoParamServer::idleUploadGivenUp()
{
    Harness h;
    const QByteArray set = patternSet(1500, 6);
    h.exchange(syncRequestFor(12, set));
    h.exchange(chunkDatagram(12, set, 0));
    QVERIFY(h.server->uploadBytes() >= 512);

    h.clock.advanceMs(VemoParamServer::UploadIdleMs - 1);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QCOMPARE(h.server->uooParamsDesc(12).uploadBuffer.size(), 512);
    h.clock.advanceMs(1);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
    QVERIFY(h.server->uooParamsDesc(12).uploadBuffer.isEmpty());
    QCOMPARE(h.server->uploadBytes(), qint64(0));
    // The device starts over and completes.
    h.exchange(chunkDatagram(12, set, 0));
    h.exchange(chunkDatagram(12, set, 512));
    h.exchange(chunkDatagram(12, set, 1024));
    QCOMPARE(h.server->uooParamsDesc(12).uooparams, set);
}

void TestVemoParamServer::uploadGivenUpIsNotCompletedLater()
{
    Harness h;
    const QByteArray set = patternSet(1024, 7);
    h.exchange(syncRequestFor(14, set));
    QCOMPARE(h.exchange(chunkDatagram(14, set, 0))[0].header.msgCode, quint32(PAR_PROTO_RCV_ACK));
    h.clock.advanceMs(70 * 1000);
    QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));

    // The device goes on with its last chunk: not taken; it is asked for its set.
    LogCapture log;
    const QList<Reply> replies = h.exchange(chunkDatagram(14, set, 512));
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies[0].header.msgCode, quint32(PAR_PROTO_SYNC_REQUEST));
    QCOMPARE(replies[0].sync().command, 0u);
    QCOMPARE(replies[0].sync().uooCode, 14u);
    QVERIFY(log.contains(QtWarningMsg, QStringLiteral("[PARAM_SERV] Chunk at offset 512 does not "
                                                      "continue the upload of UOO 14: not taken")));
    UooRParamsDesc record = h.server->uooParamsDesc(14);
    QCOMPARE(record.state, 0);
    QVERIFY(record.uooparams.isEmpty());
    QCOMPARE(h.exchange(syncRequestFor(14, set))[0].sync().command, 0u);

    // Started over, the set is stored whole.
    h.exchange(chunkDatagram(14, set, 0));
    h.exchange(chunkDatagram(14, set, 512));
    QCOMPARE(h.server->uooParamsDesc(14).uooparams, set);
    QTRY_COMPARE(logRows(1), 1);
}

void TestVemoParamServer::refusedChunksKeepUploadAlive()
{
    // Two uploads that do not fit together: the first holds room for its whole set
    // and completes while the second keeps sending its first chunk, which waits,
    // holding nothing, and is taken once the first is done. Neither is given up as
    // idle on the way nor stored in part.
    Harness h;
    h.server->setMaxUploadTotal(2000);
    const QByteArray first = patternSet(1500, 8);
    const QByteArray second = patternSet(1400, 7);
    h.exchange(syncRequestFor(15, first));
    h.exchange(syncRequestFor(16, second));
    h.exchange(chunkDatagram(15, first, 0));
    for (int i = 0; i < 3; ++i) {
        h.clock.advanceMs(40 * 1000);
        QCOMPARE(h.exchange(chunkDatagram(16, second, 0)).size(), 0);
        QVERIFY(QMetaObject::invokeMethod(h.server.get(), "sweepOffline"));
        QCOMPARE(h.exchange(chunkDatagram(15, first, 512 * (i < 2 ? 1 : 2))).size(), 1);
        QCOMPARE(h.server->uooParamsDesc(16).uploadBuffer, QByteArray());
    }
    QCOMPARE(h.server->uooParamsDesc(15).uooparams, first);
    for (int offset = 0; offset < second.size(); offset += 512) {
        QCOMPARE(h.exchange(chunkDatagram(16, second, offset)).size(), 1);
    }
    QCOMPARE(h.server->uooParamsDesc(16).uooparams, second);
    QCOMPARE(h.server->uploadBytes(), 0);
}

void TestVemoParamServer::deviceLinesRateLimited()
{
    // Upload and download request, again and again, for a device with nothing
    // scheduled.
    Harness h;
    const QByteArray set = patternSet(100, 9);
    h.makeIdle(16, set);
    LogCapture log;
    const QByteArray chunk = chunkDatagram(16, set, 0);
    const QByteArray request = bare(PAR_PROTO_DWLD_REQUEST, 16);
    for (int i = 0; i < 1000; ++i) {
        h.server->handleParamRequest(chunk, QHostAddress::LocalHost, h.clientPort());
        h.server->handleParamRequest(request, QHostAddress::LocalHost, h.clientPort());
    }
    QVERIFY2(log.texts().size() <= 2 * LogRateLimiter::DefaultBurst,
             qPrintable(QString::number(log.texts().size())));
    QCOMPARE(h.server->uooParamsDesc(16).uooparams, set);
    h.destroyServer();
    QVERIFY(log.contains(QtDebugMsg, QStringLiteral("[PARAM_SERV] Undefined behavior: 990 more "
                                                    "such line(s) in the last 60 s not written")));
}

#include "tst_vemoparamserver.moc"
