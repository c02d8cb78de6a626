// The Windows build as a station gets it, run under Wine: the installer's
// silent install, the service under the service control manager serving a
// device emulator and a workstation from this side over loopback, a stop, a
// restart requested from inside the service, the settings dialog's ports, a
// second install over the running service, and the uninstall.
//
// Needs VEMO_WINDOWS_BUILD: the folder that scripts/build-windows.sh filled.
// Without it the test skips, unless VEMO_REQUIRE_WINE=1 (CI) makes that a failure.

#include "wineprefix.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#if !defined(PARAMCTL_PATH) || !defined(UOOSIM_PATH)
#error "PARAMCTL_PATH and UOOSIM_PATH must name the Linux paramctl and uoosim"
#endif

namespace {

const char* const Service = "VEMO UOO_Params_Server service";
const char* const InstallDir = "C:\\Program Files\\VEMO\\ParamServer";
const char* const MachineNetworkKey = "HKLM\\Software\\Kolvant\\VemoParamsServer\\Network";

struct Result
{
    int exitCode = -1;
    QStringList lines;
};

Result runTool(const QString& program, const QStringList& args)
{
    QProcess process;
    process.start(program, args);
    Result r;
    if (process.waitForFinished(60000)) {
        r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        r.lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    } else {
        process.kill();
        process.waitForFinished(5000);
    }
    return r;
}

bool listens(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(3000);
}

bool waitForListening(quint16 port, bool wanted, int timeoutMs = 60000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (listens(port) != wanted) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(300);
    }
    return true;
}

quint16 freePort()
{
    // Free for TCP and for UDP alike.
    for (int attempt = 0; attempt < 50; ++attempt) {
        QTcpServer tcp;
        tcp.listen(QHostAddress::Any, 0);
        QUdpSocket udp;
        if (udp.bind(QHostAddress::Any, tcp.serverPort()))
            return tcp.serverPort();
    }
    return 0;
}

QVariant fileValue(const QString& path, const QString& statement)
{
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "probe");
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(statement) && q.next())
                value = q.value(0);
        }
    }
    QSqlDatabase::removeDatabase("probe");
    return value;
}

} // namespace

class TestWineService : public QObject
{
    Q_OBJECT

    QString build;
    WinePrefix wine;
    quint16 rpcPort = 0;
    quint16 paramsPort = 0;

    QString installed(const QString& name) const
    {
        return wine.hostPath(QLatin1String(InstallDir)) + QLatin1Char('/') + name;
    }
    Result ctl(const QStringList& args) const
    {
        // One login a second per account.
        QThread::msleep(1100);
        return runTool(PARAMCTL_PATH, QStringList{"--port", QString::number(rpcPort)} + args);
    }
    Result sim(const QStringList& args) const
    {
        return runTool(UOOSIM_PATH,
                       QStringList{"--server", QString("127.0.0.1:%1").arg(paramsPort)} + args);
    }
    bool setMachinePorts(quint16 rpc, quint16 params)
    {
        for (const auto& [name, port] : {std::pair<QString, quint16>{"RpcPort", rpc}, {"ParamsPort", params}}) {
            const WinePrefix::Result r =
                wine.run("reg", {"add", MachineNetworkKey, "/v", name, "/t", "REG_DWORD", "/d",
                                 QString::number(port), "/f"});
            if (r.exitCode != 0)
                return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        build = qEnvironmentVariable("VEMO_WINDOWS_BUILD");
        if (build.isEmpty()) {
            if (qEnvironmentVariable("VEMO_REQUIRE_WINE") == "1")
                QFAIL("VEMO_WINDOWS_BUILD is not set");
            QSKIP("VEMO_WINDOWS_BUILD is not set (scripts/build-windows.sh)");
        }
        QVERIFY(QFile::exists(build + "/vemo-paramserver-setup.exe"));
        QVERIFY2(wine.create(), qPrintable(wine.error()));
        // The ports the station's administrator chose, machine-wide, before the
        // service first starts.
        rpcPort = freePort();
        paramsPort = freePort();
        QVERIFY(rpcPort != 0 && paramsPort != 0 && rpcPort != paramsPort);
        QVERIFY(setMachinePorts(rpcPort, paramsPort));
    }

    void silentInstallStartsTheService()
    {
        const WinePrefix::Result r = wine.run(build + "/vemo-paramserver-setup.exe", {"/S"}, 300000);
        QVERIFY2(r.exitCode == 0, qPrintable(QString::number(r.exitCode) + r.err));
        for (const char* program : {"paramserver.exe", "paramconfig.exe", "paramctl.exe", "uoosim.exe",
                                    "uninstall.exe"})
            QVERIFY2(QFile::exists(installed(program)), program);

        // What the service control manager keeps of the service.
        const QString key = QString("HKLM\\System\\CurrentControlSet\\Services\\") + Service;
        QCOMPARE(wine.registryValue(key, "Start"), QString("0x2")); // automatic
        QCOMPARE(wine.registryValue(key, "ObjectName"), QString("LocalSystem"));
        QCOMPARE(wine.registryValue(key, "ImagePath"),
                 QString("\"%1\\paramserver.exe\"").arg(InstallDir));
        QCOMPARE(wine.registryValue(key, "Description"), QString("Служба сервера параметров УОО VEMO"));
        QVERIFY(wine.waitForServiceState(Service, "RUNNING"));
        QVERIFY(waitForListening(rpcPort, true));
    }

    void servesDeviceAndWorkstation()
    {
        const quint32 uoo = 4711;
        Result r = sim({"--uoo", QString::number(uoo), "--params-size", "1000"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.filter("SYNC_REPLY command=0").size(), 1);
        QCOMPARE(r.lines.filter("UPLOAD_ACK").size(), 2);

        r = ctl({"devices"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 1);
        QVERIFY2(r.lines[0].startsWith(QString("uoo=%1\t").arg(uoo)), qPrintable(r.lines[0]));
        QVERIFY(r.lines[0].contains("online=yes"));
        r = ctl({"params", QString::number(uoo)});
        QVERIFY2(r.lines.value(0).contains("uooparams=1000"), qPrintable(r.lines.join('|')));

        // A new set scheduled by the workstation reaches the device chunk by chunk.
        QTemporaryDir files;
        const QString newSet = files.filePath("new.bin");
        QByteArray bytes(1300, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 + 3);
        {
            QFile f(newSet);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        QCOMPARE(ctl({"schedule", QString::number(uoo), newSet}).lines, QStringList{"OK"});
        const QString applied = files.filePath("applied.bin");
        r = sim({"--uoo", QString::number(uoo), "--params-size", "1000", "--save", applied});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.filter("DOWNLOAD_CHUNK").size(), 3);
        QFile saved(applied);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), bytes);
    }

    void stopsThroughTheServiceManager()
    {
        const WinePrefix::Result r = wine.run("sc", {"stop", Service});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY(wine.waitForServiceState(Service, "STOPPED"));
        QVERIFY(waitForListening(rpcPort, false));
        // The records reached the parameters file beside the program.
        QCOMPARE(fileValue(installed("params_upd.db"), "SELECT length(uooparams) FROM desc WHERE uoo = 4711").toInt(),
                 1300);
    }

    void restartsAfterAnExceptionInAnEventHandler()
    {
        WinePrefix::Result r = wine.run("sc", {"start", Service});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY(wine.waitForServiceState(Service, "RUNNING"));
        QVERIFY(waitForListening(rpcPort, true));
        QTcpSocket before;
        before.connectToHost(QHostAddress::LocalHost, rpcPort);
        QVERIFY(before.waitForConnected(5000));

        // The restart command: a handler on the service's main thread throws.
        r = wine.run(installed("paramserver.exe"), {"-c", "1"});
        QCOMPARE(r.exitCode, 0);
        // The old process ends (its connections with it) ...
        QVERIFY(before.state() == QAbstractSocket::UnconnectedState || before.waitForDisconnected(60000));
        // ... and its copy has the service manager start the service again.
        QVERIFY(wine.waitForServiceState(Service, "RUNNING"));
        QVERIFY2(waitForListening(rpcPort, true),
                 "the RPC server does not listen on its port after the restart");
    }

    void dialogPortsReachTheServiceAfterItsRestart()
    {
        const quint16 newRpc = freePort();
        const quint16 newParams = freePort();
        QVERIFY(newRpc != 0 && newParams != 0 && newRpc != newParams);
        const WinePrefix::Result r =
            wine.run(build + "/bin/dialogdriver.exe", {QString::number(newParams), QString::number(newRpc)});
        QVERIFY2(r.exitCode == 0, qPrintable(QString::number(r.exitCode) + '\n' + r.out + r.err));
        // What the dialog showed first: the machine-wide ports and, read from the
        // service control manager, the installed service's description.
        QVERIFY2(r.out.contains(QString("paramPortEdit=%1\n").arg(paramsPort)), qPrintable(r.out));
        QVERIFY2(r.out.contains(QString("admPortEdit=%1\n").arg(rpcPort)), qPrintable(r.out));
        QVERIFY2(r.out.contains("status=Служба сервера параметров УОО VEMO © 2018"), qPrintable(r.out));
        // One message box, the one after a successful save and restart.
        const QStringList boxes = r.out.split('\n').filter(QRegularExpression("^box="));
        QCOMPARE(boxes, QStringList{"box=Настройки сохранены в реестр, служба параметров VEMO была перезапущена"});
        QCOMPARE(wine.registryValue(MachineNetworkKey, "RpcPort"), "0x" + QString::number(newRpc, 16));
        QCOMPARE(wine.registryValue(MachineNetworkKey, "ParamsPort"), "0x" + QString::number(newParams, 16));

        QVERIFY(wine.waitForServiceState(Service, "RUNNING"));
        QVERIFY(waitForListening(newRpc, true));
        QVERIFY(waitForListening(rpcPort, false));
        rpcPort = newRpc;
        paramsPort = newParams;
        const Result sync = sim({"--uoo", "4711", "--params-size", "1300"});
        QCOMPARE(sync.exitCode, 0);
    }

    void secondInstallKeepsTheData()
    {
        const WinePrefix::Result r = wine.run(build + "/vemo-paramserver-setup.exe", {"/S"}, 300000);
        QVERIFY2(r.exitCode == 0, qPrintable(QString::number(r.exitCode) + r.err));
        QVERIFY(wine.waitForServiceState(Service, "RUNNING"));
        QVERIFY(waitForListening(rpcPort, true));
        // The stored set survived the replacement of the programs ...
        QCOMPARE(fileValue(installed("params_upd.db"), "SELECT length(uooparams) FROM desc WHERE uoo = 4711").toInt(),
                 1300);
        // ... and the new service serves the device and the workstation.
        QCOMPARE(sim({"--uoo", "4711", "--params-size", "1300"}).exitCode, 0);
        const Result devices = ctl({"devices"});
        QCOMPARE(devices.lines.size(), 1);
        QVERIFY(devices.lines[0].startsWith("uoo=4711\t"));
    }

    void uninstallRemovesServiceAndProgramsKeepsData()
    {
        const WinePrefix::Result r = wine.run(installed("uninstall.exe"), {"/S", "_?=" + QString(InstallDir)}, 300000);
        QVERIFY2(r.exitCode == 0, qPrintable(QString::number(r.exitCode) + r.err));
        QVERIFY(waitForListening(rpcPort, false));
        // Removed once its process has ended.
        QVERIFY(wine.waitForServiceState(Service, QString()));
        QVERIFY(!QFile::exists(installed("paramserver.exe")));
        QVERIFY(!QFile::exists(installed("paramconfig.exe")));
        QVERIFY(QFile::exists(installed("params_upd.db")));
        QVERIFY(QFile::exists(installed("vemo_resource.db")));
    }
};

QTEST_GUILESS_MAIN(TestWineService)
#include "tst_wineservice.moc"
