// The built-in administrator account of a new PostgreSQL database, whichever
// store reaches the database first, and a copy of a station's SQLite files into
// such a database, on a real PostgreSQL of the test's own.

#include "paramsdatabase.h"
#include "pgaccountstore.h"
#include "pgconnection.h"
#include "pgparamsdatabase.h"
#include "pgtestserver.h"
#include "rpcaccountstore.h"
#include "storagecopy.h"

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

class TestPgBuiltInAccount : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void seededOnceThenReplacedByCopy_data();
    void seededOnceThenReplacedByCopy();

private:
    QString file(const char* name) const { return dir.filePath(QLatin1String(name)); }

    PgTestServer server{QStringLiteral("builtin")};
    QTemporaryDir dir;
};

void TestPgBuiltInAccount::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(dir.isValid());
    {
        ParamsDatabase params(QStringLiteral("source_params"), file("params.db"));
        QString error;
        QVERIFY(params.openConnection());
        QCOMPARE(params.prepareFile(&error), ParamsStore::Failure::None);
        params.close();
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "source_accounts");
        db.setDatabaseName(file("accounts.db"));
        QVERIFY(db.open());
        RpcAccountStore accounts(db);
        QVERIFY(accounts.ensureTable());
        QVERIFY(accounts.add(QStringLiteral("operator1"), QStringLiteral("0123456789abcdef0123456789abcdef"),
                             {3}, QStringLiteral("Operator")));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("source_accounts"));
}

void TestPgBuiltInAccount::seededOnceThenReplacedByCopy_data()
{
    QTest::addColumn<QStringList>("creators");
    QTest::newRow("records store first") << QStringList{"records", "accounts"};
    QTest::newRow("account store first") << QStringList{"accounts", "records"};
    QTest::newRow("records store alone") << QStringList{"records"};
    QTest::newRow("bare connection (copy target)") << QStringList{"connection", "accounts"};
}

void TestPgBuiltInAccount::seededOnceThenReplacedByCopy()
{
    QFETCH(QStringList, creators);
    const QString connection = server.createDatabase();
    QVERIFY(!connection.isEmpty());
    for (const QString& creator : creators) {
        QString error;
        if (creator == QLatin1String("records")) {
            PgParamsDatabase records(QStringLiteral("records"), connection);
            QCOMPARE(records.prepareFile(&error), ParamsStore::Failure::None);
        } else if (creator == QLatin1String("accounts")) {
            PgAccountStore accounts(connection);
            QCOMPARE(accounts.prepare(&error), PgConnection::Failure::None);
        } else {
            PgConnection bare(QStringLiteral("bare"), connection);
            PgConnection::Failure failure = PgConnection::Failure::None;
            QVERIFY(bare.ensureOpen(&failure, &error));
            QCOMPARE(bare.ensureSchema(&error), PgConnection::Failure::None);
        }
    }
    // As on a new accounts file: one built-in account with every permission.
    QCOMPARE(server.value(connection, "SELECT count(*) FROM rpc_users"), QStringLiteral("1"));
    QCOMPARE(server.value(connection, "SELECT count(*) FROM rpc_users WHERE login = 'adminvemo' "
                                      "AND pwd = '5f1d0c8e2a7b4963d0e18c2f7a9b3e64' "
                                      "AND permissions = '\\x7f'::bytea"),
             QStringLiteral("1"));

    // That account alone does not make the database a station's: the copy takes
    // it, and the accounts are then the SQLite file's, each once.
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    StorageCopy copy(file("params.db"), file("accounts.db"), connection);
    QCOMPARE(copy.run(outStream, errStream), 0);
    outStream.flush();
    QVERIFY2(out.contains(QLatin1String("accounts 2")), qPrintable(out + err));
    QCOMPARE(server.value(connection, "SELECT string_agg(login, ',' ORDER BY login) FROM rpc_users"),
             QStringLiteral("adminvemo,operator1"));

    // A changed built-in account is a station's data: a second copy is refused.
    PgAccountStore accounts(connection);
    QVERIFY(accounts.modify(QStringLiteral("adminvemo"), {3}));
    QVERIFY(accounts.remove(QStringLiteral("operator1")));
    QVERIFY(copy.run(outStream, errStream) != 0);
    errStream.flush();
    QVERIFY2(err.contains(QLatin1String("not empty")), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestPgBuiltInAccount)
#include "tst_pgbuiltinaccount.moc"
