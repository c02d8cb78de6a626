// The parameters database: table creation, round trips of desc, the action log,
// the prompt write of changed records and the atomic full save.

#include "paramtestsupport.h"

#include <QSqlError>
#include <QSqlQuery>

#include <limits>

using namespace paramtest;

class TestParamsDatabase : public QObject
{
    Q_OBJECT
private slots:
    void firstStartCreatesTables();
    void onlyMissingTableCreated();
    void roundTrip_data();
    void roundTrip();
    void largeLoadKeepsEveryRow();
    void destructionWritesAscending();
    void stopWritesOnlyChanges();
    void storedDownloadRestarts();
    void changesPersistWithinASecond();
    void failedSaveKeepsRows();
    void failedPromptWriteKeepsRows();
    void actionLogRows();
    void actionLogFailure();
    void unopenableFile();
};

namespace {

QVector<ParamsRow> loadWithSecondConnection()
{
    ParamsDatabase db(QStringLiteral("second"));
    if (!db.open()) {
        return {};
    }
    ParamsDatabase::ReadReport report;
    return db.readRecords(std::numeric_limits<int>::max(), &report);
}

} // namespace

void TestParamsDatabase::firstStartCreatesTables()
{
    Harness h(false);
    LogCapture log;
    h.createServer();
    QVERIFY(QFile::exists(QStringLiteral("params_upd.db")));
    const QStringList texts = log.texts();
    const int logIndex = texts.indexOf(QStringLiteral("Создание таблицы параметров  log"));
    const int descIndex = texts.indexOf(QStringLiteral("Создание таблицы параметров  desc"));
    QVERIFY2(logIndex >= 0 && descIndex > logIndex, qPrintable(texts.join('\n')));
    QVERIFY(texts.contains(QStringLiteral("Режим журналирования БД ресурсов выставлен в  wal")));
    QVERIFY(h.server->uooDescriptors().isEmpty());

    FileProbe probe;
    QCOMPARE(probe.column(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = 'log'")),
             QVariantList{QStringLiteral("CREATE TABLE log (id INTEGER PRIMARY KEY, message "
                                         "INTEGER, uoo INTEGER, time INTEGER, remark INTEGER)")});
    QCOMPARE(probe.column(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = 'desc'")),
             QVariantList{QStringLiteral(
                 "CREATE TABLE desc (uoo INTEGER PRIMARY KEY, state INTEGER, writeLeft INTEGER, "
                 "leftToSend INTEGER, device INTEGER, pversion INTEGER, uootime INTEGER, "
                 "uootimetemp INTEGER,localtime INTEGER, uooparams INTEGER, localparams "
                 "INTEGER)")});
}

void TestParamsDatabase::onlyMissingTableCreated()
{
    Harness h(false);
    {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("CREATE TABLE desc (uoo INTEGER PRIMARY KEY, state "
                                          "INTEGER, writeLeft INTEGER, leftToSend INTEGER, device "
                                          "INTEGER, pversion INTEGER, uootime INTEGER, "
                                          "uootimetemp INTEGER,localtime INTEGER, uooparams "
                                          "INTEGER, localparams INTEGER)")));
    }
    LogCapture log;
    h.createServer();
    QCOMPARE(log.countStarting(QStringLiteral("Создание таблицы параметров ")), 1);
    QVERIFY(log.texts().contains(QStringLiteral("Создание таблицы параметров  log")));
}

void TestParamsDatabase::roundTrip_data()
{
    QTest::addColumn<QDateTime>("uootime");
    QTest::addColumn<QDateTime>("localtime");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QByteArray>("params");
    QTest::newRow("times with msecs")
        << QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9, 123))
        << QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59, 999)) << QStringLiteral("УОО-4")
        << QByteArray("\x00\x01\x02\xFF", 4);
    QTest::newRow("null times, empty texts")
        << QDateTime() << QDateTime() << QString() << QByteArray();
}

void TestParamsDatabase::roundTrip()
{
    QFETCH(QDateTime, uootime);
    QFETCH(QDateTime, localtime);
    QFETCH(QString, device);
    QFETCH(QByteArray, params);
    Harness h(false);
    ParamsRow row;
    row.uoo = 0xFFFFFFF0u; // above the signed range of the stored key
    UooRParamsDesc& r = row.record;
    r.uoo = row.uoo;
    r.state = 3;
    r.writeLeft = 2;
    r.leftToSend = 17;
    r.device = device;
    r.pversion = QStringLiteral("p1");
    r.uootime = uootime;
    r.uootimetemp = localtime;
    r.localtime = localtime;
    r.uooparams = params;
    r.localparams = params + params;
    seedRows({row});

    const QVector<ParamsRow> rows = loadWithSecondConnection();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].uoo, row.uoo);
    const UooRParamsDesc& l = rows[0].record;
    QCOMPARE(l.uoo, r.uoo);
    QCOMPARE(l.state, 3);
    QCOMPARE(l.writeLeft, 2);
    QCOMPARE(l.leftToSend, 17);
    QCOMPARE(l.device, device);
    QCOMPARE(l.pversion, r.pversion);
    QCOMPARE(l.uootime.isNull(), uootime.isNull());
    QCOMPARE(l.uootime, uootime);
    QCOMPARE(l.uootimetemp, localtime);
    QCOMPARE(l.localtime.isNull(), localtime.isNull());
    QCOMPARE(l.localtime, localtime);
    QCOMPARE(l.uooparams, params);
    QCOMPARE(l.localparams, params + params);
    QCOMPARE(l.flags, 0);
    QVERIFY(l.lastSeen.isNull());

    // And through the server: loaded, then written back unchanged at destruction.
    h.createServer();
    const UooRParamsDesc s = h.server->uooParamsDesc(row.uoo);
    QCOMPARE(s.state, 3);
    QCOMPARE(s.localtime, localtime);
    QVERIFY(!s.isOnline());
    h.destroyServer();
    const QVector<ParamsRow> again = loadWithSecondConnection();
    QCOMPARE(again.size(), 1);
    QCOMPARE(again[0].record.uootime, uootime);
    QCOMPARE(again[0].record.localparams, params + params);
}

// The start-up read hands its rows over in chunks from another thread: a table
// of several chunks arrives whole, each row with its own record.
void TestParamsDatabase::largeLoadKeepsEveryRow()
{
    Harness h(false);
    constexpr quint32 Rows = 40000; // more than two chunks
    QVector<ParamsRow> rows(static_cast<int>(Rows));
    for (quint32 i = 0; i < Rows; ++i) {
        ParamsRow& row = rows[static_cast<int>(i)];
        row.uoo = 3 * i + 1;
        row.record.uoo = row.uoo;
        row.record.state = UooRParamsDesc::PAR_STATE_IDLE;
        row.record.device = QStringLiteral("d%1").arg(row.uoo);
        row.record.uooparams = QByteArray::number(row.uoo);
    }
    seedRows(rows);
    h.createServer();
    QCOMPARE(h.server->deviceCount(), static_cast<int>(Rows));
    for (quint32 i : {0u, 16383u, 16384u, 32768u, Rows - 1}) {
        const quint32 uoo = 3 * i + 1;
        const UooRParamsDesc record = h.server->uooParamsDesc(uoo);
        QCOMPARE(record.uoo, uoo);
        QCOMPARE(record.device, QStringLiteral("d%1").arg(uoo));
        QCOMPARE(record.uooparams, QByteArray::number(uoo));
    }
    QVERIFY(!h.server->uooParamsDesc(3).uoo);
}

void TestParamsDatabase::destructionWritesAscending()
{
    Harness h;
    {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("CREATE TABLE inserted (seq INTEGER PRIMARY KEY, uoo "
                                          "INTEGER)")));
        QVERIFY(probe.exec(QStringLiteral("CREATE TRIGGER track AFTER INSERT ON desc BEGIN "
                                          "INSERT INTO inserted (uoo) VALUES (NEW.uoo); END")));
    }
    for (quint32 uoo : {9u, 3u, 7u}) {
        h.exchange(syncRequest(uoo, 0, 0));
    }
    h.destroyServer();
    FileProbe probe;
    QCOMPARE(probe.column(QStringLiteral("SELECT COUNT(*) FROM desc")), QVariantList{3});
    // The last full write inserted the rows in ascending order.
    const QVariantList order =
        probe.column(QStringLiteral("SELECT uoo FROM inserted ORDER BY seq DESC LIMIT 3"));
    QCOMPARE(order, (QVariantList{9, 7, 3}));
}

// The stop writes what changed and removes nothing: a row that another program
// added after the load is still there, unchanged rows are not written again.
void TestParamsDatabase::stopWritesOnlyChanges()
{
    Harness h(false);
    const ParamsRow kept = storedRow(2, 1, "unchanged");
    seedRows({kept});
    h.createServer();
    {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("INSERT INTO desc (uoo, state) VALUES (777, 1)")));
        QVERIFY(probe.exec(QStringLiteral("CREATE TABLE written (uoo INTEGER)")));
        QVERIFY(probe.exec(QStringLiteral("CREATE TRIGGER track AFTER INSERT ON desc BEGIN "
                                          "INSERT INTO written VALUES (NEW.uoo); END")));
    }
    h.exchange(syncRequest(9, 0, 0));
    h.destroyServer();
    FileProbe probe;
    QCOMPARE(probe.column(QStringLiteral("SELECT uoo FROM desc ORDER BY uoo")),
             (QVariantList{2, 9, 777}));
    QCOMPARE(probe.column(QStringLiteral("SELECT uoo FROM written")), QVariantList{9});
}

void TestParamsDatabase::storedDownloadRestarts()
{
    Harness h(false);
    ParamsRow row = storedRow(5, 2, patternSet(40));
    row.record.leftToSend = 188;
    row.record.localparams = patternSet(700, 2);
    seedRows({row});
    h.createServer();
    UooRParamsDesc loaded = h.server->uooParamsDesc(5);
    QCOMPARE(loaded.state, 2);
    QVERIFY(!loaded.isOnline());
    QCOMPARE(loaded.leftToSend, 188);
    const QList<Reply> r = h.exchange(syncRequestFor(5, patternSet(40)));
    QCOMPARE(r.size(), 1);
    QCOMPARE(r[0].sync().command, 3u);
    QCOMPARE(r[0].sync().paramsSize, 700u);
    QCOMPARE(r[0].sync().paramsCrc, paramSetCrc(patternSet(700, 2)));
    QCOMPARE(h.server->uooParamsDesc(5).writeLeft, 1);
    QCOMPARE(h.server->uooParamsDesc(5).leftToSend, 700);
}

void TestParamsDatabase::changesPersistWithinASecond()
{
    Harness h;
    const QByteArray set = patternSet(777);
    h.makeIdle(11, set);
    // The server stays alive: a second reader of the file sees the record once the
    // pending write has run.
    QTRY_VERIFY_WITH_TIMEOUT(
        [] {
            const QVector<ParamsRow> rows = loadWithSecondConnection();
            return rows.size() == 1 && rows[0].uoo == 11 && rows[0].record.state == 1;
        }(),
        15000);
    QCOMPARE(loadWithSecondConnection()[0].record.uooparams, set);

    UooRParamsDesc request;
    request.localparams = patternSet(300, 9);
    QVERIFY(h.server->scheduleNewParams(11, request));
    QTRY_VERIFY_WITH_TIMEOUT(
        loadWithSecondConnection().value(0).record.localparams == request.localparams, 15000);
    QVERIFY(h.server != nullptr);
}

void TestParamsDatabase::failedSaveKeepsRows()
{
    Harness h(false);
    seedRows({storedRow(1, 1, "first"), storedRow(2, 1, "second")});
    {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON desc WHEN "
                                          "NEW.uoo = 666 BEGIN SELECT RAISE(ABORT, 'refused'); "
                                          "END")));
    }
    h.createServer();
    h.exchange(syncRequest(666, 0, 0));
    QVERIFY(h.server->cancelNewParams(1, UooRParamsDesc()));
    LogCapture log;
    h.destroyServer();
    QVERIFY2(log.countStarting(QStringLiteral("Ошибка записи в БД параметров: ")) == 1,
             qPrintable(log.texts().join('\n')));

    const QVector<ParamsRow> rows = loadWithSecondConnection();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].record.uooparams, QByteArray("first"));
    QCOMPARE(rows[1].record.uooparams, QByteArray("second"));
}

void TestParamsDatabase::failedPromptWriteKeepsRows()
{
    Harness h(false);
    seedRows({storedRow(1, 1, "first")});
    {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON desc WHEN "
                                          "NEW.uoo = 666 BEGIN SELECT RAISE(ABORT, 'refused'); "
                                          "END")));
    }
    LogCapture log;
    h.createServer();
    // Both records change; the batch with 666 fails as a whole.
    h.exchange(syncRequest(666, 0, 0));
    h.exchange(syncRequest(1, 0, 0));
    QTRY_VERIFY_WITH_TIMEOUT(
        log.countStarting(QStringLiteral("Ошибка записи в БД параметров: ")) >= 1, 15000);
    const QVector<ParamsRow> rows = loadWithSecondConnection();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].record.state, 1);
    QCOMPARE(rows[0].record.uooparams, QByteArray("first"));
}

void TestParamsDatabase::actionLogRows()
{
    Harness h;
    h.clock.setDateTime(QDateTime(QDate(2024, 4, 5), QTime(6, 7, 8)));
    h.makeIdle(15, patternSet(20));
    FileProbe probe;
    // Action-log rows reach the file with the next batch, within about a second.
    QTRY_COMPARE(probe.column(QStringLiteral("SELECT message FROM log")), QVariantList{1});
    QCOMPARE(probe.column(QStringLiteral("SELECT uoo FROM log")), QVariantList{15});
    QCOMPARE(probe.column(QStringLiteral("SELECT remark FROM log")).value(0).toString(), QString());
    QCOMPARE(probe.column(QStringLiteral("SELECT time FROM log")).value(0).toDateTime(),
             QDateTime(QDate(2024, 4, 5), QTime(6, 7, 8)));
}

void TestParamsDatabase::actionLogFailure()
{
    Harness h;
    {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("DROP TABLE log")));
    }
    h.exchange(syncRequest(16, 20, paramSetCrc(patternSet(20))));
    LogCapture log;
    const QList<Reply> r = h.exchange(chunkDatagram(16, patternSet(20), 0));
    // The action is still carried out and acknowledged.
    QCOMPARE(r.size(), 1);
    QCOMPARE(h.server->uooParamsDesc(16).state, 1);
    QTRY_COMPARE(log.countStarting(QStringLiteral("SQL error in logParamAction: ")), 1);
}

void TestParamsDatabase::unopenableFile()
{
    Harness h(false);
    QVERIFY(QDir().mkdir(QStringLiteral("params_upd.db"))); // a directory cannot be opened
    LogCapture log;
    h.createServer();
    QVERIFY(log.texts().contains(QStringLiteral("ERROR: Ошибка открытия файла БД параметров")));
    // The server works with empty maps, without logging or saving.
    QCOMPARE(h.exchange(syncRequest(3, 0, 0)).size(), 1);
    h.destroyServer();
    QVERIFY(QFileInfo(QStringLiteral("params_upd.db")).isDir());
}

QTEST_GUILESS_MAIN(TestParamsDatabase)
#include "tst_paramsdatabase.moc"
