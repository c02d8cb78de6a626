// paramserver run as a systemd service, with the test playing systemd: a
// notify socket of its own, then a user command and the stop signal.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

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

} // namespace

class TestParamServerService : public QObject
{
    Q_OBJECT

private slots:
    void runsUnderSystemd();
};

void TestParamServerService::runsUnderSystemd()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The program keeps its databases beside the executable.
    const QString bin = dir.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    const QString program = bin + QStringLiteral("/paramserver");
    QVERIFY(QFile::copy(QStringLiteral(PARAMSERVER_PATH), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(QStringLiteral(PARAMSERVER_PATH))));
    {
        QFile host(bin + QStringLiteral("/bindhost.txt"));
        QVERIFY(host.open(QIODevice::WriteOnly));
        host.write("127.0.0.1\n");
    }

    // Its own settings store with free ports.
    QTcpServer tcp;
    QVERIFY(tcp.listen(QHostAddress::LocalHost, 0));
    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
    const QString config = dir.filePath(QStringLiteral("config"));
    {
        QSettings settings(config + QStringLiteral("/Kolvant/VemoParamsServer.conf"),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("Common/SettingsSaved"), true);
        settings.setValue(QStringLiteral("Network/RpcPort"), tcp.serverPort());
        settings.setValue(QStringLiteral("Network/ParamsPort"), udp.localPort());
    }
    tcp.close();
    udp.close();

    const QString socketPath = dir.filePath(QStringLiteral("notify"));
    const int notify = bindNotifySocket(socketPath);
    QVERIFY(notify >= 0);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("NOTIFY_SOCKET"), socketPath);
    env.remove(QStringLiteral("QTSERVICE_SYSTEMD_PID"));
    QProcess server;
    server.setProcessEnvironment(env);
    server.setWorkingDirectory(dir.path());
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(program, QStringList());
    QVERIFY(server.waitForStarted(LongWaitMs));
    const pid_t pid = pid_t(server.processId());

    QList<QByteArray> seen;
    QVERIFY2(receiveUntil(notify, "READY=1", &seen), seen.join(" | ").constData());

    // The controller's start-up runs inside the event loop after the start:
    // wait for the databases it opens.
    const QString params = bin + QStringLiteral("/params_upd.db");
    const QString resource = bin + QStringLiteral("/vemo_resource.db");
    QDeadlineTimer deadline(LongWaitMs);
    while (!(QFile::exists(params) && QFile::exists(resource)) && !deadline.hasExpired()) {
        QThread::msleep(50);
    }
    QVERIFY(QFile::exists(params));
    QVERIFY(QFile::exists(resource));

    // A user command, as the controller sends it.
    union sigval value;
    value.sival_int = 5;
    QCOMPARE(::sigqueue(pid, SIGRTMIN, value), 0);
    QVERIFY(receiveUntil(notify, "READY=1", &seen)); // reported running again

    // The stop request.
    QCOMPARE(::kill(pid, SIGTERM), 0);
    QVERIFY2(receiveUntil(notify, "STOPPING=1", &seen), seen.join(" | ").constData());
    QVERIFY(server.waitForFinished(LongWaitMs));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    QVERIFY(QFile::exists(params));
    QVERIFY(QFile::exists(resource));
    ::close(notify);
}

QTEST_GUILESS_MAIN(TestParamServerService)
#include "tst_paramserverservice.moc"
