// paramctl as operators' scripts use it, against a real paramserver and emulated
// devices: commands back to back, batches over one login, one command for a
// few hundred devices, and waiting for devices to confirm a new set.

#include "processoutput.h"
#include "serverprocess.h"
#include "testfile.h"
#include "toolrun.h"
#include "waiting.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Result = ToolRun;

QStringList ctlArgs(const ServerProcess& server, const QStringList& args)
{
    return QStringList{"--port", QString::number(server.rpcPort())} + args;
}

Result ctl(const ServerProcess& server, const QStringList& args, const QByteArray& input = {})
{
    return runParamCtl(PARAMCTL_PATH, server, args, input);
}

Result sim(const ServerProcess& server, const QStringList& args)
{
    return runUooSim(UOOSIM_PATH, server, args);
}

int connections(const ServerProcess& server)
{
    return server.log().count("Новое подключение клиентского модуля");
}

int disconnections(const ServerProcess& server)
{
    return server.log().count("Отключение клиентского модуля");
}

// Every connection so far has ended and a second has passed since the last
// login, so the next command logs in at the first try.
bool quiet(const ServerProcess& server)
{
    const bool ended = waitUntil([&] { return connections(server) == disconnections(server); });
    QTest::qWait(1100);
    return ended && connections(server) == disconnections(server);
}

} // namespace

class TestParamCtlBulk : public QObject
{
    Q_OBJECT
private slots:
    void backToBackAndBatches()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        for (const char* uoo : {"4711", "4712"}) {
            QCOMPARE(sim(server, {"--uoo", uoo, "--params-size", "300"}).exitCode, 0);
        }

        // Consecutive commands under the same name: the second waits out the
        // server's one-second rule by itself.
        Result r = ctl(server, {"devices"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 2);
        r = ctl(server, {"params", "4711"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.lines.value(0).startsWith("uoo=4711\tstate=1\t"), qPrintable(r.err));

        // Ten commands over one login.
        QTemporaryDir dir;
        const QString set = dir.filePath("set.bin");
        QVERIFY(writeTestFile(set, QByteArray(500, 'p')));
        const QString batch = dir.filePath("jobs.txt");
        QVERIFY(writeTestFile(batch, QString("summary\ndevices\nparams 4711\nparams 4711-4712\n"
                                         "schedule 4711,4712 '%1'\nparams 4712\ncancel 4712\n"
                                         "params 4712\nusers\nguard 4711\n")
                                     .arg(set)
                                     .toUtf8()));
        QVERIFY(quiet(server));
        const int before = connections(server);
        r = ctl(server, {"--batch", batch});
        QCOMPARE(r.exitCode, 6); // the guard state cannot be changed: UOO_IS_BUSY
        QVERIFY2(r.err.contains("jobs.txt:10: guard failed: UOO_IS_BUSY"), qPrintable(r.err));
        const QStringList expected{"known=2\tonline=2\toffline=0",
                                   "uoo=4711\t",
                                   "uoo=4712\t",
                                   "uoo=4711\tstate=1\t",
                                   "uoo=4711\tresult=OK\tstate=1\t",
                                   "uoo=4712\tresult=OK\tstate=1\t",
                                   "uoo=4711\tresult=OK",
                                   "uoo=4712\tresult=OK",
                                   "uoo=4712\t",
                                   "OK",
                                   "uoo=4712\t",
                                   "login=adminvemo\t",
                                   "UOO_IS_BUSY"};
        QCOMPARE(r.lines.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            QVERIFY2(r.lines[i].startsWith(expected[i]), qPrintable(r.lines[i]));
        }
        // Scheduled, then cancelled again.
        QVERIFY(r.lines[8].endsWith("\tlocalparams=500"));
        QVERIFY(r.lines[10].endsWith("\tlocalparams=0"));
        QTRY_COMPARE(disconnections(server), before + 1);
        QCOMPARE(connections(server), before + 1);
    }

    void threeHundredDevicesOverOneConnection()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        Result r = sim(server, {"--load", "--devices", "300", "--first", "1000", "--seconds", "1"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.lines.join('\n') + r.err));

        QTemporaryDir dir;
        const QString set = dir.filePath("set.bin");
        QVERIFY(writeTestFile(set, QByteArray(700, 's')));
        QVERIFY(quiet(server));
        const int before = connections(server);
        r = ctl(server, {"--json", "schedule", "1000-1299", set});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 300);
        QSet<int> seen;
        for (const QString& line : qAsConst(r.lines)) {
            QJsonParseError error;
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8(), &error).object();
            QCOMPARE(error.error, QJsonParseError::NoError);
            QCOMPARE(o.value("result").toString(), QString("OK"));
            seen.insert(o.value("uoo").toInt());
        }
        QCOMPARE(seen.size(), 300);
        QCOMPARE(*std::min_element(seen.begin(), seen.end()), 1000);
        QCOMPARE(*std::max_element(seen.begin(), seen.end()), 1299);
        QTRY_COMPARE(disconnections(server), before + 1);
        QCOMPARE(connections(server), before + 1);

        // The server holds the set for each of them.
        r = ctl(server, {"params", "1000,1150,1299,1300"});
        QCOMPARE(r.exitCode, 6); // 1300 is not there
        QCOMPARE(r.lines.size(), 4);
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(r.lines[i].endsWith("\tlocalparams=700"), qPrintable(r.lines[i]));
        }
        QCOMPARE(r.lines[3], QString("uoo=1300\tresult=TESTING_UOO_NOT_FOUND"));
    }

    // Schedule a set for several devices and wait until each has confirmed it.
    void waitForConfirmations()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        const QStringList devices{"4711", "4712"};
        for (const QString& uoo : devices) {
            QCOMPARE(sim(server, {"--uoo", uoo, "--params-size", "1000"}).exitCode, 0);
        }
        QTemporaryDir dir;
        const QString set = dir.filePath("set.bin");
        QVERIFY(writeTestFile(set, QByteArray(1300, 'n')));
        const QString stamp = "2026-01-02 03:04:05";

        QProcess watch;
        watch.start(PARAMCTL_PATH, ctlArgs(server, {"--batch", "-"}));
        QVERIFY(watch.waitForStarted(30000));
        watch.write(QString("schedule %1 '%2' --time '%3'\nwatch --params --seconds 300\n")
                        .arg(devices.join(','), set, stamp)
                        .toUtf8());
        watch.closeWriteChannel();
        ProcessOutput output(watch, QProcess::StandardOutput);
        QVERIFY(output.waitFor("uoo=4712\tresult=OK\n", 60000));

        // The devices fetch the set at their next contact, apply and confirm it.
        for (const QString& uoo : devices) {
            const QString applied = dir.filePath(uoo + ".bin");
            QCOMPARE(
                sim(server, {"--uoo", uoo, "--params-size", "1000", "--save", applied}).exitCode,
                0);
        }
        for (const QString& uoo : devices) {
            QVERIFY2(output.waitFor(
                         QString("RPC_NEW_PARAMSSTATE\tuoo=%1\tstate=1\tstatename=IDLE\t").arg(uoo),
                         60000),
                     qPrintable(output.text()));
            const QRegularExpression confirmed(
                QString("RPC_NEW_PARAMSSTATE\tuoo=%1\t.*\tuootime=%2\t.*\tuooparams=1300"
                        "\tlocalparams=0\n")
                    .arg(uoo, stamp));
            QDeadlineTimer deadline(60000);
            while (!confirmed.match(output.text()).hasMatch() && !deadline.hasExpired() &&
                   watch.state() == QProcess::Running) {
                watch.waitForReadyRead(200);
                output.read();
            }
            QVERIFY2(confirmed.match(output.text()).hasMatch(), qPrintable(output.text()));
        }
        watch.terminate();
        QVERIFY(watch.waitForFinished(30000));
        QCOMPARE(watch.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestParamCtlBulk)
#include "tst_paramctlbulk.moc"
