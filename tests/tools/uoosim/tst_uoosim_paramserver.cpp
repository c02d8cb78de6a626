// uoosim against the real paramserver program over loopback UDP: upload, steady
// state, and the device records surviving an orderly stop and a kill.

#include "paramcrc16.h"
#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>

namespace {

struct Run
{
    int exitCode = -1;
    QStringList lines;
    bool has(const QString& line) const { return lines.contains(line); }
};

Run runSim(quint16 port, const QStringList& args)
{
    QProcess process;
    process.start(
        QStringLiteral(UOOSIM_PATH),
        QStringList{QStringLiteral("--server"), QStringLiteral("127.0.0.1:%1").arg(port)} + args);
    Run run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.lines = QString::fromUtf8(process.readAllStandardOutput())
                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return run;
}

// State of one UOO in desc of the program's params_upd.db; -1 when absent.
int storedState(const QString& directory, quint32 uoo)
{
    int state = -1;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("probe"));
        db.setDatabaseName(directory + QLatin1String("/params_upd.db"));
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("SELECT state FROM desc WHERE uoo = :uoo"));
            query.bindValue(QStringLiteral(":uoo"), uoo);
            if (query.exec() && query.next()) {
                state = query.value(0).toInt();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("probe"));
    return state;
}

} // namespace

class TestUooSimParamServer : public QObject
{
    Q_OBJECT
private slots:
    void uploadSteadyAndRestart();
    void recordsSurviveKill();
    void loadMode();
};

void TestUooSimParamServer::uploadSteadyAndRestart()
{
    ServerProcess server(QStringLiteral(PARAMSERVER_PATH));
    QVERIFY(server.isValid());
    QVERIFY2(server.start(), qPrintable(server.log()));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("set.bin"));
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(QByteArray(1500, 'p'));
    }

    Run run = runSim(server.paramsPort(), {"--uoo", "21", "--params", file});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.has(QStringLiteral("SYNC_REPLY command=0 size=0 crc=0x0000")));
    QVERIFY(run.has(QStringLiteral("UPLOAD_DONE size=1500")));
    QCOMPARE(run.lines.last(), QStringLiteral("IN_SYNC"));

    run = runSim(server.paramsPort(), {"--uoo", "21", "--params", file});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.value(1), QStringLiteral("SYNC_REPLY command=1 size=0 crc=0x0000"));

    int exitCode = -1;
    QVERIFY(server.interrupt(SIGINT, &exitCode));
    QCOMPARE(storedState(server.directory(), 21), 1);

    QVERIFY2(server.start(), qPrintable(server.log()));
    run = runSim(server.paramsPort(), {"--uoo", "21", "--params", file});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.value(1), QStringLiteral("SYNC_REPLY command=1 size=0 crc=0x0000"));
    QVERIFY(server.interrupt(SIGINT, &exitCode));
}

void TestUooSimParamServer::recordsSurviveKill()
{
    ServerProcess server(QStringLiteral(PARAMSERVER_PATH));
    QVERIFY(server.isValid());
    QVERIFY2(server.start(), qPrintable(server.log()));
    QCOMPARE(runSim(server.paramsPort(), {"--uoo", "22", "--params-size", "700"}).exitCode, 0);
    // The changed record reaches the file shortly after the change, without an
    // orderly stop.
    QTRY_COMPARE_WITH_TIMEOUT(storedState(server.directory(), 22), 1, 20000);
    QVERIFY(server.interrupt(SIGKILL));

    QVERIFY2(server.start(), qPrintable(server.log()));
    const Run run = runSim(server.paramsPort(), {"--uoo", "22", "--params-size", "700"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.value(1), QStringLiteral("SYNC_REPLY command=1 size=0 crc=0x0000"));
    int exitCode = -1;
    QVERIFY(server.interrupt(SIGINT, &exitCode));
}

void TestUooSimParamServer::loadMode()
{
    ServerProcess server(QStringLiteral(PARAMSERVER_PATH));
    QVERIFY(server.isValid());
    QVERIFY2(server.start(), qPrintable(server.log()));
    const Run run = runSim(server.paramsPort(), {"--load", "--devices", "20", "--first", "500",
                                                 "--window", "4", "--requests", "400"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.lines.last().startsWith(QStringLiteral("LOAD_RESULT round_trips=400 ")));
    QVERIFY(run.lines.last().contains(QStringLiteral(" unexpected=0")));
    int exitCode = -1;
    QVERIFY(server.interrupt(SIGINT, &exitCode));
}

QTEST_GUILESS_MAIN(TestUooSimParamServer)
#include "tst_uoosim_paramserver.moc"
