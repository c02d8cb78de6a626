// Two real paramserver processes as a pair on one PostgreSQL of the test's own,
// each on a loopback address of its own with the same ports, as on two machines:
// at every probe at most one node answers a device (exactly one while nothing
// fails), each node's /active and paramserver_role say which one it is, the
// standby takes over by itself when the active node is killed, ended, paused or
// cut off from the database, and what the active node acknowledged is there on
// the other one.

#include "metricssample.h"
#include "paramdatagramheader.h"
#include "pgtestserver.h"
#include "serverprocess.h"
#include "syncblock.h"
#include "toolrun.h"
#include "waiting.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <memory>

namespace {

const QStringList AdminLogin = {"--login", "adminvemo", "--password",
                                "5f1d0c8e2a7b4963d0e18c2f7a9b3e64"};
const QString ActiveLine = QStringLiteral("активный (active), срок аренды");
const QString StandbyLine = QStringLiteral("резервный (standby)");
const QString DemotedLine = QStringLiteral("больше не активный (active)");
const QString InStep = QStringLiteral("SYNC_REPLY command=1 size=0 crc=0x0000");
const QString NodeAddress[2] = {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")};

QByteArray syncRequest(quint32 uoo)
{
    SyncBlock block;
    block.setDeviceText(QStringLiteral("PAIR"));
    block.setPversionText(QStringLiteral("1"));
    block.uooCode = uoo;
    return ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, block.encode(), 0, uoo);
}

} // namespace

class TestPgPair : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(pg.start()); }
    void init();
    void cleanup();
    void killedActiveReplacedByStandby();
    void endedActiveHandsOverWithNothingLost();
    void pausedActiveAnswersNothingWhenWoken();
    void databaseGoneUnderBoth();
    void leaseTakenAwayEndsTheRole();
    void startRefused_data();
    void startRefused();

private:
    // Starts node i (0 or 1) and waits for its first role line.
    bool launch(int i, const QString& line);
    bool waitActive(int i);
    // Node i's metrics server shows the role: /active 200 and paramserver_role
    // "active" at 1 on the active node, 503 and "standby" at 1 on a standby.
    bool showsRole(int i, bool active);
    // Which nodes answer a SYNC of that device now: bit i for node i.
    int answering(quint32 uoo);
    // Both probed until one answers, never both; the one that does, or -1.
    int soleAnswering(quint32 uoo);

    PgTestServer pg{QStringLiteral("pair")};
    QString connection;
    bool pgStopped = false;
    quint16 metricsPort = 0;
    std::unique_ptr<ServerProcess> nodes[2];
};

void TestPgPair::init()
{
    connection = pg.createDatabase();
    QVERIFY(!connection.isEmpty());
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress(NodeAddress[0]), 0));
    metricsPort = probe.serverPort();
    probe.close();
    for (int i = 0; i < 2; ++i) {
        nodes[i] = std::make_unique<ServerProcess>(QStringLiteral(PARAMSERVER_PATH));
        QVERIFY(nodes[i]->isValid());
        nodes[i]->setSetting(QStringLiteral("Storage/Backend"), QStringLiteral("postgresql"));
        nodes[i]->setSetting(QStringLiteral("Storage/Connection"), connection);
        nodes[i]->setSetting(QStringLiteral("Cluster/Node"), QStringLiteral("node%1").arg(i));
        // The same ports on both, each node on its own address.
        nodes[i]->bindTo(NodeAddress[i], nodes[0]->rpcPort(), nodes[0]->paramsPort());
        nodes[i]->setSetting(QStringLiteral("Metrics/Host"), NodeAddress[i]);
        nodes[i]->setSetting(QStringLiteral("Metrics/Port"), metricsPort);
    }
}

void TestPgPair::cleanup()
{
    for (auto& node : nodes) {
        if (node && node->isRunning()) {
            ::kill(static_cast<pid_t>(node->pid()), SIGCONT);
            node->interrupt(SIGKILL);
        }
        node.reset();
    }
    if (pgStopped) {
        pgStopped = !pg.start(); // for the next test
    }
}

bool TestPgPair::launch(int i, const QString& line)
{
    return nodes[i]->launch() && nodes[i]->waitForLog(line, 30000);
}

bool TestPgPair::waitActive(int i)
{
    return nodes[i]->waitForLog(ActiveLine, 30000) &&
           nodes[i]->waitForLog(QStringLiteral("Сервер параметров запущен на порту"), 30000) &&
           showsRole(i, true);
}

bool TestPgPair::showsRole(int i, bool active)
{
    const QString status =
        active ? QStringLiteral("HTTP/1.1 200 ") : QStringLiteral("HTTP/1.1 503 ");
    const QString role = active ? QStringLiteral("active") : QStringLiteral("standby");
    QString metrics;
    const bool shown = waitUntil([&] {
        metrics = QString::fromUtf8(httpGet(metricsPort, "/metrics", QHostAddress(NodeAddress[i])));
        return QString::fromUtf8(httpGet(metricsPort, "/active", QHostAddress(NodeAddress[i])))
                   .startsWith(status) &&
               metricSample(metrics, QStringLiteral("paramserver_role{role=\"%1\"}").arg(role)) ==
                   1;
    });
    if (!shown) {
        qWarning().noquote() << "node" << i << "does not show" << role << "\n" << metrics;
    }
    return shown;
}

int TestPgPair::answering(quint32 uoo)
{
    int mask = 0;
    for (int i = 0; i < 2; ++i) {
        const ToolRun run = runUooSim(UOOSIM_PATH, *nodes[i],
                                      {"--uoo", QString::number(uoo), "--params-size", "300",
                                       "--timeout", "700", "--retries", "2"});
        if (run.exitCode == 0) {
            mask |= 1 << i;
        }
    }
    return mask;
}

int TestPgPair::soleAnswering(quint32 uoo)
{
    for (int round = 0; round < 40; ++round) {
        const int mask = answering(uoo);
        if (mask == 3) {
            qWarning("both nodes answered");
            return -1;
        }
        if (mask != 0) {
            return mask == 1 ? 0 : 1;
        }
    }
    return -1;
}

void TestPgPair::killedActiveReplacedByStandby()
{
    QVERIFY2(launch(0, StandbyLine), qPrintable(nodes[0]->log()));
    QVERIFY2(waitActive(0), qPrintable(nodes[0]->log()));
    QVERIFY2(launch(1, StandbyLine), qPrintable(nodes[1]->log()));
    QVERIFY(showsRole(1, false));
    for (int probe = 0; probe < 3; ++probe) {
        QCOMPARE(answering(71), 1); // exactly the active node, every time
    }
    QTRY_COMPARE_WITH_TIMEOUT(pg.value(connection, "SELECT state FROM \"desc\" WHERE uoo = 71"),
                              QStringLiteral("1"), 20000);
    // A standby never becomes active while the other holds the lease.
    QVERIFY(!nodes[1]->log().contains(ActiveLine));

    QVERIFY(nodes[0]->interrupt(SIGKILL));
    QVERIFY2(waitActive(1), qPrintable(nodes[1]->log()));
    QCOMPARE(soleAnswering(71), 1);
    // The device's record came over: it is in step on the other node.
    const ToolRun run = runUooSim(UOOSIM_PATH, *nodes[1], {"--uoo", "71", "--params-size", "300"});
    QCOMPARE(run.lines.value(1), InStep);
    const ToolRun users = runParamCtl(PARAMCTL_PATH, *nodes[1], AdminLogin + QStringList{"users"});
    QCOMPARE(users.exitCode, 0);
    QVERIFY(users.lines.value(0).startsWith("login=adminvemo\t"));
}

void TestPgPair::endedActiveHandsOverWithNothingLost()
{
    // The standby first, this time.
    QVERIFY2(launch(1, StandbyLine), qPrintable(nodes[1]->log()));
    QVERIFY2(waitActive(1), qPrintable(nodes[1]->log()));
    QVERIFY2(launch(0, StandbyLine), qPrintable(nodes[0]->log()));
    QVERIFY(showsRole(0, false));
    QCOMPARE(answering(81), 2);
    // Changed and ended at once: the stop writes it, then lets the lease go.
    const ToolRun first =
        runUooSim(UOOSIM_PATH, *nodes[1], {"--uoo", "82", "--params-size", "400"});
    QCOMPARE(first.lines.last(), QStringLiteral("IN_SYNC"));
    int exitCode = -1;
    QVERIFY(nodes[1]->interrupt(SIGTERM, &exitCode));
    QCOMPARE(exitCode, 0);
    QVERIFY2(waitActive(0), qPrintable(nodes[0]->log()));
    for (quint32 uoo : {81u, 82u}) {
        const ToolRun run =
            runUooSim(UOOSIM_PATH, *nodes[0],
                      {"--uoo", QString::number(uoo), "--params-size", uoo == 81 ? "300" : "400"});
        QCOMPARE(run.lines.value(1), InStep);
    }
    QCOMPARE(pg.value(connection, "SELECT count(*) FROM log WHERE uoo = 82").toInt() > 0, true);
}

void TestPgPair::pausedActiveAnswersNothingWhenWoken()
{
    QVERIFY2(launch(0, StandbyLine), qPrintable(nodes[0]->log()));
    QVERIFY2(waitActive(0), qPrintable(nodes[0]->log()));
    QVERIFY2(launch(1, StandbyLine), qPrintable(nodes[1]->log()));
    QVERIFY(showsRole(1, false));
    QCOMPARE(answering(91), 1);
    QUdpSocket device;
    QVERIFY(device.bind(QHostAddress::LocalHost, 0));
    const auto send = [&device, this] {
        device.writeDatagram(syncRequest(92), QHostAddress(nodes[0]->host()),
                             nodes[0]->paramsPort());
    };
    send();
    QTRY_VERIFY_WITH_TIMEOUT(device.hasPendingDatagrams(), 10000);
    device.receiveDatagram();

    ::kill(static_cast<pid_t>(nodes[0]->pid()), SIGSTOP);
    send(); // waits in its socket
    QVERIFY2(waitActive(1), qPrintable(nodes[1]->log()));
    QCOMPARE(soleAnswering(91), 1);
    // Woken: it answers nothing (its lease ran out on its own clock), not even
    // what waited for it, says so once, and ends to come back as a standby.
    int exitCode = 0;
    QVERIFY(nodes[0]->interrupt(SIGCONT, &exitCode));
    QVERIFY(!device.hasPendingDatagrams());
    QCOMPARE(exitCode, 255); // the loop's restart request (-1)
    QCOMPARE(nodes[0]->log().count(DemotedLine), 1);
    QCOMPARE(answering(91), 2);
    QVERIFY(!nodes[1]->log().contains(DemotedLine));
}

void TestPgPair::databaseGoneUnderBoth()
{
    QVERIFY2(launch(0, StandbyLine), qPrintable(nodes[0]->log()));
    QVERIFY2(waitActive(0), qPrintable(nodes[0]->log()));
    QVERIFY2(launch(1, StandbyLine), qPrintable(nodes[1]->log()));
    QVERIFY(showsRole(1, false));
    const ToolRun first =
        runUooSim(UOOSIM_PATH, *nodes[0], {"--uoo", "95", "--params-size", "200"});
    QCOMPARE(first.lines.last(), QStringLiteral("IN_SYNC"));
    QTRY_COMPARE_WITH_TIMEOUT(pg.value(connection, "SELECT state FROM \"desc\" WHERE uoo = 95"),
                              QStringLiteral("1"), 20000);

    pgStopped = true;
    QVERIFY(pg.stop());
    // The active node cannot renew: it stops answering and ends by itself.
    int exitCode = 0;
    QVERIFY(nodes[0]->waitForLog(DemotedLine, 30000));
    QVERIFY(nodes[0]->waitForEnd(&exitCode));
    QCOMPARE(exitCode, 255);
    QCOMPARE(answering(95), 0); // nobody holds the lease
    QVERIFY(pg.start());
    pgStopped = false;
    QVERIFY2(waitActive(1), qPrintable(nodes[1]->log()));
    const ToolRun run = runUooSim(UOOSIM_PATH, *nodes[1], {"--uoo", "95", "--params-size", "200"});
    QCOMPARE(run.lines.value(1), InStep);
}

void TestPgPair::leaseTakenAwayEndsTheRole()
{
    QVERIFY2(launch(0, StandbyLine), qPrintable(nodes[0]->log()));
    QVERIFY2(waitActive(0), qPrintable(nodes[0]->log()));
    QVERIFY2(launch(1, StandbyLine), qPrintable(nodes[1]->log()));
    QVERIFY(showsRole(1, false));
    // A newer term of a third name: node 0 must give up at its next renew, and
    // node 1 must not take a lease that is held.
    QVERIFY(pg.exec(connection, "UPDATE vemo_lease SET node = 'other', term = term + 1, "
                                "expires = now() + interval '1 hour'"));
    int exitCode = 0;
    QVERIFY(nodes[0]->waitForEnd(&exitCode));
    QCOMPARE(exitCode, 255);
    QVERIFY2(nodes[0]->log().contains(DemotedLine + ": аренду взял другой узел"),
             qPrintable(nodes[0]->log()));
    QCOMPARE(answering(97), 0);
    QVERIFY(pg.exec(connection, "UPDATE vemo_lease SET expires = now()"));
    QVERIFY2(waitActive(1), qPrintable(nodes[1]->log()));
    QCOMPARE(soleAnswering(97), 1);
}

void TestPgPair::startRefused_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("line");
    QTest::newRow("same node name") << "postgresql"
                                    << "ERROR: Cluster/Node: узел node0 уже работает";
    QTest::newRow("sqlite") << "sqlite"
                            << "ERROR: Cluster/Node: узел пары работает только";
}

void TestPgPair::startRefused()
{
    QFETCH(QString, backend);
    QFETCH(QString, line);
    QVERIFY2(launch(0, StandbyLine), qPrintable(nodes[0]->log()));
    nodes[1]->setSetting(QStringLiteral("Cluster/Node"), QStringLiteral("node0"));
    nodes[1]->setSetting(QStringLiteral("Storage/Backend"), backend);
    QVERIFY(nodes[1]->launch());
    QVERIFY2(nodes[1]->waitForLog(line), qPrintable(nodes[1]->log()));
    QVERIFY(!nodes[1]->log().contains(StandbyLine));
    QVERIFY(!nodes[1]->log().contains(ActiveLine));
    QVERIFY(nodes[1]->interrupt(SIGINT));
}

QTEST_GUILESS_MAIN(TestPgPair)
#include "tst_pgpair.moc"
