// The parameters store on a real PostgreSQL of the test's own: round trips of
// desc and log, the repairs of a read, the schema version, and the writer across
// a server that stops and comes back or a connection that is killed, tables of
// another shape left as they are, and a table dropped by hand made again.

#include "logcapture.h"
#include "paramspersistence.h"
#include "pgaccountstore.h"
#include "pgparamsdatabase.h"
#include "pgtestserver.h"

#include <QMap>
#include <QtTest>

#include <memory>

namespace {

// The records as the server holds them, for the persistence.
class RecordMap : public ParamsRecordSource
{
public:
    const UooRParamsDesc* persistedRecord(quint32 code) const override
    {
        const auto it = records.find(code);
        return it == records.end() ? nullptr : &it.value();
    }
    QVector<quint32> persistedCodes() const override
    {
        const QList<quint32> keys = records.keys();
        return QVector<quint32>(keys.begin(), keys.end());
    }
    void mergeStoredRows(const QVector<ParamsRow>& rows) override
    {
        for (const ParamsRow& row : rows) {
            if (!records.contains(row.uoo)) {
                records.insert(row.uoo, row.record);
            }
        }
    }
    QMap<quint32, UooRParamsDesc> records;
};

UooRParamsDesc record(quint32 uoo, int state, const QByteArray& set, const QString& device)
{
    UooRParamsDesc r;
    r.uoo = uoo;
    r.state = state;
    r.device = device;
    r.pversion = QStringLiteral("1");
    r.uooparams = set;
    r.localparams = set.isEmpty() ? QByteArray() : set + "\x00\xff";
    r.leftToSend = r.localparams.size();
    r.writeLeft = 3;
    r.uootime = QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58, 125));
    return r;
}

} // namespace

class TestPgParamsStore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(server.start()); }
    void init()
    {
        connection = server.createDatabase();
        QVERIFY(!connection.isEmpty());
        store = std::make_unique<PgParamsDatabase>(QStringLiteral("test"), connection);
        QVERIFY(store->openConnection());
        QString error;
        QCOMPARE(store->prepareFile(&error), ParamsStore::Failure::None);
    }
    void cleanup()
    {
        persistence.reset();
        map.records.clear();
        store.reset();
    }

    void roundTrip_data();
    void roundTrip();
    void readRepairs_data();
    void readRepairs();
    void otherSchemaVersionRefused();
    void tableOfAnotherShapeLeftInPlace_data();
    void tableOfAnotherShapeLeftInPlace();
    void writesWaitForStoppedServer();
    void killedConnectionIsReopened();
    void droppedTableMadeAgain_data();
    void droppedTableMadeAgain();

private:
    QVector<ParamsRow> readBack(int maxSetSize = 1 << 20, ParamsStore::ReadReport* report = nullptr)
    {
        PgParamsDatabase reader(QStringLiteral("reader"), connection);
        ParamsStore::ReadReport local;
        reader.openConnection();
        return reader.readRecords(maxSetSize, report != nullptr ? report : &local);
    }
    StorageSettings pgSettings() const
    {
        StorageSettings settings;
        settings.backend = StorageSettings::Backend::PostgreSql;
        settings.connection = connection;
        return settings;
    }
    // The persistence thread on the test database in place of the store: loads
    // the (empty) database and waits until record 1 is written through.
    void startPersistence()
    {
        store.reset();
        persistence = std::make_unique<ParamsPersistence>(&map, nullptr, nullptr, pgSettings());
        persistence->load(1 << 20);
        QVERIFY(persistence->isLoaded());
        map.records.insert(1, record(1, 1, "a", "one"));
        persistence->markDirty(1);
        QTRY_COMPARE(count("\"desc\""), 1);
    }
    int count(const QString& table)
    {
        return server.value(connection, QStringLiteral("SELECT count(*) FROM ") + table).toInt();
    }

    PgTestServer server{QStringLiteral("params")};
    QString connection;
    std::unique_ptr<PgParamsDatabase> store;
    RecordMap map;
    std::unique_ptr<ParamsPersistence> persistence;
};

void TestPgParamsStore::roundTrip_data()
{
    QTest::addColumn<UooRParamsDesc>("written");
    QTest::addColumn<QString>("remark");
    QTest::newRow("idle with sets") << record(7, 1, QByteArray("\x01\x00\x5c\x78", 4), "УОО-7")
                                    << QStringLiteral("принято");
    QTest::newRow("no sets, no times") << record(8, 0, QByteArray(), QString()) << QString();
    QTest::newRow("highest code") << record(0xFFFFFFFFu, 3, QByteArray(300, 'a'), "x")
                                  << QStringLiteral("'; DROP TABLE log; --");
}

void TestPgParamsStore::roundTrip()
{
    QFETCH(UooRParamsDesc, written);
    QFETCH(QString, remark);
    UooRParamsDesc older = written;
    older.state = 2;
    older.uooparams = "old";
    const QDateTime now(QDate(2025, 1, 2), QTime(3, 4, 5, 6));
    QCOMPARE(store->writeBatch({{written.uoo, older}}, {}).failure, ParamsStore::Failure::None);
    QCOMPARE(store->writeBatch({{written.uoo, written}}, {{written.uoo, 5, now, remark}}).failure,
             ParamsStore::Failure::None);

    const QVector<ParamsRow> rows = readBack();
    QCOMPARE(rows.size(), 1); // the second write replaced the first
    const UooRParamsDesc& r = rows[0].record;
    QCOMPARE(rows[0].uoo, written.uoo);
    QCOMPARE(r.state, written.state);
    QCOMPARE(r.writeLeft, written.writeLeft);
    QCOMPARE(r.leftToSend, written.leftToSend);
    QCOMPARE(r.device, written.device.isNull() ? QString("") : written.device);
    QCOMPARE(r.pversion, written.pversion);
    QCOMPARE(r.uootime, written.uootime);
    QCOMPARE(r.localtime, written.localtime);
    QCOMPARE(r.uooparams, written.uooparams);
    QCOMPARE(r.localparams, written.localparams);
    QCOMPARE(count("log"), 1);
    QCOMPARE(server.value(connection, "SELECT remark FROM log"), remark.isNull() ? "" : remark);
    QCOMPARE(server.value(connection, "SELECT to_char(\"time\", 'YYYY-MM-DD HH24:MI:SS.MS')"
                                      " FROM log"),
             now.toString("yyyy-MM-dd HH:mm:ss.zzz"));
}

void TestPgParamsStore::readRepairs_data()
{
    QTest::addColumn<QString>("values");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("uooparamsSize");
    QTest::addColumn<int>("localparamsSize");
    QTest::addColumn<bool>("repaired");
    QTest::newRow("sound") << "1, 0, 0, 'd', '1', NULL, NULL, NULL, '\\x01'::bytea, NULL" << 1 << 1
                           << 0 << false;
    QTest::newRow("null state") << "NULL, 0, 0, 'd', '1', NULL, NULL, NULL, NULL, NULL" << 0 << 0
                                << 0 << true;
    QTest::newRow("upload too large")
        << "1, 0, 0, 'd', '1', NULL, NULL, NULL, decode(repeat('00', 300), 'hex'), NULL" << 0 << 0
        << 0 << true;
    QTest::newRow("new set too large")
        << "2, 5, 300, 'd', '1', NULL, NULL, now(), '\\x01'::bytea, "
           "decode(repeat('00', 300), 'hex')"
        << 1 << 1 << 0 << true;
}

void TestPgParamsStore::readRepairs()
{
    QFETCH(QString, values);
    QFETCH(int, state);
    QFETCH(int, uooparamsSize);
    QFETCH(int, localparamsSize);
    QFETCH(bool, repaired);
    QVERIFY(server.exec(connection, "INSERT INTO \"desc\" VALUES (9, " + values + ")"));
    ParamsStore::ReadReport report;
    const QVector<ParamsRow> rows = readBack(256, &report);
    QCOMPARE(report.failure, ParamsStore::Failure::None);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(report.rowsRepaired, repaired ? 1 : 0);
    QCOMPARE(rows[0].record.state, state);
    QCOMPARE(rows[0].record.uooparams.size(), uooparamsSize);
    QCOMPARE(rows[0].record.localparams.size(), localparamsSize);
    QCOMPARE(count("\"desc\""), 1); // nothing deleted to repair it
}

void TestPgParamsStore::otherSchemaVersionRefused()
{
    QVERIFY(server.exec(connection, "UPDATE vemo_schema SET version = 99"));
    PgParamsDatabase other(QStringLiteral("other"), connection);
    QString error;
    QCOMPARE(other.prepareFile(&error), ParamsStore::Failure::Damaged);
    QVERIFY2(error.contains("99"), qPrintable(error));
}

void TestPgParamsStore::tableOfAnotherShapeLeftInPlace_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("column dropped") << "ALTER TABLE \"desc\" DROP COLUMN pversion";
    QTest::newRow("key of another type") << "ALTER TABLE \"desc\" ALTER COLUMN uoo TYPE text";
    QTest::newRow("state of another type")
        << "ALTER TABLE \"desc\" ALTER COLUMN state TYPE text USING 'x' || state";
}

void TestPgParamsStore::tableOfAnotherShapeLeftInPlace()
{
    QFETCH(QString, change);
    QVERIFY(server.exec(connection, "INSERT INTO \"desc\" (uoo, state) VALUES (5, 1), (6, 2)"));
    QVERIFY(server.exec(connection, change));
    store.reset();
    LogCapture log;
    persistence = std::make_unique<ParamsPersistence>(&map, nullptr, nullptr, pgSettings());
    persistence->load(1 << 20);
    QVERIFY(!persistence->isLoaded());
    QVERIFY2(log.count("Ничего не переименовано и не удалено, строки оставлены в базе") == 1,
             qPrintable(log.texts().join('\n')));
    QVERIFY2(log.contains("прочитано записей: 0, исправлено: 0, пропущено: 0"),
             qPrintable(log.texts().join('\n')));
    QVERIFY(!log.contains("переименовать"));
    QCOMPARE(count("\"desc\""), 2);
}

void TestPgParamsStore::writesWaitForStoppedServer()
{
    startPersistence();
    if (QTest::currentTestFailed())
        return;

    QVERIFY(server.stop());
    for (quint32 code = 2; code <= 50; ++code) {
        map.records.insert(code, record(code, 1, "b", "more"));
        persistence->markDirty(code);
        persistence->logAction(code, 7);
    }
    QTRY_VERIFY_WITH_TIMEOUT(persistence->isWriteFailing(), 20000);
    QCOMPARE(persistence->unsavedRecords(), 49); // nothing dropped meanwhile
    QVERIFY(server.start());
    QTRY_VERIFY_WITH_TIMEOUT(!persistence->isWriteFailing(), 30000);
    QCOMPARE(persistence->unsavedRecords(), 0);
    QCOMPARE(count("\"desc\""), 50);
    QCOMPARE(count("log"), 49);
}

void TestPgParamsStore::killedConnectionIsReopened()
{
    startPersistence();
    if (QTest::currentTestFailed())
        return;
    const QString db = connection.section("dbname=", 1);
    QVERIFY(server.exec(server.adminConnection(),
                        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                            db + "' AND pid <> pg_backend_pid()"));
    map.records.insert(2, record(2, 1, "b", "two"));
    persistence->markDirty(2);
    persistence->logAction(2, 7);
    QTRY_VERIFY_WITH_TIMEOUT(count("log") == 1 && persistence->unsavedRecords() == 0, 30000);
    QCOMPARE(count("\"desc\""), 2);
    // The operator's path: written at once, on the reopened connection.
    map.records[2].state = 2;
    QVERIFY(persistence->writeNow(2));
    QCOMPARE(server.value(connection, "SELECT state FROM \"desc\" WHERE uoo = 2"), "2");
}

void TestPgParamsStore::droppedTableMadeAgain_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("logRows");
    QTest::newRow("desc") << "desc" << 2;
    QTest::newRow("log") << "log" << 1;
    QTest::newRow("rpc_users") << "rpc_users" << 2;
}

void TestPgParamsStore::droppedTableMadeAgain()
{
    QFETCH(QString, table);
    QFETCH(int, logRows);
    startPersistence();
    if (QTest::currentTestFailed())
        return;
    persistence->logAction(1, 7);
    QTRY_COMPARE(count("log"), 1);
    PgAccountStore accounts(connection);
    QVERIFY(accounts.exists(QStringLiteral("adminvemo")));

    QVERIFY(server.exec(connection, "DROP TABLE \"" + table + "\""));
    LogCapture log;
    map.records.insert(2, record(2, 1, "b", "two"));
    persistence->markDirty(2);
    persistence->logAction(2, 7);
    QVERIFY(accounts.add(QStringLiteral("operator"), QStringLiteral("0123456789abcdef0123456789abcdef"),
                         {3}, QStringLiteral("Оператор")));
    QTRY_VERIFY_WITH_TIMEOUT(
        persistence->unsavedRecords() == 0 && persistence->unsavedLogRows() == 0, 20000);
    // A recreated desc holds every record again, the one written before too.
    QTRY_COMPARE(count("\"desc\""), 2);
    QCOMPARE(count("log"), logRows);
    QCOMPARE(count("rpc_users"), 2); // the built-in account is in a recreated table too
    QVERIFY(accounts.exists(QStringLiteral("adminvemo")));
    QCOMPARE(log.count("В базе PostgreSQL не было таблиц: " + table + ";"), 1);
    QCOMPARE(log.count("созданы заново"), 1);
}

QTEST_GUILESS_MAIN(TestPgParamsStore)
#include "tst_pgparamsstore.moc"
