// The systemd binding, with the test playing systemd: a stand-in systemctl
// that records its arguments, a unit directory of its own, and a notify
// socket of its own that the test service reports to.

#include "qtservice.h"
#include "systemdnotifier.h"
#include "systemdserviceplatform.h"
#include "systemdunitfile.h"
#include "unitrestartrules.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString TestServiceName = QStringLiteral("Qt Service Test");
const QString TestUnit = QStringLiteral("Qt_Service_Test.service");
constexpr int LongWaitMs = 30000; // generous: the machine may be loaded

// A systemctl that records its arguments in <dir>/log and answers from files
// of <dir>: LoadState, ActiveState, MainPID, Description; "countdown" makes
// ActiveState answer "deactivating" that many times first; fail-<command>
// makes a command fail; "hang" makes every call hang.
const char StandInScript[] = R"(#!/bin/sh
dir='%1'
echo "$*" >> "$dir/log"
if [ -f "$dir/hang" ]; then exec sleep 30; fi
if [ -f "$dir/fail-$1" ]; then echo "refused $1" >&2; exit 1; fi
case "$*" in
  *"-p LoadState"*) cat "$dir/LoadState" 2>/dev/null || echo not-found ;;
  *"-p ActiveState"*)
    n=$(cat "$dir/countdown" 2>/dev/null || echo 0)
    if [ "$n" -gt 0 ]; then
      echo $((n - 1)) > "$dir/countdown"
      echo deactivating
    else
      cat "$dir/ActiveState" 2>/dev/null || echo inactive
    fi ;;
  *"-p MainPID"*) cat "$dir/MainPID" 2>/dev/null || echo 0 ;;
  *"-p Description"*) cat "$dir/Description" 2>/dev/null || echo ;;
esac
exit 0
)";

// The binding with the pauses between stop polls counted, not slept.
class CountingPlatform : public SystemdServicePlatform
{
public:
    explicit CountingPlatform(const Options& options) : SystemdServicePlatform(options) {}
    void sleepBetweenPolls(int) override { ++sleeps; }
    int sleeps = 0;
};

// A datagram socket that plays systemd's notify socket.
class NotifySocket
{
public:
    explicit NotifySocket(const QString& path) : socketPath(path)
    {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address;
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        std::memcpy(address.sun_path, p.constData(), size_t(qMin(p.size(), 100)));
        bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    bool isBound() const { return bound; }
    QString path() const { return socketPath; }

    // The next datagram, or empty after the time-out.
    QByteArray receive(int timeoutMs = LongWaitMs)
    {
        struct pollfd p;
        p.fd = fd;
        p.events = POLLIN;
        p.revents = 0;
        if (::poll(&p, 1, timeoutMs) != 1) {
            return QByteArray();
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
    }

    // Datagrams until one contains `what` (inclusive); empty list on time-out.
    QList<QByteArray> receiveUntil(const QByteArray& what)
    {
        QList<QByteArray> all;
        QDeadlineTimer deadline(LongWaitMs);
        while (!deadline.hasExpired()) {
            const QByteArray d = receive(int(qMax<qint64>(1, deadline.remainingTime())));
            if (d.isEmpty()) {
                break;
            }
            all << d;
            if (d.contains(what)) {
                return all;
            }
        }
        return {};
    }

private:
    QString socketPath;
    int fd = -1;
    bool bound = false;
};

// The test service as a child process, with its output read line by line.
class ServiceChild
{
public:
    ServiceChild() { process.setProcessChannelMode(QProcess::SeparateChannels); }
    ~ServiceChild()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(LongWaitMs);
        }
    }

    QProcess process;
    QStringList lines;

    bool waitForLine(const QString& line)
    {
        QDeadlineTimer deadline(LongWaitMs);
        for (;;) {
            while (process.canReadLine()) {
                lines << QString::fromLocal8Bit(process.readLine()).trimmed();
            }
            if (lines.contains(line)) {
                return true;
            }
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning) {
                return false;
            }
            process.waitForReadyRead(100);
        }
    }

    bool finish()
    {
        const bool done = process.waitForFinished(LongWaitMs);
        while (process.canReadLine()) {
            lines << QString::fromLocal8Bit(process.readLine()).trimmed();
        }
        const QByteArray rest = process.readAllStandardOutput().trimmed();
        if (!rest.isEmpty()) {
            lines << QString::fromLocal8Bit(rest);
        }
        return done;
    }
};

QStringList readLog(const QString& dir)
{
    QFile file(dir + QStringLiteral("/log"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

} // namespace

class TestSystemdServicePlatform : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unitName_data();
    void unitName();
    void userName_data();
    void userName();
    void unitFile();
    void restartPolicy_data();
    void restartPolicy();
    void unitFileQuoting();
    void unitFileRefused_data();
    void unitFileRefused();
    void unitFileVerifies();
    void journalFields_data();
    void journalFields();
    void notifyText_data();
    void notifyText();

    void installAndUninstall();
    void installManualDoesNotEnable();
    void installFailures();
    void queries();
    void stopPolling_data();
    void stopPolling();
    void brokenSystemctl();
    void commands();

    void runUnderNotifySocket();
    void startedByHandAsksSystemd();
    void restartCopyIsNotTheService();
    void watchdogFromMainLoop();
    void notifySocketGone_data();
    void notifySocketGone();
    void installFromCommandLine();

private:
    SystemdServicePlatform::Options options() const;
    QProcessEnvironment childEnvironment() const;

    QScopedPointer<QTemporaryDir> temp;
    QString standIn; // directory of the stand-in systemctl
    QString units;
};

void TestSystemdServicePlatform::init()
{
    temp.reset(new QTemporaryDir);
    QVERIFY(temp->isValid());
    standIn = temp->filePath(QStringLiteral("bin"));
    units = temp->filePath(QStringLiteral("units"));
    QVERIFY(QDir().mkpath(standIn));
    QVERIFY(QDir().mkpath(units));
    const QString script = standIn + QStringLiteral("/systemctl");
    writeFile(script, QString::fromLatin1(StandInScript).arg(standIn).toUtf8());
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestSystemdServicePlatform::cleanup()
{
    QtServicePlatform::setCurrent(nullptr);
    temp.reset();
}

SystemdServicePlatform::Options TestSystemdServicePlatform::options() const
{
    SystemdServicePlatform::Options o;
    o.systemctl = standIn + QStringLiteral("/systemctl");
    o.unitDirectory = units;
    return o;
}

QProcessEnvironment TestSystemdServicePlatform::childEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), standIn + QLatin1Char(':') + env.value("PATH"));
    env.insert(QStringLiteral("QTSERVICE_SYSTEMD_UNIT_DIR"), units);
    env.remove(QStringLiteral("NOTIFY_SOCKET"));
    env.remove(QStringLiteral("QTSERVICE_SYSTEMD_PID"));
    env.remove(QStringLiteral("QTSERVICE_SYSTEMCTL"));
    return env;
}

void TestSystemdServicePlatform::unitName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("unit");

    QTest::newRow("service") << "VEMO UOO_Params_Server service"
                             << "VEMO_UOO_Params_Server_service.service";
    QTest::newRow("kept") << "a:b-c_d.e"
                          << "a:b-c_d.e.service";
    QTest::newRow("slash") << "a/b"
                           << "a\\x2fb.service";
    QTest::newRow("leading dot") << ".x"
                                 << "\\x2ex.service";
    QTest::newRow("cyrillic") << QStringLiteral("Я") << "\\xd0\\xaf.service";
    QTest::newRow("code 0 from a backslash") << QString(QChar(0)) + "a"
                                             << "\\x00a.service";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("too long") << QString(250, QLatin1Char('x')) << "";
}

void TestSystemdServicePlatform::unitName()
{
    QFETCH(QString, name);
    QFETCH(QString, unit);
    QCOMPARE(SystemdUnitFile::unitName(name), unit);
}

void TestSystemdServicePlatform::userName_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("user");

    QTest::newRow("none") << ""
                          << "root";
    QTest::newRow("LocalSystem") << "LocalSystem"
                                 << "root";
    QTest::newRow("NT AUTHORITY\\LocalSystem") << "NT AUTHORITY\\LocalSystem"
                                               << "root";
    QTest::newRow("plain") << "vemo"
                           << "vemo";
    QTest::newRow("local prefix") << ".\\vemo"
                                  << "vemo";
    QTest::newRow("numeric") << "1001"
                             << "1001";
    QTest::newRow("domain") << "CORP\\vemo"
                            << "";
    QTest::newRow("blank") << "bad name"
                           << "";
    QTest::newRow("option-like") << "-x"
                                 << "";
    QTest::newRow("newline") << "a\nUser=root"
                             << "";
}

void TestSystemdServicePlatform::userName()
{
    QFETCH(QString, account);
    QFETCH(QString, user);
    QCOMPARE(SystemdUnitFile::userName(account), user);
}

void TestSystemdServicePlatform::unitFile()
{
    QtServiceInstallRequest request;
    request.name = QStringLiteral("VEMO UOO_Params_Server service");
    request.description = QStringLiteral("Служба сервера параметров УОО VEMO");
    request.startupType = QtServiceController::AutoStartup;
    request.executablePath = QStringLiteral("/opt/vemo/paramserver");
    const QString text = QString::fromUtf8(SystemdUnitFile::text(request));
    QStringList settings;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#'))) {
            settings << line;
        }
    }
    QCOMPARE(settings,
             (QStringList{"[Unit]", "Description=Служба сервера параметров УОО VEMO",
                          "After=network.target", "StartLimitIntervalSec=0", "[Service]",
                          "Type=notify", "NotifyAccess=main", "ExecStart=\"/opt/vemo/paramserver\"",
                          "WorkingDirectory=/opt/vemo", "User=root", "Restart=on-failure",
                          "RestartSec=1s", "RestartPreventExitStatus=99", "WatchdogSec=30s",
                          "TimeoutStartSec=120s", "TimeoutStopSec=120s", "KillMode=control-group",
                          "[Install]", "WantedBy=multi-user.target"}));
    // The unit is the template with its fields filled in, nothing else.
    QCOMPARE(text.count(QLatin1Char('\n')),
             QString::fromUtf8(SystemdUnitFile::templateText()).count(QLatin1Char('\n')));
    // The delay the service leaves out of its own wait is the unit's.
    const UnitRestartRules unit(text.toUtf8());
    QCOMPARE(unit.value(QStringLiteral("RestartSec")),
             QStringLiteral("%1s").arg(SystemdServicePlatform::RestartDelaySeconds));
}

void TestSystemdServicePlatform::restartPolicy_data()
{
    QTest::addColumn<int>("loopCode"); // how the event loop ended; 0 with a signal
    QTest::addColumn<int>("signal");   // or the signal that ended the process
    QTest::addColumn<bool>("restarted");

    QTest::newRow("normal end") << 0 << 0 << false;
    QTest::newRow("restart requested (-1)") << -1 << 0 << true;
    QTest::newRow("runtime error (-10)") << -10 << 0 << true;
    QTest::newRow("restart after 30 s") << -30 << 0 << true;
    QTest::newRow("-31: no restart") << -31 << 0 << false;
    QTest::newRow("+1: no restart") << 1 << 0 << false;
    QTest::newRow("SIGKILL (out of memory, kill -9)") << 0 << int(SIGKILL) << true;
    QTest::newRow("SIGSEGV") << 0 << int(SIGSEGV) << true;
    QTest::newRow("SIGABRT (abort, watchdog)") << 0 << int(SIGABRT) << true;
}

void TestSystemdServicePlatform::restartPolicy()
{
    // The exit status the service ends with, judged by the installed unit.
    QFETCH(int, loopCode);
    QFETCH(int, signal);
    QFETCH(bool, restarted);

    QtServiceInstallRequest request;
    request.name = TestServiceName;
    request.executablePath = QStringLiteral("/opt/vemo/paramserver");
    const UnitRestartRules unit(SystemdUnitFile::text(request));
    SystemdServicePlatform platform(options());
    QVERIFY(platform.restartsFailedService());
    const int status = platform.serviceExitStatus(loopCode);
    QVERIFY(status >= 0 && status <= 255);
    QCOMPARE(unit.restarts(status, signal), restarted);
}

void TestSystemdServicePlatform::unitFileQuoting()
{
    QtServiceInstallRequest request;
    request.name = QStringLiteral("n");
    request.description = QStringLiteral("100% sure\nExecStartPre=/bin/evil\\");
    request.executablePath = QStringLiteral("/opt/a b/$HOME%i/\"q\\x/prog");
    request.account = QStringLiteral("vemo");
    const QStringList lines =
        QString::fromUtf8(SystemdUnitFile::text(request)).split('\n');
    QVERIFY(lines.contains(QStringLiteral("Description=100%% sure ExecStartPre=/bin/evil")));
    QVERIFY(lines.contains(QStringLiteral("ExecStart=\"/opt/a b/$$HOME%%i/\\\"q\\\\x/prog\"")));
    QVERIFY(lines.contains(QStringLiteral("WorkingDirectory=/opt/a b/$HOME%%i/\"q\\x")));
    QVERIFY(lines.contains(QStringLiteral("User=vemo")));
    // One line per key: nothing was smuggled in.
    int execLines = 0;
    for (const QString& line : lines) {
        execLines += line.startsWith(QLatin1String("Exec")) ? 1 : 0;
    }
    QCOMPARE(execLines, 1);

    request.description.clear();
    QVERIFY(QString::fromUtf8(SystemdUnitFile::text(request))
                .contains(QLatin1String("\nDescription=n\n")));
}

void TestSystemdServicePlatform::unitFileRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("account");

    QTest::newRow("relative path") << "paramserver"
                                   << "";
    QTest::newRow("empty path") << ""
                                << "";
    QTest::newRow("newline in path") << "/opt/a\n/b"
                                     << "";
    QTest::newRow("domain account") << "/opt/a/b"
                                    << "CORP\\x";
}

void TestSystemdServicePlatform::unitFileRefused()
{
    QFETCH(QString, path);
    QFETCH(QString, account);
    QtServiceInstallRequest request;
    request.name = QStringLiteral("n");
    request.executablePath = path;
    request.account = account;
    QVERIFY(SystemdUnitFile::text(request).isEmpty());

    CountingPlatform platform(options());
    QVERIFY(!platform.install(request));
    QVERIFY(QDir(units).isEmpty());
    QVERIFY(readLog(standIn).isEmpty());
}

void TestSystemdServicePlatform::unitFileVerifies()
{
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty()) {
        // CI installs it and asks for the check.
        QVERIFY2(qEnvironmentVariableIsEmpty("VEMO_REQUIRE_SYSTEMD_ANALYZE"),
                 "systemd-analyze is not installed");
        QSKIP("systemd-analyze is not installed");
    }
    QtServiceInstallRequest request;
    request.name = TestServiceName;
    request.description = QStringLiteral("Test 100% service");
    request.startupType = QtServiceController::AutoStartup;
    request.executablePath = QStringLiteral(TESTSERVICE_PATH);
    const QString file = temp->filePath(TestUnit);
    writeFile(file, SystemdUnitFile::text(request));
    QProcess verify;
    verify.setProcessChannelMode(QProcess::MergedChannels);
    verify.start(analyze, {QStringLiteral("verify"), file});
    QVERIFY(verify.waitForFinished(LongWaitMs));
    const QByteArray output = verify.readAll();
    QVERIFY2(verify.exitCode() == 0, output.constData());
    QVERIFY2(!output.contains(TestUnit.toUtf8()), output.constData());
}

void TestSystemdServicePlatform::journalFields_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("priority");

    QTest::newRow("Success") << int(QtServiceBase::Success) << QByteArray("PRIORITY=5");
    QTest::newRow("Error") << int(QtServiceBase::Error) << QByteArray("PRIORITY=3");
    QTest::newRow("Warning") << int(QtServiceBase::Warning) << QByteArray("PRIORITY=4");
    QTest::newRow("Information") << int(QtServiceBase::Information) << QByteArray("PRIORITY=6");
}

void TestSystemdServicePlatform::journalFields()
{
    QFETCH(int, type);
    QFETCH(QByteArray, priority);
    const QList<QByteArray> fields = SystemdServicePlatform::journalFields(
        TestServiceName, QStringLiteral("24.03.05-14:07:09 >> [DEBUG] Старт\n"),
        QtServiceBase::MessageType(type), 257, 0x10005, QByteArray("\x01\xff", 2));
    QCOMPARE(fields,
             (QList<QByteArray>{
                 QStringLiteral("MESSAGE=24.03.05-14:07:09 >> [DEBUG] Старт").toUtf8(), priority,
                 "SYSLOG_IDENTIFIER=Qt Service Test", "VEMO_EVENT_ID=257", "VEMO_EVENT_CATEGORY=5",
                 "VEMO_EVENT_TYPE=" + QByteArray::number(type), "VEMO_EVENT_DATA=01ff"}));
    // Without data there is no data field.
    QCOMPARE(SystemdServicePlatform::journalFields(TestServiceName, QStringLiteral("x"),
                                                   QtServiceBase::Success, 0, 0, QByteArray())
                 .size(),
             6);

    // Written to a journal that may not exist here: silent either way.
    SystemdServicePlatform platform(options());
    platform.writeEvent(TestServiceName, QStringLiteral("x"), QtServiceBase::Error, 259, 0,
                        QByteArray());
}

void TestSystemdServicePlatform::notifyText_data()
{
    QTest::addColumn<uint>("state");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("start-pending") << 2u << QByteArray("STATUS=Starting");
    QTest::newRow("running") << 4u << QByteArray("READY=1\nSTATUS=Running");
    QTest::newRow("stop-pending") << 3u << QByteArray("STOPPING=1\nSTATUS=Stopping");
    QTest::newRow("stopped") << 1u << QByteArray("STOPPING=1\nSTATUS=Stopped, exit code -10");
    QTest::newRow("paused") << 7u << QByteArray("STATUS=Paused");
}

void TestSystemdServicePlatform::notifyText()
{
    QFETCH(uint, state);
    QFETCH(QByteArray, text);
    QtServiceStatus status;
    status.currentState = state;
    status.exitCode = quint32(-10);
    QCOMPARE(SystemdNotifier::notifyText(status), text);
}

void TestSystemdServicePlatform::installAndUninstall()
{
    CountingPlatform platform(options());
    QVERIFY(!platform.isInstalled(TestServiceName));

    QtServiceInstallRequest request;
    request.name = TestServiceName;
    request.description = QStringLiteral("100% test");
    request.startupType = QtServiceController::AutoStartup;
    request.executablePath = QStringLiteral("/opt/test/svc");
    request.account = QStringLiteral("vemo");
    request.password = QStringLiteral("not used");
    QVERIFY(platform.install(request));

    const QString file = units + QLatin1Char('/') + TestUnit;
    QFile unit(file);
    QVERIFY(unit.open(QIODevice::ReadOnly));
    QCOMPARE(unit.readAll(), SystemdUnitFile::text(request));
    QVERIFY(!SystemdUnitFile::text(request).contains("not used"));
    QCOMPARE(readLog(standIn), (QStringList{"show -p LoadState --value -- " + TestUnit,
                                            "daemon-reload", "enable -- " + TestUnit}));
    QVERIFY(platform.isInstalled(TestServiceName));
    QCOMPARE(platform.serviceDescription(TestServiceName), QStringLiteral("100% test"));

    QFile::remove(standIn + "/log");
    QVERIFY(platform.uninstall(TestServiceName));
    QVERIFY(!QFile::exists(file));
    QCOMPARE(readLog(standIn), (QStringList{"disable -- " + TestUnit, "daemon-reload"}));
    QVERIFY(!platform.uninstall(TestServiceName));
}

void TestSystemdServicePlatform::installManualDoesNotEnable()
{
    CountingPlatform platform(options());
    QtServiceInstallRequest request;
    request.name = TestServiceName;
    request.executablePath = QStringLiteral("/opt/test/svc");
    QVERIFY(platform.install(request));
    QCOMPARE(readLog(standIn), QStringList{"daemon-reload"});
}

void TestSystemdServicePlatform::installFailures()
{
    QtServiceInstallRequest request;
    request.name = TestServiceName;
    request.startupType = QtServiceController::AutoStartup;
    request.executablePath = QStringLiteral("/opt/test/svc");

    // enable fails: the unit is taken back.
    writeFile(standIn + "/fail-enable", "");
    CountingPlatform platform(options());
    QVERIFY(!platform.install(request));
    QVERIFY(!QFile::exists(units + QLatin1Char('/') + TestUnit));
    QVERIFY(platform.lastErrorText().contains(QLatin1String("refused enable")));

    // An unwritable unit directory (below a plain file).
    writeFile(temp->filePath("plain"), "");
    SystemdServicePlatform::Options o = options();
    o.unitDirectory = temp->filePath("plain/units");
    CountingPlatform unwritable(o);
    QVERIFY(!unwritable.install(request));

    // daemon-reload failing (systemd not running) still leaves a usable unit.
    QFile::remove(standIn + "/fail-enable");
    writeFile(standIn + "/fail-daemon-reload", "");
    QTest::ignoreMessage(QtWarningMsg, "systemctl daemon-reload: refused daemon-reload");
    QVERIFY(platform.install(request));
}

void TestSystemdServicePlatform::queries()
{
    CountingPlatform platform(options());
    writeFile(standIn + "/LoadState", "loaded\n");
    writeFile(standIn + "/Description", "From systemd\n");
    QVERIFY(platform.isInstalled(TestServiceName));
    QCOMPARE(platform.serviceDescription(TestServiceName), QStringLiteral("From systemd"));

    const QStringList running{"active", "activating", "deactivating", "reloading"};
    for (const QString& state : running) {
        writeFile(standIn + "/ActiveState", state.toUtf8());
        QVERIFY2(platform.isRunning(TestServiceName), qPrintable(state));
    }
    for (const QString& state : {QStringLiteral("inactive"), QStringLiteral("failed")}) {
        writeFile(standIn + "/ActiveState", state.toUtf8());
        QVERIFY2(!platform.isRunning(TestServiceName), qPrintable(state));
    }

    writeFile(standIn + "/LoadState", "not-found\n");
    QVERIFY(!platform.isInstalled(TestServiceName));
    QVERIFY(platform.serviceDescription(TestServiceName).isEmpty());

    QFile::remove(standIn + "/log");
    QVERIFY(platform.start(TestServiceName, {QStringLiteral("--restart"), QStringLiteral("10")}));
    QCOMPARE(readLog(standIn), QStringList{"start --no-block --no-ask-password -- " + TestUnit});
    writeFile(standIn + "/fail-start", "");
    QVERIFY(!platform.start(TestServiceName, {}));
}

void TestSystemdServicePlatform::stopPolling_data()
{
    QTest::addColumn<int>("countdown");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("polls");

    QTest::newRow("already stopped") << 0 << true << 0;
    QTest::newRow("stops on poll 3") << 3 << true << 3;
    QTest::newRow("takes 3 s") << 15 << false << 10;
}

void TestSystemdServicePlatform::stopPolling()
{
    QFETCH(int, countdown);
    QFETCH(bool, result);
    QFETCH(int, polls);

    CountingPlatform platform(options());
    QtServicePlatform::setCurrent(&platform);
    writeFile(standIn + "/countdown", QByteArray::number(countdown));
    QtServiceController controller(TestServiceName);
    QCOMPARE(controller.stop(), result);
    QCOMPARE(platform.sleeps, polls);
    const QStringList log = readLog(standIn);
    QCOMPARE(log.first(), "stop --no-block --no-ask-password -- " + TestUnit);
    QCOMPARE(log.count("show -p ActiveState --value -- " + TestUnit), polls + 1);
}

void TestSystemdServicePlatform::brokenSystemctl()
{
    SystemdServicePlatform::Options o = options();
    o.systemctl = temp->filePath(QStringLiteral("no/such/systemctl"));
    CountingPlatform missing(o);
    QtServicePlatform::setCurrent(&missing);
    QtServiceController controller(TestServiceName);
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.isRunning());
    QVERIFY(controller.serviceDescription().isEmpty());
    QVERIFY(!controller.start());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^stopping \\(.+\\)$"));
    QVERIFY(!controller.stop());
    QVERIFY(!controller.sendCommand(1));

    // A systemctl that never answers is given up after its time limit.
    writeFile(standIn + "/hang", "");
    o = options();
    o.commandTimeoutMs = 300;
    CountingPlatform hanging(o);
    QtServicePlatform::setCurrent(&hanging);
    QVERIFY(!controller.isRunning());
    QVERIFY(!controller.start());
    QVERIFY(hanging.lastErrorText().contains(QLatin1String("no answer")));
}

void TestSystemdServicePlatform::commands()
{
    CountingPlatform platform(options());
    QtServicePlatform::setCurrent(&platform);
    QtServiceController controller(TestServiceName);
    writeFile(standIn + "/ActiveState", "active");

    // No suspension under systemd.
    QVERIFY(!controller.pause());
    QVERIFY(!controller.resume());

    // Outside 0..127 nothing is even looked up.
    QVERIFY(!controller.sendCommand(128));
    QVERIFY(!platform.sendCommand(TestServiceName, -1));
    QVERIFY(readLog(standIn).isEmpty());

    // No main process.
    writeFile(standIn + "/MainPID", "0");
    QVERIFY(!controller.sendCommand(5));
}

void TestSystemdServicePlatform::runUnderNotifySocket()
{
    NotifySocket notify(temp->filePath(QStringLiteral("notify")));
    QVERIFY(notify.isBound());

    ServiceChild child;
    QProcessEnvironment env = childEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
    child.process.setProcessEnvironment(env);
    child.process.start(QStringLiteral(TESTSERVICE_PATH), QStringList());
    QVERIFY(child.process.waitForStarted(LongWaitMs));

    const QList<QByteArray> starting = notify.receiveUntil("READY=1");
    QCOMPARE(starting, (QList<QByteArray>{"STATUS=Starting", "READY=1\nSTATUS=Running"}));
    QVERIFY(child.waitForLine(QStringLiteral("start ") + QStringLiteral(TESTSERVICE_PATH)));

    // A user command as systemd's side would send it.
    const pid_t pid = pid_t(child.process.processId());
    union sigval value;
    value.sival_int = 5;
    QCOMPARE(::sigqueue(pid, SIGRTMIN, value), 0);
    QVERIFY(child.waitForLine(QStringLiteral("command 5")));

    // Through the controller: the main process comes from systemctl.
    CountingPlatform platform(options());
    QtServicePlatform::setCurrent(&platform);
    writeFile(standIn + "/ActiveState", "active");
    writeFile(standIn + "/MainPID", QByteArray::number(qint64(pid)));
    QtServiceController controller(TestServiceName);
    QVERIFY(controller.sendCommand(7));
    QVERIFY(child.waitForLine(QStringLiteral("command 7")));

    // A value outside 0..127 and a plain signal without a value are dropped.
    value.sival_int = 200;
    QCOMPARE(::sigqueue(pid, SIGRTMIN, value), 0);
    QCOMPARE(::kill(pid, SIGRTMIN), 0);
    QVERIFY(controller.sendCommand(0));
    QVERIFY(child.waitForLine(QStringLiteral("command 0")));
    QCOMPARE(child.lines.filter(QLatin1String("command")),
             (QStringList{"command 5", "command 7", "command 0"}));

    // SIGHUP is no stop: the service goes on and answers the next command.
    QCOMPARE(::kill(pid, SIGHUP), 0);
    QVERIFY(controller.sendCommand(3));
    QVERIFY(child.waitForLine(QStringLiteral("command 3")));

    // Every control reports the service running again.
    while (!notify.receive(200).isEmpty()) {
    }

    // SIGTERM is the stop request.
    QCOMPARE(::kill(pid, SIGTERM), 0);
    // The stop-pending state may be reported a second time after the stop
    // request returns, unless the stopped state came first.
    QList<QByteArray> stopping = notify.receiveUntil("STATUS=Stopped");
    stopping.erase(std::unique(stopping.begin(), stopping.end()), stopping.end());
    QCOMPARE(stopping, (QList<QByteArray>{"STOPPING=1\nSTATUS=Stopping",
                                          "STOPPING=1\nSTATUS=Stopped, exit code 0"}));
    QVERIFY(child.finish());
    QCOMPARE(child.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.process.exitCode(), 0);
    QCOMPARE(child.lines.mid(child.lines.size() - 2), (QStringList{"stop", "exit 0"}));
    QVERIFY(notify.receive(200).isEmpty()); // nothing after the stopped report
}

void TestSystemdServicePlatform::startedByHandAsksSystemd()
{
    ServiceChild child;
    child.process.setProcessEnvironment(childEnvironment());
    child.process.start(QStringLiteral(TESTSERVICE_PATH),
                        {QStringLiteral("--restart"), QStringLiteral("1")});
    QVERIFY(child.finish());
    QCOMPARE(child.process.exitCode(), 0);
    QCOMPARE(child.lines, QStringList{"exit 0"});
    QCOMPARE(readLog(standIn), QStringList{"start --no-block --no-ask-password -- " + TestUnit});

    // Not installed: systemctl refuses the start.
    writeFile(standIn + "/fail-start", "");
    ServiceChild refused;
    refused.process.setProcessEnvironment(childEnvironment());
    refused.process.start(QStringLiteral(TESTSERVICE_PATH), QStringList());
    QVERIFY(refused.finish());
    QCOMPARE(refused.process.exitCode(), 256 - 4);
    QCOMPARE(refused.process.readAllStandardError(),
             QByteArray("The service Qt Service Test could not start\n"));
}

void TestSystemdServicePlatform::restartCopyIsNotTheService()
{
    // A copy started by the service inherits NOTIFY_SOCKET; the mark of the
    // service process tells it that it is not the service.
    NotifySocket notify(temp->filePath(QStringLiteral("notify")));
    QVERIFY(notify.isBound());
    ServiceChild child;
    QProcessEnvironment env = childEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
    env.insert(QStringLiteral("QTSERVICE_SYSTEMD_PID"), QStringLiteral("1"));
    child.process.setProcessEnvironment(env);
    child.process.start(QStringLiteral(TESTSERVICE_PATH), QStringList());
    QVERIFY(child.finish());
    QCOMPARE(child.process.exitCode(), 0);
    QCOMPARE(child.lines, QStringList{"exit 0"});
    QCOMPARE(readLog(standIn), QStringList{"start --no-block --no-ask-password -- " + TestUnit});
    QVERIFY(notify.receive(200).isEmpty());
}

void TestSystemdServicePlatform::installFromCommandLine()
{
    ServiceChild child;
    child.process.setProcessEnvironment(childEnvironment());
    child.process.start(QStringLiteral(TESTSERVICE_PATH), {QStringLiteral("-i")});
    QVERIFY(child.finish());
    QCOMPARE(child.process.exitCode(), 0);
    const QString path = QFileInfo(QStringLiteral(TESTSERVICE_PATH)).canonicalFilePath();
    QCOMPARE(
        child.lines,
        (QStringList{"The service Qt Service Test has been installed under: " + path, "exit 0"}));
    QVERIFY(QFile::exists(units + QLatin1Char('/') + TestUnit));
    QVERIFY(readLog(standIn).contains("enable -- " + TestUnit));

    ServiceChild version;
    version.process.setProcessEnvironment(childEnvironment());
    version.process.start(QStringLiteral(TESTSERVICE_PATH), {QStringLiteral("-v")});
    QVERIFY(version.finish());
    QVERIFY(version.lines.contains(QStringLiteral("is installed and not running")));

    ServiceChild uninstall;
    uninstall.process.setProcessEnvironment(childEnvironment());
    uninstall.process.start(QStringLiteral(TESTSERVICE_PATH), {QStringLiteral("-u")});
    QVERIFY(uninstall.finish());
    QCOMPARE(uninstall.lines.first(),
             QStringLiteral("The service Qt Service Test has been uninstalled."));
    QVERIFY(!QFile::exists(units + QLatin1Char('/') + TestUnit));
}

void TestSystemdServicePlatform::watchdogFromMainLoop()
{
    NotifySocket notify(temp->filePath(QStringLiteral("notify")));
    QVERIFY(notify.isBound());
    ServiceChild child;
    QProcessEnvironment env = childEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("300000"));
    child.process.setProcessEnvironment(env);
    child.process.start(QStringLiteral(TESTSERVICE_PATH), QStringList());
    QVERIFY(child.process.waitForStarted(LongWaitMs));
    QVERIFY(!notify.receiveUntil("READY=1").isEmpty());
    QVERIFY(!notify.receiveUntil("WATCHDOG=1").isEmpty());

    // The main thread blocked for five times the limit: no ping from the
    // moment it blocks until it turns again, then the pings resume.
    const pid_t pid = pid_t(child.process.processId());
    union sigval value;
    value.sival_int = 98;
    QCOMPARE(::sigqueue(pid, SIGRTMIN, value), 0);
    QVERIFY(!notify.receiveUntil("STATUS=blocking").isEmpty());
    const QList<QByteArray> blocked = notify.receiveUntil("STATUS=unblocked");
    QVERIFY(!blocked.isEmpty());
    QVERIFY2(!blocked.contains("WATCHDOG=1"), blocked.join(" | ").constData());
    QVERIFY(!notify.receiveUntil("WATCHDOG=1").isEmpty());

    QCOMPARE(::kill(pid, SIGTERM), 0);
    QVERIFY(child.finish());
    QCOMPARE(child.process.exitCode(), 0);
}

void TestSystemdServicePlatform::notifySocketGone_data()
{
    QTest::addColumn<int>("socket"); // 0 removed while running, 1 never there, 2 never read
    QTest::addColumn<QString>("warning");
    QTest::newRow("removed while running") << 0 << "cannot be reached";
    QTest::newRow("never there") << 1 << "cannot be reached";
    QTest::newRow("never read") << 2 << "does not read its notify socket";
}

void TestSystemdServicePlatform::notifySocketGone()
{
    // systemd's socket goes away, or systemd stops reading it: the service
    // says so once, goes on serving, and still stops in order.
    QFETCH(int, socket);
    QFETCH(QString, warning);
    QScopedPointer<NotifySocket> notify(new NotifySocket(temp->filePath("notify")));
    QVERIFY(notify->isBound());
    const QString path = notify->path();
    if (socket == 1) {
        notify.reset();
        QFile::remove(path);
    }
    ServiceChild child;
    QProcessEnvironment env = childEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), path);
    // Pinged every 10 ms: an unread queue is full at once.
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("30000"));
    child.process.setProcessEnvironment(env);
    child.process.start(QStringLiteral(TESTSERVICE_PATH), QStringList());
    QVERIFY(child.process.waitForStarted(LongWaitMs));
    if (socket == 0) {
        QVERIFY(!notify->receiveUntil("READY=1").isEmpty());
        notify.reset();
        QVERIFY(QFile::remove(path));
    }
    QVERIFY(child.waitForLine(QStringLiteral("start ") + QStringLiteral(TESTSERVICE_PATH)));
    // The pings go on until one finds no way through.
    QString err;
    QDeadlineTimer deadline(LongWaitMs);
    while (!err.contains(warning) && !deadline.hasExpired() &&
           child.process.state() == QProcess::Running) {
        child.process.waitForReadyRead(100);
        err += QString::fromLocal8Bit(child.process.readAllStandardError());
    }

    const pid_t pid = pid_t(child.process.processId());
    union sigval value;
    value.sival_int = 5;
    QCOMPARE(::sigqueue(pid, SIGRTMIN, value), 0);
    QVERIFY(child.waitForLine(QStringLiteral("command 5")));
    QCOMPARE(::kill(pid, SIGTERM), 0);
    QVERIFY(child.finish());
    QCOMPARE(child.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.process.exitCode(), 0);
    QCOMPARE(child.lines.mid(child.lines.size() - 2), (QStringList{"stop", "exit 0"}));
    err += QString::fromLocal8Bit(child.process.readAllStandardError());
    QCOMPARE(err.count(warning), 1);
}

QTEST_GUILESS_MAIN(TestSystemdServicePlatform)
#include "tst_systemdserviceplatform.moc"
