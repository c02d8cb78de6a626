// paramserver run as a systemd service, with the test playing systemd: a
// notify socket of its own, then a user command and the stop signal.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include "unitrestartrules.h"

#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int LongWaitMs = 60000; // generous: the machine may be loaded

int bindNotifySocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    if (fd < 0 || p.size() >= int(sizeof address.sun_path)) {
        return -1;
    }
    std::memcpy(address.sun_path, p.constData(), size_t(p.size()));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Datagrams until one contains `what`; false on time-out.
bool receiveUntil(int fd, const QByteArray& what, QList<QByteArray>* seen)
{
    QDeadlineTimer deadline(LongWaitMs);
    while (!deadline.hasExpired()) {
        struct pollfd p;
        p.fd = fd;
        p.events = POLLIN;
        p.revents = 0;
        if (::poll(&p, 1, int(qMax<qint64>(1, deadline.remainingTime()))) != 1) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            *seen << QByteArray(buffer, int(n));
            if (seen->last().contains(what)) {
                return true;
            }
        }
    }
    return false;
}

// A copy of paramserver in a folder of its own, with its own settings store
// and free ports.
struct Installation
{
    QTemporaryDir dir;
    QString bin;
    QString program;
    QString config;
    quint16 rpcPort = 0;
    quint16 udpPort = 0;

    bool prepare(const QString& source = QStringLiteral(PARAMSERVER_PATH))
    {
        if (!dir.isValid()) {
            return false;
        }
        bin = dir.filePath(QStringLiteral("bin"));
        program = bin + QStringLiteral("/paramserver");
        config = dir.filePath(QStringLiteral("config"));
        if (!QDir().mkpath(bin) || !QFile::copy(source, program) ||
            !QFile::setPermissions(program, QFile::permissions(source))) {
            return false;
        }
        QFile host(bin + QStringLiteral("/bindhost.txt"));
        if (!host.open(QIODevice::WriteOnly) || host.write("127.0.0.1\n") <= 0) {
            return false;
        }
        QTcpServer tcp;
        QUdpSocket udp;
        if (!tcp.listen(QHostAddress::LocalHost, 0) || !udp.bind(QHostAddress::LocalHost, 0)) {
            return false;
        }
        rpcPort = tcp.serverPort();
        udpPort = udp.localPort();
        QSettings settings(config + QStringLiteral("/Kolvant/VemoParamsServer.conf"),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("Common/SettingsSaved"), true);
        settings.setValue(QStringLiteral("Network/RpcPort"), rpcPort);
        settings.setValue(QStringLiteral("Network/ParamsPort"), udpPort);
        return true;
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.remove(QStringLiteral("NOTIFY_SOCKET"));
        env.remove(QStringLiteral("WATCHDOG_USEC"));
        env.remove(QStringLiteral("WATCHDOG_PID"));
        env.remove(QStringLiteral("QTSERVICE_SYSTEMD_PID"));
        return env;
    }

    // paramserver as systemd starts it: its own notify socket, a watchdog.
    void startService(QProcess& server, const QString& socketPath) const
    {
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), socketPath);
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("3000000"));
        server.setProcessEnvironment(env);
        server.setWorkingDirectory(bin);
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(program, QStringList());
    }

    QString notifyPath() const { return dir.filePath(QStringLiteral("notify")); }

    // Binds the notify socket and starts the service on it: the socket, or -1
    // (and nothing started) when it could not be bound.
    int startNotified(QProcess& server) const
    {
        const int notify = bindNotifySocket(notifyPath());
        if (notify >= 0) {
            startService(server, notifyPath());
        }
        return notify;
    }

    // What "paramserver -i" writes, with a stand-in systemctl that accepts
    // everything.
    QByteArray installedUnit() const
    {
        const QString units = dir.filePath(QStringLiteral("units"));
        QDir().mkpath(units);
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("QTSERVICE_SYSTEMD_UNIT_DIR"), units);
        env.insert(QStringLiteral("QTSERVICE_SYSTEMCTL"), QStringLiteral("true"));
        QProcess install;
        install.setProcessEnvironment(env);
        install.start(program, {QStringLiteral("-i")});
        if (!install.waitForFinished(LongWaitMs) || install.exitCode() != 0) {
            return QByteArray();
        }
        QFile unit(units + QStringLiteral("/VEMO_UOO_Params_Server_service.service"));
        return unit.open(QIODevice::ReadOnly) ? unit.readAll() : QByteArray();
    }
};

bool canConnect(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(LongWaitMs);
}

} // namespace

class TestParamServerService : public QObject
{
    Q_OBJECT

private slots:
    void runsUnderSystemd();
    void readiness_data();
    void readiness();
    void restartThroughUnit_data();
    void restartThroughUnit();
    void installedUnitVerifies();
    void commandLineFailures_data();
    void commandLineFailures();
};

void TestParamServerService::runsUnderSystemd()
{
    Installation installation;
    QVERIFY(installation.prepare());
    const UnitRestartRules unit(installation.installedUnit());
    QCOMPARE(unit.value(QStringLiteral("Restart")), QStringLiteral("on-failure"));

    QProcess server;
    const int notify = installation.startNotified(server);
    QVERIFY(notify >= 0);
    QVERIFY(server.waitForStarted(LongWaitMs));
    pid_t pid = pid_t(server.processId());

    // Ready means listening: the RPC port takes a connection at once.
    QList<QByteArray> seen;
    QVERIFY2(receiveUntil(notify, "READY=1", &seen), seen.join(" | ").constData());
    QVERIFY(canConnect(installation.rpcPort));
    QCOMPARE(seen.last(),
             QByteArray("READY=1\nSTATUS=Running: RPC on TCP port " +
                        QByteArray::number(installation.rpcPort) + ", parameters on UDP port " +
                        QByteArray::number(installation.udpPort)));
    const QString params = installation.bin + QStringLiteral("/params_upd.db");
    const QString resource = installation.bin + QStringLiteral("/vemo_resource.db");
    QVERIFY(QFile::exists(params));
    QVERIFY(QFile::exists(resource));
    // The main loop pings the watchdog.
    QVERIFY(receiveUntil(notify, "WATCHDOG=1", &seen));

    // A user command, as the controller sends it.
    union sigval value;
    value.sival_int = 5;
    QCOMPARE(::sigqueue(pid, SIGRTMIN, value), 0);
    QVERIFY(receiveUntil(notify, "READY=1", &seen)); // reported running again

    // kill -9: the unit brings it back, and it comes up with its records.
    QCOMPARE(::kill(pid, SIGKILL), 0);
    QVERIFY(server.waitForFinished(LongWaitMs));
    QCOMPARE(server.exitStatus(), QProcess::CrashExit);
    QVERIFY(unit.restarts(0, SIGKILL));
    installation.startService(server, installation.notifyPath());
    QVERIFY(server.waitForStarted(LongWaitMs));
    pid = pid_t(server.processId());
    QVERIFY2(receiveUntil(notify, "READY=1\nSTATUS=Running", &seen), seen.join(" | ").constData());
    QVERIFY(canConnect(installation.rpcPort));

    // The stop request: an orderly end that the unit does not restart.
    QCOMPARE(::kill(pid, SIGTERM), 0);
    QVERIFY2(receiveUntil(notify, "STOPPING=1", &seen), seen.join(" | ").constData());
    QVERIFY(server.waitForFinished(LongWaitMs));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    QVERIFY(!unit.restarts(server.exitCode()));
    QVERIFY(QFile::exists(params));
    QVERIFY(QFile::exists(resource));
    ::close(notify);
}

void TestParamServerService::readiness_data()
{
    QTest::addColumn<bool>("rpcBusy");
    QTest::addColumn<bool>("udpBusy");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("RPC port taken") << true << false
                                    << QByteArray("STATUS=Degraded: RPC server "
                                                  "NOT listening (TCP port ");
    QTest::newRow("UDP port taken")
        << false << true << QByteArray("STATUS=Degraded: RPC on TCP port ");
}

void TestParamServerService::readiness()
{
    // A server that cannot listen still makes the service ready, with the
    // reason in its status.
    QFETCH(bool, rpcBusy);
    QFETCH(bool, udpBusy);
    QFETCH(QByteArray, status);

    Installation installation;
    QVERIFY(installation.prepare());
    QTcpServer tcp;
    QUdpSocket udp;
    if (rpcBusy) {
        QVERIFY(tcp.listen(QHostAddress::LocalHost, installation.rpcPort));
    }
    if (udpBusy) {
        QVERIFY(udp.bind(QHostAddress::LocalHost, installation.udpPort));
    }
    QProcess server;
    const int notify = installation.startNotified(server);
    QVERIFY(notify >= 0);
    QVERIFY(server.waitForStarted(LongWaitMs));
    QList<QByteArray> seen;
    QVERIFY2(receiveUntil(notify, "READY=1", &seen), seen.join(" | ").constData());
    QVERIFY2(seen.last().contains(status), seen.last().constData());
    QCOMPARE(seen.last().contains("NOT listening (UDP port"), udpBusy);
    QCOMPARE(::kill(pid_t(server.processId()), SIGTERM), 0);
    QVERIFY(server.waitForFinished(LongWaitMs));
    QCOMPARE(server.exitCode(), 0);
    ::close(notify);
}

void TestParamServerService::restartThroughUnit_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<bool>("stopWhileWaiting");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("restarted");

    QTest::newRow("ForceRestartException") << 1 << false << 101 << true;
    QTest::newRow("runtime error") << 2 << false << 110 << true;
    QTest::newRow("runtime error, stopped while waiting") << 2 << true << 0 << false;
    QTest::newRow("ImmediateExitApplication") << 3 << false << 0 << false;
}

void TestParamServerService::restartThroughUnit()
{
    // The event loop of the real service object ends the way a handler asks;
    // the process ends with a status that the installed unit judges.
    QFETCH(int, command);
    QFETCH(bool, stopWhileWaiting);
    QFETCH(int, exitCode);
    QFETCH(bool, restarted);

    Installation installation;
    QVERIFY(installation.prepare(QStringLiteral(RESTARTPROBE_PATH)));
    Installation paramserver;
    QVERIFY(paramserver.prepare());
    const UnitRestartRules unit(paramserver.installedUnit());

    QProcess server;
    const int notify = installation.startNotified(server);
    QVERIFY(notify >= 0);
    QVERIFY(server.waitForStarted(LongWaitMs));
    const pid_t pid = pid_t(server.processId());
    QList<QByteArray> seen;
    QVERIFY2(receiveUntil(notify, "READY=1", &seen), seen.join(" | ").constData());

    union sigval value;
    value.sival_int = command;
    QCOMPARE(::sigqueue(pid, SIGRTMIN, value), 0);
    if (stopWhileWaiting) {
        QVERIFY2(receiveUntil(notify, "STATUS=Restarting in 10 s", &seen),
                 seen.join(" | ").constData());
        QCOMPARE(::kill(pid, SIGTERM), 0);
    }
    QVERIFY(server.waitForFinished(LongWaitMs));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), exitCode);
    QCOMPARE(unit.restarts(server.exitCode()), restarted);
    // The records went to their database before the process ended.
    QVERIFY(QFile::exists(installation.bin + QStringLiteral("/params_upd.db")));
    ::close(notify);
}

void TestParamServerService::installedUnitVerifies()
{
    Installation installation;
    QVERIFY(installation.prepare());
    const QByteArray unit = installation.installedUnit();
    QVERIFY(!unit.isEmpty());
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty()) {
        QVERIFY2(qEnvironmentVariableIsEmpty("VEMO_REQUIRE_SYSTEMD_ANALYZE"),
                 "systemd-analyze is not installed");
        QSKIP("systemd-analyze is not installed");
    }
    const QString file = installation.dir.filePath(QStringLiteral("units")) +
                         QStringLiteral("/VEMO_UOO_Params_Server_service.service");
    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start(analyze, {QStringLiteral("verify"), file});
    QVERIFY(verify.waitForFinished(LongWaitMs));
    const QByteArray output = verify.readAll();
    QVERIFY2(verify.exitStatus() == QProcess::NormalExit && verify.exitCode() == 0,
             output.constData());
    QVERIFY2(!output.contains("VEMO_UOO_Params_Server_service"), output.constData());
}

void TestParamServerService::commandLineFailures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("systemctl");
    QTest::addColumn<bool>("unitFolderWritable");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("stderrHas");

    QTest::newRow("-t, systemctl fails") << QStringList{"-t"} << "false" << true << 255
                                         << QStringList{"The service could not be stopped."};
    QTest::newRow("-c, not running")
        << QStringList{"-c", "5"} << "false" << true << 255
        << QStringList{"The command 5 could not be sent to the service."};
    QTest::newRow("-i, unit folder not writable")
        << QStringList{"-i"} << "true" << false << 255
        << QStringList{"could not be installed", "Reason: "};
    QTest::newRow("-u, not installed")
        << QStringList{"-u"} << "true" << true << 0 << QStringList{"is not installed"};
    QTest::newRow("--restart, not a number")
        << QStringList{"--restart", "abc"} << "false" << true << 252
        << QStringList{"is not a number of seconds", "could not start"};
    QTest::newRow("--restart, negative") << QStringList{"--restart", "-5"} << "false" << true << 252
                                         << QStringList{"is negative", "could not start"};
}

void TestParamServerService::commandLineFailures()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, systemctl);
    QFETCH(bool, unitFolderWritable);
    QFETCH(int, exitCode);
    QFETCH(QStringList, stderrHas);

    Installation installation;
    QVERIFY(installation.prepare());
    QProcessEnvironment env = installation.environment();
    env.insert(QStringLiteral("QTSERVICE_SYSTEMCTL"), systemctl);
    // A folder below a plain file cannot be written, whoever runs the test.
    const QString plain = installation.dir.filePath(QStringLiteral("plain"));
    QFile(plain).open(QIODevice::WriteOnly);
    env.insert(QStringLiteral("QTSERVICE_SYSTEMD_UNIT_DIR"),
               unitFolderWritable ? installation.dir.path() : plain + QStringLiteral("/units"));
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(installation.program, arguments);
    QVERIFY(tool.waitForFinished(LongWaitMs));
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), exitCode);
    for (const QString& text : stderrHas) {
        QVERIFY2(err.contains(text), qPrintable(err));
    }
}

QTEST_GUILESS_MAIN(TestParamServerService)
#include "tst_paramserverservice.moc"
