// The lease of a two-node pair on a real PostgreSQL of the test's own: terms
// taken, renewed, lost and let go; writes of a replaced term refused with
// nothing of them left; a takeover waiting for a write in flight; node names
// held once; the records' change numbers; version 1 migrated in place.

#include "leasefence.h"
#include "pgaccountstore.h"
#include "pglease.h"
#include "pgparamsdatabase.h"
#include "pgtestserver.h"

#include <QtTest>

#include <memory>

namespace {

constexpr int TtlMs = 4000;

// One node: its lease connection and its records store, writing under its fence.
struct Node
{
    Node(const QString& name, const QString& connection)
        : lease(QStringLiteral("lease_") + name, connection), fence(std::make_shared<LeaseFence>())
    {
        fence->node = name;
        store = std::make_unique<PgParamsDatabase>(QStringLiteral("store_") + name, connection,
                                                   fence);
    }
    PgConnection lease;
    std::shared_ptr<LeaseFence> fence;
    std::unique_ptr<PgParamsDatabase> store;
};

ParamsRow row(quint32 uoo)
{
    ParamsRow r;
    r.uoo = uoo;
    r.record.uoo = uoo;
    r.record.state = 1;
    r.record.device = QStringLiteral("node");
    r.record.uooparams = QByteArray("set");
    return r;
}

// Opens a connection of the test's own: empty when it is open, else the
// server's text (never empty).
QString openFailure(PgConnection& connection)
{
    PgConnection::Failure failure = PgConnection::Failure::None;
    QString error;
    return connection.ensureOpen(&failure, &error) ? QString() : error + QLatin1Char(' ');
}

} // namespace

class TestPgLease : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(server.start()); }
    void init()
    {
        connection = server.createDatabase();
        QVERIFY(!connection.isEmpty());
        for (const QString& name : {QStringLiteral("a"), QStringLiteral("b")}) {
            nodes.push_back(std::make_unique<Node>(name, connection));
            const QString error = openFailure(nodes.back()->lease);
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QVERIFY(nodes.back()->store->openConnection());
        }
        QString error;
        QCOMPARE(nodes[0]->store->prepareFile(&error), ParamsStore::Failure::None);
    }
    void cleanup() { nodes.clear(); }

    void leaseSteps_data();
    void leaseSteps();
    void takeoverWaitsForWriteInFlight();
    void nodeNameHeldOnce();
    void changesFollowedInOrder();
    void version1Migrated();
    void accountWritesFenced();

private:
    int count(const QString& query) { return server.value(connection, query).toInt(); }

    PgTestServer server{QStringLiteral("lease")};
    QString connection;
    std::vector<std::unique_ptr<Node>> nodes;
};

// Steps, separated by blanks: a node (A or B) and what it does, "!" when it is
// to fail: + acquire (! = another node holds it), w write a record and a log
// row (! = refused as fenced, nothing of it stays), r renew (! = lost),
// x release; "e" lets the lease run out (its expiry set in the past, as after
// the TTL without a renew).
void TestPgLease::leaseSteps_data()
{
    QTest::addColumn<QString>("steps");
    QTest::newRow("no term never writes") << "Aw! A+ Aw";
    QTest::newRow("held lease not taken") << "A+ B+! Bw! Aw Ar Aw";
    QTest::newRow("expired: taken, old term fenced") << "A+ Aw e B+ Aw! Ar! Bw Br";
    QTest::newRow("release hands over at once") << "A+ Aw Ax B+ Bw Aw! Ar!";
    QTest::newRow("back and forth") << "A+ Ax B+ Bx A+ Aw Bw!";
    QTest::newRow("release of a replaced term changes nothing") << "A+ e B+ Ax A+! Bw";
}

void TestPgLease::leaseSteps()
{
    QFETCH(QString, steps);
    quint32 uoo = 0;
    qint64 lastTerm = 0;
    for (const QString& step : steps.split(' ')) {
        const bool fails = step.endsWith('!');
        QString error;
        if (step == "e") {
            QVERIFY(server.exec(connection, "UPDATE vemo_lease SET expires = now() - "
                                            "interval '1 second'"));
            continue;
        }
        Node& node = *nodes[step.at(0) == 'A' ? 0 : 1];
        const QChar action = step.at(1);
        if (action == '+') {
            qint64 term = 0;
            QDateTime since;
            QCOMPARE(PgLease::acquire(node.lease, node.fence->node, TtlMs, &term, &since, &error),
                     PgConnection::Failure::None);
            QCOMPARE(term == 0, fails);
            if (!fails) {
                QVERIFY2(term > lastTerm, qPrintable(step)); // terms only grow
                QVERIFY(since.isValid());
                lastTerm = term;
                node.fence->term = term;
            }
        } else if (action == 'w') {
            ++uoo;
            const ParamsStore::WriteReport report =
                node.store->writeBatch({row(uoo)}, {{uoo, 7, QDateTime::currentDateTime(), {}}});
            QCOMPARE(report.failure,
                     fails ? ParamsStore::Failure::Fenced : ParamsStore::Failure::None);
            const QString where = QStringLiteral(" WHERE uoo = %1").arg(uoo);
            QCOMPARE(count("SELECT count(*) FROM \"desc\"" + where), fails ? 0 : 1);
            QCOMPARE(count("SELECT count(*) FROM log" + where), fails ? 0 : 1);
        } else if (action == 'r') {
            bool held = false;
            QCOMPARE(PgLease::renew(node.lease, node.fence->node, node.fence->term, TtlMs, &held,
                                    &error),
                     PgConnection::Failure::None);
            QCOMPARE(held, !fails);
        } else if (action == 'x') {
            QCOMPARE(PgLease::release(node.lease, node.fence->node, node.fence->term, &error),
                     PgConnection::Failure::None);
        }
    }
}

void TestPgLease::takeoverWaitsForWriteInFlight()
{
    Node& a = *nodes[0];
    Node& b = *nodes[1];
    QString error;
    qint64 term = 0;
    QDateTime since;
    QCOMPARE(PgLease::acquire(a.lease, "a", TtlMs, &term, &since, &error),
             PgConnection::Failure::None);
    // A's lease has run out, and a write of its term is under way: fenced
    // (the lease row held) and not yet committed.
    QVERIFY(server.exec(connection, "UPDATE vemo_lease SET expires = now() - interval '1 second'"));
    PgConnection writer(QStringLiteral("writer"), connection);
    QVERIFY(openFailure(writer).isEmpty());
    QCOMPARE(writer.exec("BEGIN").failure, PgConnection::Failure::None);
    QCOMPARE(PgLease::fence(writer, "a", term, &error), PgConnection::Failure::None);
    QCOMPARE(writer.exec("INSERT INTO log (message, uoo) VALUES (1, 99)").failure,
             PgConnection::Failure::None);

    // B's takeover waits for it (here: until its statement time-out).
    QCOMPARE(b.lease.exec("SET statement_timeout = 300").failure, PgConnection::Failure::None);
    qint64 bTerm = 0;
    QVERIFY(PgLease::acquire(b.lease, "b", TtlMs, &bTerm, &since, &error) !=
            PgConnection::Failure::None);
    QCOMPARE(bTerm, 0);
    QCOMPARE(writer.exec("COMMIT").failure, PgConnection::Failure::None);
    QCOMPARE(PgLease::acquire(b.lease, "b", TtlMs, &bTerm, &since, &error),
             PgConnection::Failure::None);
    QCOMPARE(bTerm, term + 1);
    // What A committed before is there; nothing of A's term commits after.
    QCOMPARE(count("SELECT count(*) FROM log WHERE uoo = 99"), 1);
    QCOMPARE(writer.exec("BEGIN").failure, PgConnection::Failure::None);
    QCOMPARE(PgLease::fence(writer, "a", term, &error), PgConnection::Failure::Fenced);
    writer.exec("ROLLBACK");
}

void TestPgLease::nodeNameHeldOnce()
{
    PgConnection third(QStringLiteral("third"), connection);
    QVERIFY(openFailure(third).isEmpty());
    QString error;
    bool taken = true;
    QVERIFY(PgLease::lockNodeName(nodes[0]->lease, "node1", &taken, &error));
    QVERIFY(!taken);
    QVERIFY(!PgLease::lockNodeName(third, "node1", &taken, &error));
    QVERIFY(taken);
    QVERIFY(PgLease::lockNodeName(nodes[1]->lease, "node2", &taken, &error));
    // The name is free again when its session ends.
    nodes[0]->lease.close();
    QTRY_VERIFY_WITH_TIMEOUT(PgLease::lockNodeName(third, "node1", &taken, &error), 10000);
}

void TestPgLease::changesFollowedInOrder()
{
    Node& a = *nodes[0];
    QString error;
    qint64 term = 0;
    QDateTime since;
    QCOMPARE(PgLease::acquire(a.lease, "a", TtlMs, &term, &since, &error),
             PgConnection::Failure::None);
    a.fence->term = term;
    qint64 cursor = -1;
    QVERIFY(a.store->lastChange(&cursor, &error));
    QCOMPARE(cursor, 0);
    QCOMPARE(a.store->writeBatch({row(5), row(3)}, {}).failure, ParamsStore::Failure::None);
    ParamsRow changed = row(5);
    changed.record.device = QStringLiteral("changed");
    QCOMPARE(a.store->writeBatch({row(9), changed}, {}).failure, ParamsStore::Failure::None);

    // In the order of the changes, an update counting as a new change, a page at a time.
    ParamsStore::ReadReport report;
    qint64 last = 0;
    QVector<ParamsRow> rows = a.store->readChanges(cursor, 1000, 2, &last, &report);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].uoo, 3u);
    QCOMPARE(rows[1].uoo, 9u);
    rows = a.store->readChanges(last, 1000, 2, &last, &report);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].record.device, QStringLiteral("changed"));
    qint64 end = 0;
    QVERIFY(a.store->lastChange(&end, &error));
    QCOMPARE(end, last);
    QVERIFY(a.store->readChanges(last, 1000, 2, &last, &report).isEmpty());
    QCOMPARE(last, end);
}

void TestPgLease::version1Migrated()
{
    // A database as version 1 had it, with a record.
    const QString v1 = server.createDatabase();
    for (const char* statement :
         {"CREATE TABLE vemo_schema (version integer NOT NULL)", "INSERT INTO vemo_schema VALUES (1)",
          "CREATE TABLE \"desc\" (uoo integer PRIMARY KEY, state integer, writeleft integer, "
          "lefttosend integer, device text, pversion text, uootime timestamp, uootimetemp "
          "timestamp, \"localtime\" timestamp, uooparams bytea, localparams bytea)",
          "CREATE TABLE log (id bigserial PRIMARY KEY, message integer, uoo integer, \"time\" "
          "timestamp, remark text)",
          "CREATE TABLE rpc_users (id bigserial PRIMARY KEY, login text, pwd text, fullname "
          "text, permissions bytea, writesleft integer, lastwrite bigint)",
          "INSERT INTO \"desc\" (uoo, state, device) VALUES (17, 1, 'old')"}) {
        QVERIFY2(server.exec(v1, statement), statement);
    }
    PgParamsDatabase store(QStringLiteral("v1"), v1);
    QString error;
    QCOMPARE(store.prepareFile(&error), ParamsStore::Failure::None);
    QCOMPARE(server.value(v1, "SELECT max(version) FROM vemo_schema"), QStringLiteral("2"));
    QCOMPARE(server.value(v1, "SELECT count(*) FROM vemo_lease"), QStringLiteral("1"));
    // The record kept, with a change number a standby reads it by.
    ParamsStore::ReadReport report;
    qint64 last = 0;
    const QVector<ParamsRow> rows = store.readChanges(0, 1000, 10, &last, &report);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].record.device, QStringLiteral("old"));
    // A second start finds version 2 and changes nothing.
    PgParamsDatabase again(QStringLiteral("again"), v1);
    QCOMPARE(again.prepareFile(&error), ParamsStore::Failure::None);
    QCOMPARE(server.value(v1, "SELECT count(*) FROM vemo_lease"), QStringLiteral("1"));
}

void TestPgLease::accountWritesFenced()
{
    Node& a = *nodes[0];
    PgAccountStore accounts(connection);
    accounts.setFence(a.fence);
    const QString users = QStringLiteral("SELECT count(*) FROM rpc_users WHERE login = 'op'");
    QVERIFY(!accounts.add("op", "secret", {3}, "Operator")); // no term yet
    QCOMPARE(count(users), 0);

    QString error;
    qint64 term = 0;
    QDateTime since;
    QCOMPARE(PgLease::acquire(a.lease, "a", TtlMs, &term, &since, &error),
             PgConnection::Failure::None);
    a.fence->term = term;
    QVERIFY(accounts.add("op", "secret", {3}, "Operator"));
    QCOMPARE(count(users), 1);

    // Another node took over: nothing of the old term changes the accounts.
    QVERIFY(server.exec(connection, "UPDATE vemo_lease SET expires = now() - interval '1 second'"));
    QCOMPARE(PgLease::acquire(nodes[1]->lease, "b", TtlMs, &term, &since, &error),
             PgConnection::Failure::None);
    QVERIFY(!accounts.modify("op", {3, 4}));
    QVERIFY(!accounts.remove("op"));
    QCOMPARE(count(users), 1);
    QCOMPARE(server.value(connection, "SELECT encode(permissions, 'hex') FROM rpc_users WHERE "
                                      "login = 'op'"),
             QStringLiteral("03"));
}

QTEST_GUILESS_MAIN(TestPgLease)
#include "tst_pglease.moc"
