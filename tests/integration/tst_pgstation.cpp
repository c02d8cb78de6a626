// A station on PostgreSQL, with the real programs over loopback: a device's
// record and the built-in account in the database, the records read back at the
// next start, and the start refused with one line on a wrong connection.

#include "pgtestserver.h"
#include "serverprocess.h"
#include "toolrun.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include <csignal>

namespace {

const QStringList AdminLogin = {"--login", "adminvemo", "--password",
                                 "5f1d0c8e2a7b4963d0e18c2f7a9b3e64"};

} // namespace

class TestPgStation : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(pg.start()); }
    void devicesAndAccountsInTheDatabase();
    void copiedStationServesTheSameDevices();
    void wrongConnectionRefused_data();
    void wrongConnectionRefused();

private:
    PgTestServer pg{QStringLiteral("station")};
};

void TestPgStation::devicesAndAccountsInTheDatabase()
{
    const QString connection = pg.createDatabase();
    QVERIFY(!connection.isEmpty());
    ServerProcess server(QStringLiteral(PARAMSERVER_PATH));
    QVERIFY(server.isValid());
    server.setSetting(QStringLiteral("Storage/Backend"), QStringLiteral("postgresql"));
    server.setSetting(QStringLiteral("Storage/Connection"), connection);
    QVERIFY2(server.start(), qPrintable(server.log()));

    const QStringList sim = {"--uoo", "31", "--params-size", "700"};
    ToolRun run = runUooSim(UOOSIM_PATH, server, sim);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.last(), QStringLiteral("IN_SYNC"));
    QTRY_COMPARE_WITH_TIMEOUT(pg.value(connection, "SELECT state FROM \"desc\" WHERE uoo = 31"),
                              QStringLiteral("1"), 20000);
    QVERIFY(pg.value(connection, "SELECT count(*) FROM log WHERE uoo = 31").toInt() > 0);

    run = runParamCtl(PARAMCTL_PATH, server, AdminLogin + QStringList{"users"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.lines.value(0).startsWith("login=adminvemo\tpermissions=127\t"), qPrintable(run.out));
    int exitCode = -1;
    QVERIFY(server.interrupt(SIGINT, &exitCode));

    // The next start reads the record back from the database: the device is in step.
    QVERIFY2(server.start(), qPrintable(server.log()));
    run = runUooSim(UOOSIM_PATH, server, sim);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.value(1), QStringLiteral("SYNC_REPLY command=1 size=0 crc=0x0000"));
    QVERIFY(server.interrupt(SIGINT, &exitCode));
}

void TestPgStation::copiedStationServesTheSameDevices()
{
    ServerProcess server(QStringLiteral(PARAMSERVER_PATH));
    QVERIFY(server.isValid());
    QVERIFY2(server.start(), qPrintable(server.log()));
    const QStringList sim = {"--uoo", "41", "--params-size", "500"};
    const ToolRun first = runUooSim(UOOSIM_PATH, server, sim);
    QCOMPARE(first.exitCode, 0);
    QCOMPARE(first.lines.last(), QStringLiteral("IN_SYNC"));
    int exitCode = -1;
    QVERIFY(server.interrupt(SIGINT, &exitCode));

    // Write counters on the account, beyond a signed 32-bit lastwrite.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "source");
        db.setDatabaseName(server.directory() + "/vemo_resource.db");
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec("UPDATE rpc_users SET writesleft = 5, lastwrite = 4000000000"));
    }
    QSqlDatabase::removeDatabase("source");

    const QString connection = pg.createDatabase();
    server.setSetting(QStringLiteral("Storage/Backend"), QStringLiteral("postgresql"));
    server.setSetting(QStringLiteral("Storage/Connection"), connection);
    QByteArray out;
    QByteArray err;
    QCOMPARE(server.runToEnd({"--copy-storage"}, &out, &err), 0);
    QVERIFY2(out.startsWith("copied to PostgreSQL: records 1, action-log rows "), out + err);
    QVERIFY2(out.contains(", accounts 1"), out.constData());
    QCOMPARE(pg.value(connection, "SELECT concat_ws(',', login, encode(permissions, 'hex'), writesleft, "
                                  "lastwrite) FROM rpc_users"),
             QStringLiteral("adminvemo,7f,5,4000000000"));
    // A second copy would mix two stations: refused, nothing written.
    QVERIFY(server.runToEnd({"--copy-storage"}, &out, &err) != 0);
    QVERIFY2(err.contains("not empty"), err.constData());
    QCOMPARE(pg.value(connection, "SELECT count(*) FROM \"desc\""), QStringLiteral("1"));

    QVERIFY2(server.start(), qPrintable(server.log()));
    const ToolRun again = runUooSim(UOOSIM_PATH, server, sim);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.lines.value(1), QStringLiteral("SYNC_REPLY command=1 size=0 crc=0x0000"));
    const ToolRun users = runParamCtl(PARAMCTL_PATH, server, AdminLogin + QStringList{"users"});
    QCOMPARE(users.exitCode, 0);
    QVERIFY(users.lines.value(0).startsWith("login=adminvemo\tpermissions=127\t"));
    QVERIFY(server.interrupt(SIGINT, &exitCode));
}

void TestPgStation::wrongConnectionRefused_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("connection");
    QTest::addColumn<QByteArray>("accountsFile");
    QTest::addColumn<QString>("line");  // how the one line begins
    QTest::addColumn<QString>("cause"); // and what it says further on
    const QString host = pg.adminConnection().section(' ', 0, 0);
    const QString otherVersion = pg.createDatabase();
    QVERIFY(pg.exec(otherVersion, "CREATE TABLE vemo_schema (version integer NOT NULL)"));
    QVERIFY(pg.exec(otherVersion, "INSERT INTO vemo_schema VALUES (3)"));
    const QString refused = QStringLiteral("ERROR: Storage/Connection: PostgreSQL отказал в подключении: ");
    QTest::newRow("no such database") << "postgresql" << host + " user=vemo dbname=nowhere"
                                      << QByteArray() << refused
                                      << "database nowhere does not exist";
    QTest::newRow("login refused") << "postgresql" << otherVersion + " user=nobody"
                                   << QByteArray() << refused << "role nobody does not exist";
    QTest::newRow("schema of another version")
        << "postgresql" << otherVersion << QByteArray()
        << "ERROR: Storage/Connection: база PostgreSQL не подходит: "
        << "schema version 3, this program uses 2";
    QTest::newRow("unparsable") << "postgresql" << "host='unterminated" << QByteArray()
                                << "ERROR: Storage/Connection: " << "строка подключения";
    QTest::newRow("unknown backend") << "oracle" << QString() << QByteArray()
                                     << "ERROR: Storage/Backend: " << "oracle";
    // The start-up failure of the accounts file, for comparison: the same end.
    QTest::newRow("damaged accounts file")
        << "sqlite" << QString() << QByteArray(4096, 'x') << "ERROR: Ошибка проверки"
        << "Требуется ручное восстановление";
}

void TestPgStation::wrongConnectionRefused()
{
    QFETCH(QString, backend);
    QFETCH(QString, connection);
    QFETCH(QByteArray, accountsFile);
    QFETCH(QString, line);
    QFETCH(QString, cause);
    ServerProcess server(QStringLiteral(PARAMSERVER_PATH));
    QVERIFY(server.isValid());
    server.setSetting(QStringLiteral("Storage/Backend"), backend);
    server.setSetting(QStringLiteral("Storage/Connection"), connection);
    if (!accountsFile.isNull()) {
        QFile file(server.directory() + "/vemo_resource.db");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(accountsFile) == accountsFile.size());
    }
    QVERIFY(server.launch());
    QVERIFY2(server.waitForLog(line), qPrintable(server.log()));
    // One line, whole: the cause is on it, not on lines of its own.
    const QStringList lines = server.log().split('\n').filter(line);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(cause), qPrintable(server.log()));
    QVERIFY2(!server.log().contains("QPSQL"), qPrintable(server.log()));
    // Nothing was started on an empty store by mistake, and the process ends as
    // after any start-up failure: it stays without servers until it is stopped.
    QVERIFY(!server.log().contains("Инициализация ресурсов завершена"));
    QTcpSocket rpc;
    rpc.connectToHost(QHostAddress::LocalHost, server.rpcPort());
    QVERIFY(!rpc.waitForConnected(5000));
    QVERIFY(server.isRunning());
    int exitCode = -1;
    QVERIFY(server.interrupt(SIGINT, &exitCode));
    QCOMPARE(exitCode, 0);
}

QTEST_GUILESS_MAIN(TestPgStation)
#include "tst_pgstation.moc"
