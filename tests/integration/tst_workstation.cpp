// paramserver driven by the command-line workstation and the device emulator,
// all over loopback: accounts and login rules, unsolicited messages, devices and
// the whole life of a scheduled parameter set, and hostile frames.

#include "processoutput.h"
#include "serverprocess.h"
#include "toolrun.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <csignal>

#ifndef PARAMSERVER_PATH
#error "PARAMSERVER_PATH must name the paramserver executable"
#endif

namespace {

const char* const OperatorDigest = "0cc175b9c0f1b6a831c399e269772661";

using Result = ToolRun;

Result ctl(const ServerProcess& server, const QStringList& args)
{
    return runParamCtl(PARAMCTL_PATH, server, args);
}

Result sim(const ServerProcess& server, const QStringList& args)
{
    return runUooSim(UOOSIM_PATH, server, args);
}

// A workstation that watches everything the server sends unasked.
class Watcher
{
public:
    explicit Watcher(const ServerProcess& server)
    {
        process.start(PARAMCTL_PATH,
                      {"--port", QString::number(server.rpcPort()), "watch", "--seconds", "300"});
        process.waitForStarted(10000);
        // It logs in with the built-in account and prints what arrives after that.
        // Knock until it reports a new connection: from then on it is logged in,
        // and the next login under the same name comes more than a second later.
        QDeadlineTimer deadline(30000);
        while (!deadline.hasExpired() && !output.text().contains("Новое подключение")) {
            QTcpSocket knock;
            knock.connectToHost("127.0.0.1", server.rpcPort());
            knock.waitForConnected(5000);
            knock.disconnectFromHost();
            waitFor("Новое подключение", 300);
        }
        QThread::msleep(1100);
    }
    ~Watcher()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    bool waitFor(const QString& fragment, int timeoutMs = 20000)
    {
        return output.waitFor(fragment, timeoutMs);
    }
    QProcess process;
    ProcessOutput output{process, QProcess::StandardOutput};
};

bool hasLine(const QStringList& lines, const QString& prefix)
{
    for (const QString& line : lines) {
        if (line.startsWith(prefix)) {
            return true;
        }
    }
    return false;
}

QVariantList logCodes(const QString& directory, quint32 uoo)
{
    QVariantList codes;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "probe");
        db.setDatabaseName(directory + "/params_upd.db");
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare("SELECT message FROM log WHERE uoo = :uoo ORDER BY id");
            q.bindValue(":uoo", uoo);
            if (q.exec()) {
                while (q.next()) {
                    codes << q.value(0).toInt();
                }
            }
        }
    }
    QSqlDatabase::removeDatabase("probe");
    return codes;
}

// One value of a query on the parameters file, read with a connection of its own.
QVariant fileValue(const QString& directory, const QString& statement)
{
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "value");
        db.setDatabaseName(directory + "/params_upd.db");
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(statement) && q.next()) {
                value = q.value(0);
            }
        }
    }
    QSqlDatabase::removeDatabase("value");
    return value;
}

qint64 residentKb(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

QByteArray frame(const QByteArray& body)
{
    QByteArray bytes(4, '\0');
    const quint32 n = quint32(body.size());
    bytes[0] = char(n & 0xFF);
    bytes[1] = char((n >> 8) & 0xFF);
    bytes[2] = char((n >> 16) & 0xFF);
    bytes[3] = char((n >> 24) & 0xFF);
    return bytes + body;
}

} // namespace

class TestWorkstation : public QObject
{
    Q_OBJECT
private slots:
    void accountsAndLoginRules()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        Watcher watcher(server);

        Result r = ctl(server, {"users"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 1);
        QVERIFY(watcher.waitFor("RPC_SYS_LOG_MESSAGE\t"));
        QVERIFY2(r.lines[0].startsWith("login=adminvemo\tpermissions=127\t"),
                 qPrintable(r.lines[0]));

        QThread::msleep(1100); // the same login name again only after a second
        r = ctl(server, {"adduser", "operator", OperatorDigest, "3,6", "Оператор смены"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines, QStringList{"OK"});
        QVERIFY(watcher.waitFor("[RPC] [adminvemo] 101 "));

        r = ctl(server, {"--login", "operator", "--password", OperatorDigest, "users"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 2);
        QVERIFY(r.lines[1].startsWith("login=operator\tpermissions=3,6\tfullname=Оператор смены"));

        // Another workstation with wrong passwords: three refusals, then the
        // connection is closed at the fourth.
        for (int attempt = 1; attempt <= 4; ++attempt) {
            QThread::msleep(1100);
            r = ctl(server, {"--login", "operator", "--password", "wrong", "users"});
            QCOMPARE(r.exitCode, attempt <= 3 ? 5 : 4);
        }
        QVERIFY(watcher.waitFor("Превышен лимит попыток логина для клиента"));

        // Too fast: closed without a reply, and not counted (paramctl waits such a
        // refusal out and tries again unless told not to).
        // Two workstations log in at once (how long the first one's password check
        // takes does not matter): one is let in, the other closed.
        QThread::msleep(1100);
        {
            const QStringList args{"--port",  QString::number(server.rpcPort()),
                                   "--login-retries", "0", "--login", "operator",
                                   "--password", OperatorDigest, "users"};
            QProcess first;
            QProcess second;
            first.start(PARAMCTL_PATH, args);
            second.start(PARAMCTL_PATH, args);
            QVERIFY(first.waitForFinished(60000));
            QVERIFY(second.waitForFinished(60000));
            QList<int> codes{first.exitCode(), second.exitCode()};
            std::sort(codes.begin(), codes.end());
            QCOMPARE(codes, (QList<int>{0, 4}));
        }

        // Results of the account operations.
        QThread::msleep(1100);
        r = ctl(server, {"adduser", "operator", "x", "3"});
        QCOMPARE(r.exitCode, 6);
        QCOMPARE(r.lines, QStringList{"USER_ALREADY_EXISTS"});
        QThread::msleep(1100);
        r = ctl(server, {"moduser", "operator", "6"});
        QCOMPARE(r.lines, QStringList{"OK"});
        QVERIFY(watcher.waitFor("[RPC] [adminvemo] 102 "));
        QThread::msleep(1100);
        r = ctl(server, {"deluser", "nobody"});
        QCOMPARE(r.lines, QStringList{"USER_NOT_FOUND"});
        QThread::msleep(1100);
        r = ctl(server, {"deluser", "operator"});
        QCOMPARE(r.lines, QStringList{"OK"});
        QVERIFY(watcher.waitFor("[RPC] [adminvemo] 103 "));

        // A login without permission 3 asking for the accounts is cut off.
        QThread::msleep(1100);
        QCOMPARE(ctl(server, {"adduser", "viewer", OperatorDigest, "6"}).exitCode, 0);
        r = ctl(server, {"--login", "viewer", "--password", OperatorDigest, "users"});
        QCOMPARE(r.exitCode, 4);
        QVERIFY(watcher.waitFor("Неодостаточно прав пользователя для выполнения операции "
                                "RPC_GET_CLIENT_LIST; ClientID="));

        QVERIFY(watcher.process.state() == QProcess::Running);
    }

    void devicesAndAScheduledSet()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        Watcher watcher(server);
        QTemporaryDir files;
        const quint32 uoo = 4711;

        // The device uploads its 1000-byte set.
        Result r = sim(server, {"--uoo", QString::number(uoo), "--params-size", "1000"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(hasLine(r.lines, "SYNC_REPLY command=0"));
        QCOMPARE(r.lines.filter("UPLOAD_ACK").size(), 2);
        QVERIFY(watcher.waitFor(QString("RPC_NEW_UOOSTATE\tuoo=%1").arg(uoo)));
        QVERIFY(watcher.waitFor(QString("RPC_NEW_PARAMSSTATE\tuoo=%1").arg(uoo)));

        r = ctl(server, {"devices"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 1);
        QVERIFY2(r.lines[0].startsWith(QString("uoo=%1\t").arg(uoo)), qPrintable(r.lines[0]));
        QVERIFY(r.lines[0].contains("online=yes"));

        QThread::msleep(1100);
        r = ctl(server, {"params", QString::number(uoo)});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.lines.value(0).contains("\tstate=1\t"), qPrintable(r.lines.join('|')));
        QVERIFY(r.lines.value(0).contains("uooparams=1000"));

        // Unknown devices and the guard state.
        QThread::msleep(1100);
        r = ctl(server, {"guard", "99"});
        QCOMPARE(r.lines, QStringList{"TESTING_UOO_NOT_FOUND"});
        QThread::msleep(1100);
        r = ctl(server, {"guard", QString::number(uoo)});
        QCOMPARE(r.lines, QStringList{"UOO_IS_BUSY"});

        // An operator schedules a new set of 1300 bytes.
        const QString newSet = files.filePath("new.bin");
        {
            QFile f(newSet);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QByteArray bytes(1300, '\0');
            for (int i = 0; i < bytes.size(); ++i)
                bytes[i] = char(i * 7 + 3);
            f.write(bytes);
        }
        QThread::msleep(1100);
        r = ctl(server,
                {"schedule", QString::number(uoo), newSet, "--time", "2024-03-07 13:05:09"});
        QCOMPARE(r.lines, QStringList{"OK"});
        QThread::msleep(1100);
        r = ctl(server, {"schedule", "99", newSet});
        QCOMPARE(r.lines, QStringList{"TESTING_UOO_NOT_FOUND"});

        // The device learns of it at its next SYNC, downloads it in three chunks,
        // applies it and confirms it.
        const QString applied = files.filePath("applied.bin");
        r = sim(server,
                {"--uoo", QString::number(uoo), "--params-size", "1000", "--save", applied});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(hasLine(r.lines, "SYNC_REPLY command=3"), qPrintable(r.lines.join('|')));
        QCOMPARE(r.lines.filter("DOWNLOAD_CHUNK").size(), 3);
        QVERIFY(r.lines.filter("FINISHED_ACK").size() == 1);
        QVERIFY(hasLine(r.lines, "SYNC_REPLY command=1"));
        QFile savedFile(applied);
        QVERIFY(savedFile.open(QIODevice::ReadOnly));
        QFile original(newSet);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(savedFile.readAll(), original.readAll());

        QThread::msleep(1100);
        r = ctl(server, {"params", QString::number(uoo)});
        QVERIFY(r.lines.value(0).contains("\tstate=1\t"));
        QVERIFY(r.lines.value(0).contains("uooparams=1300"));
        QVERIFY(r.lines.value(0).contains("localparams=0"));
        QVERIFY(r.lines.value(0).contains("uootime=2024-03-07 13:05:09"));

        // Action log: upload (1), chunk on request (2), finished (3), confirmed (4).
        // (Written in batches, within about a second of each action.)
        QTRY_COMPARE_WITH_TIMEOUT(logCodes(server.directory(), uoo), (QVariantList{1, 2, 3, 4}),
                                  10000);

        // Cancelling: a scheduled set is dropped again.
        QThread::msleep(1100);
        QCOMPARE(ctl(server, {"schedule", QString::number(uoo), newSet}).lines, QStringList{"OK"});
        QThread::msleep(1100);
        QCOMPARE(ctl(server, {"cancel", QString::number(uoo)}).lines, QStringList{"OK"});
        QThread::msleep(1100);
        r = ctl(server, {"params", QString::number(uoo)});
        QVERIFY(r.lines.value(0).contains("localparams=0"));
    }

    // A console run that is told to end, or that loses its terminal, stops in
    // order: the uploads it acknowledged are in the file afterwards.
    void stopSignalKeepsAcknowledgedUploads_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("times");
        QTest::newRow("SIGTERM") << int(SIGTERM) << 1;
        QTest::newRow("SIGHUP") << int(SIGHUP) << 1;
        // A closing terminal: from the kernel, then from the shell.
        QTest::newRow("SIGHUP twice") << int(SIGHUP) << 2;
    }
    void stopSignalKeepsAcknowledgedUploads()
    {
        QFETCH(int, signalNumber);
        QFETCH(int, times);
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        const int devices = 4;
        for (int uoo = 1; uoo <= devices; ++uoo) {
            QCOMPARE(sim(server, {"--uoo", QString::number(uoo), "--params-size", "900"}).exitCode,
                     0);
        }
        for (int i = 1; i < times; ++i) {
            ::kill(pid_t(server.pid()), signalNumber);
        }
        int exitCode = -1;
        QVERIFY(server.interrupt(signalNumber, &exitCode));
        QCOMPARE(exitCode, 0);
        QVERIFY2(server.log().contains("Остановка сервера параметров..."),
                 qPrintable(server.log()));
        QCOMPARE(fileValue(server.directory(),
                           "SELECT COUNT(*) FROM desc WHERE length(uooparams) = 900")
                     .toInt(),
                 devices);
    }

    // A new set that the workstation was told "OK" for survives a kill -9 that
    // follows at once.
    void scheduledSetSurvivesKillAfterOk()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        const quint32 uoo = 4712;
        QCOMPARE(sim(server, {"--uoo", QString::number(uoo), "--params-size", "200"}).exitCode, 0);
        QTemporaryDir files;
        const QString newSet = files.filePath("new.bin");
        QByteArray bytes(700, '\0');
        for (int i = 0; i < bytes.size(); ++i) {
            bytes[i] = char(i * 5 + 1);
        }
        {
            QFile f(newSet);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        QCOMPARE(ctl(server, {"schedule", QString::number(uoo), newSet}).lines, QStringList{"OK"});
        QVERIFY(server.interrupt(SIGKILL));

        QByteArray stored;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "killed");
            db.setDatabaseName(server.directory() + "/params_upd.db");
            QVERIFY(db.open());
            QSqlQuery q(db);
            q.prepare("SELECT localparams FROM desc WHERE uoo = :uoo");
            q.bindValue(":uoo", uoo);
            QVERIFY(q.exec() && q.next());
            stored = q.value(0).toByteArray();
        }
        QSqlDatabase::removeDatabase("killed");
        QCOMPARE(stored, bytes);
    }

    // A kill -9 in the middle of a first-contact storm leaves a sound file with
    // the records and action-log rows written so far, which the next start reads.
    void killDuringFirstContactStorm()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        QProcess storm;
        storm.start(UOOSIM_PATH, {"--server", QString("127.0.0.1:%1").arg(server.paramsPort()),
                                  "--load", "--devices", "300000", "--seconds", "1"});
        QVERIFY(storm.waitForStarted());
        const QString uploads = "SELECT COUNT(*) FROM log WHERE message = 1";
        QTRY_VERIFY_WITH_TIMEOUT(fileValue(server.directory(), uploads).toInt() > 0, 60000);
        QVERIFY(server.interrupt(SIGKILL));
        QVERIFY(storm.state() == QProcess::Running); // killed in the storm, not after it
        storm.kill();
        storm.waitForFinished(10000);

        QCOMPARE(fileValue(server.directory(), "PRAGMA integrity_check").toString(),
                 QString("ok"));
        QVERIFY(fileValue(server.directory(), "SELECT COUNT(*) FROM desc").toInt() > 0);

        // The next start reads the file without a complaint and serves on.
        QVERIFY2(server.start(), qPrintable(server.log()));
        QCOMPARE(sim(server, {"--uoo", "1"}).exitCode, 0);
        QVERIFY2(!server.log().contains("ERROR"), qPrintable(server.log()));
    }

    void hostileFramesCostOnlyTheirConnection()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        const qint64 before = residentKb(server.pid());
        QVERIFY(before > 0);

        // A header announcing 4 GiB.
        QTcpSocket huge;
        huge.connectToHost("127.0.0.1", server.rpcPort());
        QVERIFY(huge.waitForConnected(10000));
        huge.write(QByteArray::fromHex("ffffffff") + QByteArray(64, 'x'));
        QVERIFY(huge.waitForDisconnected(10000));

        // A permission list that claims two billion entries, in a short frame.
        QByteArray body;
        {
            QDataStream out(&body, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_5_3);
            out << QString("LOGIN_RESULT") << quint8(1) << quint32(1024) << qint8(0);
            const QByteArray name("QList<uchar>");
            out.writeBytes(name.constData(), uint(name.size() + 1));
            out << quint32(2000000000u) << quint8(3);
        }
        QTcpSocket many;
        many.connectToHost("127.0.0.1", server.rpcPort());
        QVERIFY(many.waitForConnected(10000));
        for (int i = 0; i < 50; ++i) {
            many.write(frame(body));
        }
        QVERIFY(many.waitForBytesWritten(10000));

        // Garbage: a body whose name cannot be read.
        QTcpSocket garbage;
        garbage.connectToHost("127.0.0.1", server.rpcPort());
        QVERIFY(garbage.waitForConnected(10000));
        garbage.write(frame(QByteArray::fromHex("7fffffff0102")));
        QVERIFY(garbage.waitForDisconnected(10000));

        // The server goes on serving everyone else, with its memory unchanged.
        Result r = ctl(server, {"users"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(server.isRunning());
        const qint64 after = residentKb(server.pid());
        QVERIFY2(after - before < 8 * 1024,
                 qPrintable(QString("resident %1 kB before, %2 kB after").arg(before).arg(after)));
    }

    // Before login only small frames; a peer's text reaches a log line clipped.
    void peerTextClippedAndSmallFramesBeforeLogin()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        Watcher watcher(server);

        // Not logged in: a frame of 1 MiB is refused as soon as its length is read.
        QTcpSocket early;
        early.connectToHost("127.0.0.1", server.rpcPort());
        QVERIFY(early.waitForConnected(10000));
        early.write(frame(QByteArray(1024 * 1024, 'x')).left(70000));
        QVERIFY(early.waitForDisconnected(10000));
        QVERIFY(watcher.waitFor("before login; connection closed"));

        // Logged in: frames up to 16 MiB; one whose argument the server does not
        // know carries a message name of 8 MiB (4 Mi characters).
        QTcpSocket raw;
        raw.connectToHost("127.0.0.1", server.rpcPort());
        QVERIFY(raw.waitForConnected(10000));
        auto userValue = [](QDataStream& out, const QByteArray& type) {
            out << quint32(1024) << qint8(0);
            out.writeBytes(type.constData(), uint(type.size() + 1));
        };
        QByteArray login;
        {
            QDataStream out(&login, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_5_3);
            out << QString("LOGIN") << quint8(1);
            userValue(out, "VemoRpcCredentials");
            out << QString("adminvemo") << QString("5f1d0c8e2a7b4963d0e18c2f7a9b3e64");
        }
        raw.write(frame(login));
        QByteArray reply;
        const QByteArray ok = QByteArray::fromHex("004c004f00470049004e005f004f004b"); // LOGIN_OK
        QDeadlineTimer deadline(20000);
        while (!reply.contains(ok) && !deadline.hasExpired() && raw.waitForReadyRead(1000)) {
            reply += raw.readAll();
        }
        QVERIFY(reply.contains(ok));

        QByteArray hostile;
        {
            QDataStream out(&hostile, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_5_3);
            out << QString(4 * 1024 * 1024, QLatin1Char('N')) << quint8(1);
            userValue(out, "NoSuchType");
        }
        raw.write(frame(hostile));
        while (raw.bytesToWrite() > 0) {
            QVERIFY(raw.waitForBytesWritten(20000));
        }
        QVERIFY(watcher.waitFor("(4194304 characters) dropped"));
        int longest = 0;
        for (const QString& line : watcher.output.text().split('\n')) {
            longest = qMax(longest, line.size());
        }
        QVERIFY2(longest < 4096, qPrintable(QString("longest line %1").arg(longest)));
        // A message that does not fit costs only itself.
        QCOMPARE(raw.state(), QAbstractSocket::ConnectedState);
    }
};

QTEST_GUILESS_MAIN(TestWorkstation)
#include "tst_workstation.moc"
