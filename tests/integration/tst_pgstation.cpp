// A station on PostgreSQL, with the real programs over loopback: a device's
// record and the built-in account in the database, the records read back at the
// next start, and the start refused with one line on a wrong connection.

#include "pgtestserver.h"
#include "serverprocess.h"
#include "toolrun.h"

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
    QTest::addColumn<QString>("line");
    const QString host = pg.adminConnection().section(' ', 0, 0);
    QTest::newRow("no such database") << "postgresql" << host + " user=vemo dbname=nowhere"
                                      << "ERROR: Storage/Connection: ";
    QTest::newRow("unparsable") << "postgresql" << "host='unterminated"
                                << "ERROR: Storage/Connection: ";
    QTest::newRow("unknown backend") << "oracle" << QString() << "ERROR: Storage/Backend: ";
}

void TestPgStation::wrongConnectionRefused()
{
    QFETCH(QString, backend);
    QFETCH(QString, connection);
    QFETCH(QString, line);
    ServerProcess server(QStringLiteral(PARAMSERVER_PATH));
    QVERIFY(server.isValid());
    server.setSetting(QStringLiteral("Storage/Backend"), backend);
    server.setSetting(QStringLiteral("Storage/Connection"), connection);
    QVERIFY(server.launch());
    QVERIFY2(server.waitForLog(line), qPrintable(server.log()));
    // Nothing was started on an empty store by mistake.
    QVERIFY(!server.log().contains("Инициализация ресурсов завершена"));
    int exitCode = -1;
    QVERIFY(server.interrupt(SIGINT, &exitCode));
}

QTEST_GUILESS_MAIN(TestPgStation)
#include "tst_pgstation.moc"
