// The state machine of one device, driven directly: the state it moves to, the
// reply it asks to send, the action it logs and what it reports changed.

#include "paramchunk.h"
#include "paramcrc16.h"
#include "paramdatagramheader.h"
#include "syncblock.h"
#include "uoostatemachine.h"

#include <QtTest>

namespace {

using Outcome = UooStateMachine::Outcome;

enum Message { Sync, Ack, DownloadRequest, DownloadFinished };

const QByteArray newSet(700, 'n');
// Room for uploads when no other upload holds any.
constexpr qint64 AllRoom = qint64(1) << 40;
const QByteArray currentSet(300, 'c');

SyncBlock syncFrom(const QByteArray& set)
{
    SyncBlock request;
    request.setDeviceText(QStringLiteral("UOO-T"));
    request.setPversionText(QStringLiteral("1.2"));
    request.version1 = 1;
    request.version2 = 2;
    request.version3 = 3;
    request.uooCode = 9;
    request.paramsSize = static_cast<quint32>(set.size());
    request.paramsCrc = paramSetCrc(set);
    return request;
}

// A device known under the identity of syncFrom(), in the given state.
UooStateMachine machineIn(int state, bool withNewSet, int leftToSend = 0)
{
    UooRParamsDesc record;
    record.uoo = 9;
    record.device = QStringLiteral("UOO-T");
    record.pversion = QStringLiteral("1.2");
    record.state = state;
    record.uooparams = currentSet;
    if (withNewSet) {
        record.localparams = newSet;
        record.localtime = QDateTime(QDate(2024, 1, 1), QTime(0, 0));
    }
    record.leftToSend = leftToSend;
    UooStateMachine machine;
    machine.restore(record);
    return machine;
}

// The SYNC reply's command, or -1 when the outcome sends no SYNC reply.
int syncCommand(const Outcome& out)
{
    SyncBlock reply;
    if (out.command != PAR_PROTO_SYNC_REQUEST ||
        !SyncBlock::decode(out.payload.data(), out.payloadSize, &reply)) {
        return -1;
    }
    return static_cast<int>(reply.command);
}

} // namespace

class TestUooStateMachine : public QObject
{
    Q_OBJECT
private slots:
    void moves_data();
    void moves();
    void retryDownloadGivesUpAfterThreeRetries();
    void upload();
    void uploadTakesOnlyWhatContinues_data();
    void uploadTakesOnlyWhatContinues();
    void downloadSendsTheSetChunkByChunk();
    void goingOfflineKeepsTheRecord();
};

void TestUooStateMachine::moves_data()
{
    QTest::addColumn<int>("message");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("withNewSet");
    QTest::addColumn<int>("leftToSend");
    QTest::addColumn<int>("stateAfter");
    QTest::addColumn<quint32>("command"); // message code sent, 0 for none
    QTest::addColumn<int>("syncReply");   // command of the SYNC reply, -1 for none
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("note");
    QTest::addColumn<qint64>("noteValue");
    QTest::addColumn<bool>("dirty");
    QTest::addColumn<bool>("recordChanged");
    QTest::addColumn<bool>("reset");

    const quint32 none = 0;
    const quint32 sync = PAR_PROTO_SYNC_REQUEST;
    const quint32 chunk = PAR_PROTO_SEND_REQUEST;
    using M = UooStateMachine;
    // SYNC reporting the current set; from state 3 the new set (see moves()).
    QTest::newRow("sync idle in step, was offline")
        << int(Sync) << 1 << false << 0 << 1 << sync << 1 << 0 << int(M::NoNote) << 0ll << false
        << true << false;
    QTest::newRow("sync idle, new set waiting")
        << int(Sync) << 1 << true << 700 << 1 << sync << 3 << 0 << int(M::NoNote) << 0ll << false
        << true << false;
    QTest::newRow("sync asks upload") << int(Sync) << 0 << false << 0 << 0 << sync << 0 << 0
                                      << int(M::NoNote) << 0ll << true << true << false;
    QTest::newRow("sync confirms") << int(Sync) << 3 << true << 0 << 1 << sync << 1 << 4
                                   << int(M::NoteConfirmed) << 0ll << true << true << false;
    QTest::newRow("sync during download")
        << int(Sync) << 2 << true << 188 << 2 << sync << 3 << 5 << int(M::NoteDownloadBroken) << 0ll
        << true << true << false;
    QTest::newRow("sync waiting update without set")
        << int(Sync) << 3 << false << 0 << 0 << none << -1 << 0 << int(M::NoteNoNewSet) << 3ll
        << true << false << true;
    QTest::newRow("sync unknown state")
        << int(Sync) << 7 << false << 0 << 7 << none << -1 << 0 << int(M::NoteInvalidState) << 0ll
        << false << false << false;
    QTest::newRow("ack idle") << int(Ack) << 1 << true << 0 << 1 << none << -1 << 0
                              << int(M::NoteUnmatchedState) << 1ll << false << false << false;
    QTest::newRow("ack more to send") << int(Ack) << 2 << true << 188 << 2 << chunk << -1 << 0
                                      << int(M::NoNote) << 0ll << true << false << false;
    QTest::newRow("ack all sent") << int(Ack) << 2 << true << 0 << 3 << none << -1 << 0
                                  << int(M::NoteDownloadComplete) << 0ll << true << true << false;
    QTest::newRow("ack without set") << int(Ack) << 2 << false << 0 << 0 << none << -1 << 0
                                     << int(M::NoteNoNewSet) << 2ll << true << false << true;
    QTest::newRow("request idle") << int(DownloadRequest) << 1 << true << 700 << 2 << chunk << -1
                                  << 2 << int(M::NoNote) << 0ll << true << true << false;
    QTest::newRow("request again") << int(DownloadRequest) << 2 << true << 188 << 2 << chunk << -1
                                   << 2 << int(M::NoNote) << 0ll << true << true << false;
    // Nothing scheduled: the device's stored set stays.
    QTest::newRow("request without set")
        << int(DownloadRequest) << 1 << false << 0 << 1 << none << -1 << 0 << int(M::NoteNoNewSet)
        << 2ll << false << false << false;
    QTest::newRow("request waiting update")
        << int(DownloadRequest) << 3 << true << 0 << 3 << none << -1 << 0
        << int(M::NoteUnmatchedState) << 3ll << false << false << false;
    QTest::newRow("finished") << int(DownloadFinished) << 3 << true << 0 << 3
                              << quint32(PAR_PROTO_DWLD_FINISHED_ACK) << -1 << 3 << int(M::NoNote)
                              << 0ll << false << false << false;
    QTest::newRow("finished other set")
        << int(DownloadFinished) << 3 << true << 0 << 3 << none << -1 << 0 << int(M::NoteSetCrc)
        << qint64(paramSetCrc(currentSet)) << false << false << false;
    QTest::newRow("finished during download")
        << int(DownloadFinished) << 2 << true << 0 << 2 << none << -1 << 0
        << int(M::NoteUnmatchedState) << 2ll << false << false << false;
    QTest::newRow("finished without set")
        << int(DownloadFinished) << 3 << false << 0 << 0 << none << -1 << 0 << int(M::NoteNoNewSet)
        << 3ll << true << false << true;
}

void TestUooStateMachine::moves()
{
    QFETCH(int, message);
    QFETCH(int, state);
    QFETCH(bool, withNewSet);
    QFETCH(int, leftToSend);
    QFETCH(int, stateAfter);
    QFETCH(quint32, command);
    QFETCH(int, syncReply);
    QFETCH(int, action);
    QFETCH(int, note);
    QFETCH(qint64, noteValue);
    QFETCH(bool, dirty);
    QFETCH(bool, recordChanged);
    QFETCH(bool, reset);

    UooStateMachine machine = machineIn(state, withNewSet, leftToSend);
    const bool reportsNewSet = state == UooRParamsDesc::PAR_STATE_WAIT_UPD;
    Outcome out;
    switch (message) {
    case Sync:
        out = machine.sync(syncFrom(reportsNewSet ? newSet : currentSet), 0x15, 0x7F000001, 4000);
        QVERIFY(out.descriptorChanged);
        QCOMPARE(machine.descriptor().status, 0x95u);
        QCOMPARE(machine.descriptor().port, 4000u);
        break;
    case Ack:
        out = machine.acknowledged();
        break;
    case DownloadRequest:
        out = machine.downloadRequested();
        break;
    default:
        out = machine.downloadFinished(
            paramSetCrc(note == UooStateMachine::NoteSetCrc ? currentSet : newSet));
        break;
    }

    QCOMPARE(machine.record().state, stateAfter);
    QCOMPARE(out.command, command);
    QCOMPARE(syncCommand(out), syncReply);
    QCOMPARE(int(out.action), action);
    QCOMPARE(int(out.note), note);
    QCOMPARE(out.noteValue, noteValue);
    QCOMPARE(out.dirty, dirty);
    QCOMPARE(out.recordChanged, recordChanged);
    QCOMPARE(out.reset, reset);
    if (reset) {
        QCOMPARE(machine.record(), UooRParamsDesc());
    } else if (message == DownloadRequest) {
        QCOMPARE(machine.record().uooparams, currentSet);
    }
    if (syncReply == 3) {
        SyncBlock reply;
        QVERIFY(SyncBlock::decode(out.payload.data(), out.payloadSize, &reply));
        QCOMPARE(reply.paramsSize, quint32(newSet.size()));
        QCOMPARE(reply.paramsCrc, paramSetCrc(newSet));
        QCOMPARE(reply.uooCode, 9u);
    }
    if (stateAfter == UooRParamsDesc::PAR_STATE_IDLE &&
        action == UooStateMachine::ActionConfirmed) {
        QCOMPARE(machine.record().uooparams, newSet);
        QVERIFY(machine.record().localparams.isEmpty());
        // The next SYNC finds the device in step: no stale set CRC is left behind.
        QCOMPARE(syncCommand(machine.sync(syncFrom(newSet), 0, 0, 0)), 1);
    }
}

void TestUooStateMachine::retryDownloadGivesUpAfterThreeRetries()
{
    UooRParamsDesc d;
    d.state = UooRParamsDesc::PAR_STATE_WAIT_UPD;
    d.localparams = QByteArray(700, 'x');
    d.localtime = QDateTime(QDate(2024, 1, 1), QTime(0, 0));
    UooStateMachine machine;
    machine.restore(d);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        d = machine.record();
        d.leftToSend = 0;
        machine.restore(d);
        const Outcome out = machine.retryDownload(syncFrom(QByteArray()));
        QCOMPARE(machine.record().writeLeft, attempt);
        QCOMPARE(machine.record().state, int(UooRParamsDesc::PAR_STATE_WAIT_DWLD));
        QCOMPARE(machine.record().leftToSend, 700);
        QCOMPARE(syncCommand(out), 3);
        QCOMPARE(int(out.action), int(UooStateMachine::ActionInterrupted));
        QVERIFY(!out.newSetGivenUp);
    }
    const Outcome out = machine.retryDownload(syncFrom(QByteArray()));
    QCOMPARE(machine.record().state, int(UooRParamsDesc::PAR_STATE_IDLE));
    QCOMPARE(machine.record().writeLeft, 0);
    QVERIFY(machine.record().localparams.isEmpty());
    QVERIFY(machine.record().localtime.isNull());
    QCOMPARE(out.command, 0u);
    QCOMPARE(int(out.action), int(UooStateMachine::ActionInterrupted));
    QVERIFY(out.dirty && out.recordChanged && out.newSetGivenUp);
    // Given up: the set CRC went with the set, so an empty set reported in step
    // with an empty copy is answered "in step".
    QCOMPARE(syncCommand(machine.sync(syncFrom(QByteArray()), 0, 0, 0)), 1);
}

void TestUooStateMachine::upload()
{
    UooStateMachine machine;
    const QDateTime stamp(QDate(2024, 3, 7), QTime(13, 5, 9));
    SyncBlock request = syncFrom(currentSet);
    request.setParamsDateTime(stamp);
    QCOMPARE(syncCommand(machine.sync(request, 0, 0, 0)), 0);

    const QByteArray set = QByteArray(600, 'u');
    ParamChunk first = ParamChunk::fromSet(set, 0);
    ParamChunk last = ParamChunk::fromSet(set, 512);
    ParamChunk broken = last;
    broken.crc ^= 1;

    // No room left by the other uploads: dropped unacknowledged, nothing held.
    Outcome out = machine.chunk(first, 511);
    QCOMPARE(out.command, 0u);
    QCOMPARE(int(out.note), int(UooStateMachine::NoteUploadMemory));
    QVERIFY(!out.uploadTaken);
    QCOMPARE(machine.uploadHeld(), qint64(0));

    out = machine.chunk(first, AllRoom);
    QVERIFY(out.uploadTaken);
    QVERIFY(machine.uploadHeld() >= 512);
    QCOMPARE(out.command, quint32(PAR_PROTO_RCV_ACK));
    QCOMPARE(out.value, first.crc);
    QVERIFY(!out.dirty && !out.recordChanged);
    QCOMPARE(machine.record().uploadBuffer, set.left(512));

    out = machine.chunk(broken, AllRoom);
    QCOMPARE(out.command, 0u);
    QCOMPARE(int(out.note), int(UooStateMachine::NoteDataCrc));

    out = machine.chunk(last, AllRoom);
    QCOMPARE(out.command, quint32(PAR_PROTO_RCV_ACK));
    QCOMPARE(out.value, last.crc);
    QCOMPARE(int(out.action), int(UooStateMachine::ActionUploaded));
    QCOMPARE(int(out.note), int(UooStateMachine::NoteUploaded));
    QVERIFY(out.dirty && out.recordChanged);
    QCOMPARE(machine.record().state, int(UooRParamsDesc::PAR_STATE_IDLE));
    QCOMPARE(machine.record().uooparams, set);
    QCOMPARE(machine.record().uootime, stamp);
    QVERIFY(!machine.uploadRunning());

    // The last chunk again (our acknowledgement was lost): acknowledged, not taken.
    out = machine.chunk(last, AllRoom);
    QCOMPARE(out.command, quint32(PAR_PROTO_RCV_ACK));
    QCOMPARE(int(out.action), int(UooStateMachine::NoAction));
    QCOMPARE(machine.record().uooparams, set);
    QVERIFY(machine.record().uploadBuffer.isEmpty());

    // The device now reports the uploaded set: in step.
    request = syncFrom(set);
    request.setParamsDateTime(stamp);
    QCOMPARE(syncCommand(machine.sync(request, 0, 0, 0)), 1);
}

void TestUooStateMachine::uploadTakesOnlyWhatContinues_data()
{
    QTest::addColumn<bool>("asked"); // the server waits for the device's set
    QTest::addColumn<int>("setSize");
    QTest::addColumn<QString>("chunks"); // offsets; "+": more follows (left 1); "drop": given up
    QTest::addColumn<bool>("stored");
    QTest::addColumn<int>("syncReply"); // command of the SYNC reply to the last chunk
    QTest::newRow("in order") << true << 1024 << "0 512" << true << -1;
    QTest::newRow("upload given up meanwhile") << true << 1024 << "0 drop 512" << false << 0;
    QTest::newRow("skips a chunk") << true << 1500 << "0 1024" << false << 0;
    QTest::newRow("empty last chunk") << true << 1024 << "0 512+ 1024" << true << -1;
    QTest::newRow("not asked for") << false << 1024 << "512" << false << -1;
}

void TestUooStateMachine::uploadTakesOnlyWhatContinues()
{
    QFETCH(bool, asked);
    QFETCH(int, setSize);
    QFETCH(QString, chunks);
    QFETCH(bool, stored);
    QFETCH(int, syncReply);

    UooStateMachine machine = machineIn(UooRParamsDesc::PAR_STATE_IDLE, false);
    if (asked) {
        QCOMPARE(syncCommand(machine.sync(syncFrom(newSet), 0, 0, 0)), 0);
    }
    const QByteArray set(setSize, 's');
    const QByteArray held = machine.record().uooparams;
    ParamChunk piece;
    Outcome out;
    for (const QString& step : chunks.split(QLatin1Char(' '))) {
        if (step == QLatin1String("drop")) {
            machine.dropUpload();
            continue;
        }
        piece = ParamChunk::fromSet(set, step.left(step.indexOf(QLatin1Char('+'))).toInt());
        piece.left = step.endsWith(QLatin1Char('+')) ? 1 : piece.left;
        out = machine.chunk(piece, AllRoom);
    }
    QCOMPARE(machine.record().uooparams, stored ? set : held);
    QCOMPARE(int(out.action),
             int(stored ? UooStateMachine::ActionUploaded : UooStateMachine::NoAction));
    const quint32 command = stored           ? quint32(PAR_PROTO_RCV_ACK)
                            : syncReply >= 0 ? quint32(PAR_PROTO_SYNC_REQUEST)
                                             : 0u;
    QCOMPARE(out.command, command);
    QCOMPARE(syncCommand(out), syncReply);
    if (!stored) {
        QCOMPARE(int(out.note), int(UooStateMachine::NoteOutOfSequence));
        QCOMPARE(out.noteValue, qint64(piece.offset));
    }
}

void TestUooStateMachine::downloadSendsTheSetChunkByChunk()
{
    UooStateMachine machine = machineIn(UooRParamsDesc::PAR_STATE_IDLE, true, newSet.size());
    QByteArray received;
    Outcome out = machine.downloadRequested();
    while (out.command == PAR_PROTO_SEND_REQUEST) {
        ParamChunk piece;
        QVERIFY(ParamChunk::decode(out.payload.data(), out.payloadSize, &piece));
        QCOMPARE(piece.offset, quint32(received.size()));
        QCOMPARE(piece.crc, piece.computeCrc());
        received.append(piece.data.data(), static_cast<int>(piece.length));
        QCOMPARE(machine.record().leftToSend, newSet.size() - received.size());
        out = machine.acknowledged();
    }
    QCOMPARE(received, newSet);
    QCOMPARE(machine.record().state, int(UooRParamsDesc::PAR_STATE_WAIT_UPD));
}

void TestUooStateMachine::goingOfflineKeepsTheRecord()
{
    UooStateMachine machine = machineIn(UooRParamsDesc::PAR_STATE_IDLE, true, newSet.size());
    machine.sync(syncFrom(currentSet), 0x15, 0x7F000001, 4000);
    QVERIFY(machine.isOnline());
    const UooRParamsDesc before = machine.record();
    machine.goOffline();
    QVERIFY(!machine.isOnline());
    QCOMPARE(machine.descriptor().status, 0x15u);
    UooRParamsDesc after = machine.record();
    after.flags = before.flags;
    QCOMPARE(after, before);
}

QTEST_GUILESS_MAIN(TestUooStateMachine)
#include "tst_uoostatemachine.moc"
