// The account store on a real SQLite file: the stored form of permission lists,
// the built-in account, lookups by login and password, and a database that is gone.

#include "rpcaccountstore.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

class TestRpcAccountStore : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "store");
        db.setDatabaseName(dir.filePath(QString("accounts_%1.db").arg(++serial)));
        QVERIFY(db.open());
        store.setDatabase(db);
    }
    void cleanup()
    {
        store.setDatabase(QSqlDatabase());
        QSqlDatabase::database("store", false).close();
        QSqlDatabase::removeDatabase("store");
    }

    void builtInAccountOnce()
    {
        QVERIFY(store.ensureTable());
        QVERIFY(store.ensureTable());
        const QList<VemoRpcClient> all = store.loadAll();
        QCOMPARE(all.size(), 1);
        QCOMPARE(all.at(0).login, QString("adminvemo"));
        QCOMPARE(all.at(0).permissions, QList<quint8>{127});
    }

    void failedSeedingLeavesNoTable()
    {
        // A view of the same name in the connection's temporary schema takes the
        // insert of the built-in account (and refuses it), not the CREATE.
        QSqlQuery(store.database()).exec("CREATE TEMP VIEW rpc_users AS SELECT 1 AS login");
        QVERIFY(!store.ensureTable());
        QVERIFY(!store.database().tables().contains("rpc_users"));
        // The fault is gone: the next start creates both.
        QVERIFY(QSqlQuery(store.database()).exec("DROP VIEW temp.rpc_users"));
        QVERIFY(store.ensureTable());
        QCOMPARE(store.loadAll().size(), 1);
        QVERIFY(store.exists("adminvemo"));
    }

    void permissionsRoundTrip_data()
    {
        QTest::addColumn<QList<quint8>>("codes");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("none") << QList<quint8>{} << QByteArray();
        QTest::newRow("order kept") << QList<quint8>{6, 3} << QByteArray("\x06\x03", 2);
        QTest::newRow("high bit") << QList<quint8>{200, 255} << QByteArray("\xc8\xff", 2);
        QTest::newRow("zero byte") << QList<quint8>{0, 5} << QByteArray("\x00\x05", 2);
    }
    void permissionsRoundTrip()
    {
        QFETCH(QList<quint8>, codes);
        QFETCH(QByteArray, stored);
        QVERIFY(store.ensureTable());
        QVERIFY(store.add("op", "ABCD", codes, "Op"));
        QSqlQuery q(store.database());
        QVERIFY(q.exec("SELECT permissions, pwd FROM rpc_users WHERE login = 'op'") && q.next());
        QCOMPARE(q.value(0).toByteArray(), stored);
        QCOMPARE(q.value(1).toString(), QString("abcd"));

        VemoRpcClient found;
        QString pwd;
        QVERIFY(store.lookup("op", &pwd, &found));
        QCOMPARE(pwd, QString("abcd"));
        QCOMPARE(found.permissions, codes);
        QCOMPARE(found.fullname, QString("Op"));
        QVERIFY(!store.lookup("OP", &pwd, &found));
        QVERIFY(!store.lookup(QString(), &pwd, &found));

        QVERIFY(store.modify("op", {4}));
        QVERIFY(store.lookup("op", &pwd, &found));
        QCOMPARE(found.permissions, QList<quint8>{4});
        // A hash is stored as it is; a replacement takes only the value it expects.
        QVERIFY(store.replacePassword("op", "abcd", "$argon2id$Aa"));
        QVERIFY(store.replacePassword("op", "abcd", "$argon2id$Bb"));
        QVERIFY(store.lookup("op", &pwd, &found));
        QCOMPARE(pwd, QString("$argon2id$Aa"));
        QVERIFY(store.remove("op"));
        QVERIFY(!store.exists("op"));
    }

    void closedDatabaseFailsEveryWrite()
    {
        QVERIFY(store.ensureTable());
        store.database().close();
        QVERIFY(!store.add("x", "y", {3}, QString()));
        QVERIFY(!store.modify("adminvemo", {3}));
        QVERIFY(!store.remove("adminvemo"));
        QVERIFY(!store.exists("adminvemo"));
        VemoRpcClient found;
        QString stored;
        QVERIFY(!store.lookup("adminvemo", &stored, &found));
        QVERIFY(!store.replacePassword("adminvemo", "x", "y"));
        QVERIFY(store.loadAll().isEmpty());
    }

private:
    QTemporaryDir dir;
    RpcAccountStore store;
    int serial = 0;
};

QTEST_GUILESS_MAIN(TestRpcAccountStore)
#include "tst_rpcaccountstore.moc"
