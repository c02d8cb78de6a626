// paramserver as an administrator operates it on Linux: its files in the state
// directory systemd gives it, and the Prometheus endpoint scraped after real
// device and workstation traffic.

#include "metricssample.h"
#include "serverprocess.h"
#include "toolrun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

#if !defined(PARAMSERVER_PATH) || !defined(PARAMCTL_PATH) || !defined(UOOSIM_PATH)
#error "PARAMSERVER_PATH, PARAMCTL_PATH and UOOSIM_PATH must name the programs"
#endif

namespace {

int ctl(const ServerProcess& server, const QStringList& args, QString* out = nullptr)
{
    const ToolRun run = runParamCtl(PARAMCTL_PATH, server, args);
    if (out) {
        *out = run.out;
    }
    return run.exitCode;
}

int sim(const ServerProcess& server, const QStringList& args, QString* out = nullptr)
{
    const ToolRun run = runUooSim(UOOSIM_PATH, server, args);
    if (out) {
        *out = run.out;
    }
    return run.exitCode;
}

quint16 freeTcpPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QString scrape(quint16 port)
{
    return QString::fromUtf8(httpGet(port, "/metrics"));
}

// Gauges are published once a second: scrape until the value shows (or give up).
bool waitForSample(quint16 port, const QString& name, double value, QString* last)
{
    QDeadlineTimer deadline(20000);
    do {
        *last = scrape(port);
        if (metricSample(*last, name) == value) {
            return true;
        }
        QThread::msleep(100);
    } while (!deadline.hasExpired());
    return false;
}

// TCP ports the process listens on: its socket inodes matched against the
// kernel's table of listening sockets.
QSet<quint16> listeningPorts(qint64 pid)
{
    QSet<QString> inodes;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd :
         fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.contains(QLatin1String("socket:["))) {
            inodes << target.section('[', 1).section(']', 0, 0);
        }
    }
    QSet<quint16> ports;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file{QString::fromLatin1(table)};
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QStringList lines = QString::fromLatin1(file.readAll()).split('\n');
        for (const QString& line : lines.mid(1)) {
            const QStringList f = line.simplified().split(' ');
            // local address, state 0A = LISTEN, inode
            if (f.size() > 9 && f[3] == QLatin1String("0A") && inodes.contains(f[9])) {
                ports << quint16(f[1].section(':', -1).toUInt(nullptr, 16));
            }
        }
    }
    return ports;
}

} // namespace

class TestOperations : public QObject
{
    Q_OBJECT
private slots:
    // Two servers with the same ports on two addresses of one machine, as two
    // nodes behind one virtual address: each listens on its own address only.
    void serversOnTheirOwnAddresses()
    {
        ServerProcess first(PARAMSERVER_PATH);
        ServerProcess second(PARAMSERVER_PATH);
        QVERIFY(first.isValid() && second.isValid());
        const QString rpcPort = QString::number(first.rpcPort());
        const QString paramsPort = QString::number(first.paramsPort());
        second.setSetting("Network/RpcPort", first.rpcPort());
        second.setSetting("Network/ParamsPort", first.paramsPort());
        first.setSetting("Network/BindAddress", "127.0.0.2");
        second.setSetting("Network/BindAddress", " 127.0.0.3 ");
        QVERIFY2(first.start(), qPrintable(first.log()));
        QVERIFY2(second.start(), qPrintable(second.log()));

        const struct
        {
            const char* address;
            const char* uoo;
        } nodes[] = {{"127.0.0.2", "61"}, {"127.0.0.3", "62"}};
        for (const auto& node : nodes) {
            const QString address = QLatin1String(node.address);
            const ToolRun device =
                runTool(UOOSIM_PATH, {"--server", address + ":" + paramsPort, "--uoo", node.uoo});
            QVERIFY2(device.exitCode == 0, qPrintable(device.out + device.err));
        }
        // Each node knows only the device that spoke to its address.
        for (const auto& node : nodes) {
            const ToolRun list = runTool(PARAMCTL_PATH, {"--host", QLatin1String(node.address),
                                                         "--port", rpcPort, "devices"});
            QCOMPARE(list.exitCode, 0);
            QCOMPARE(list.lines.size(), 1);
            QVERIFY2(list.lines.first().startsWith(QStringLiteral("uoo=%1\t").arg(node.uoo)),
                     qPrintable(list.out));
        }
        // Nobody listens on the machine's other addresses.
        const ToolRun stray = runTool(UOOSIM_PATH, {"--server", "127.0.0.1:" + paramsPort, "--uoo",
                                                    "63", "--timeout", "300"});
        QCOMPARE(stray.exitCode, 2);
        QTcpSocket workstation;
        workstation.connectToHost(QHostAddress::LocalHost, first.rpcPort());
        QVERIFY(!workstation.waitForConnected(5000));
    }

    void metricsCountDeviceAndWorkstationTraffic()
    {
        ServerProcess server(PARAMSERVER_PATH);
        const quint16 metricsPort = freeTcpPort();
        server.setSetting("Metrics/Port", metricsPort);
        QVERIFY2(server.start(), qPrintable(server.log()));
        QVERIFY(server.log().contains(
            QString("Метрики доступны по адресу http://127.0.0.1:%1/metrics").arg(metricsPort)));
        QCOMPARE(listeningPorts(server.pid()), (QSet<quint16>{server.rpcPort(), metricsPort}));

        // A device uploads its set; an operator schedules a new one, which the
        // device fetches and confirms at its next synchronisation.
        const quint32 uoo = 4711;
        QCOMPARE(sim(server, {"--uoo", QString::number(uoo), "--params-size", "1000"}), 0);
        QTemporaryDir files;
        const QString newSet = files.filePath("new.bin");
        {
            QFile f(newSet);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(1300, '\x5a'));
        }
        QString out;
        QCOMPARE(ctl(server, {"schedule", QString::number(uoo), newSet}, &out), 0);
        QCOMPARE(out.trimmed(), QString("OK"));
        QCOMPARE(sim(server, {"--uoo", QString::number(uoo), "--params-size", "1000"}, &out), 0);
        QVERIFY2(out.contains("FINISHED_ACK"), qPrintable(out));

        // A failed login, a malformed datagram, a connection that does not log in.
        QThread::msleep(1100);
        QVERIFY(ctl(server, {"--password", "0123456789abcdef0123456789abcdef", "users"}) != 0);
        QUdpSocket garbage;
        garbage.writeDatagram("not a datagram of the protocol", QHostAddress::LocalHost,
                              server.paramsPort());
        QTcpSocket anonymous;
        anonymous.connectToHost(QHostAddress::LocalHost, server.rpcPort());
        QVERIFY(anonymous.waitForConnected(10000));

        QString text;
        QVERIFY2(
            waitForSample(metricsPort, "paramserver_rpc_clients{logged_in=\"false\"}", 1, &text),
            qPrintable(text));
        QVERIFY2(waitForSample(metricsPort, "paramserver_invalid_datagrams_total", 1, &text),
                 qPrintable(text));
        QCOMPARE(metricSample(text, "paramserver_rpc_clients{logged_in=\"true\"}"), 0.0);
        QCOMPARE(metricSample(text, "paramserver_devices_known"), 1.0);
        QCOMPARE(metricSample(text, "paramserver_devices_online"), 1.0);
        QCOMPARE(metricSample(text, "paramserver_uploads_completed_total"), 1.0);
        QCOMPARE(metricSample(text, "paramserver_downloads_completed_total"), 1.0);
        QCOMPARE(metricSample(text, "paramserver_downloads_abandoned_total"), 0.0);
        QCOMPARE(metricSample(text, "paramserver_logins_failed_total"), 1.0);
        QCOMPARE(metricSample(text, "paramserver_db_write_failures_total"), 0.0);
        // First contact, in step after the upload, the new set offered, in step
        // after it was applied: at least four.
        QVERIFY(metricSample(text, "paramserver_sync_requests_total") >= 4);
        QVERIFY(text.contains("paramserver_build_info{version=\"0.5\""));

        int exitCode = -1;
        QVERIFY(server.interrupt(SIGTERM, &exitCode));
        QCOMPARE(exitCode, 0);
    }

    void metricsOffOrBadLeaveOnlyTheServers_data()
    {
        QTest::addColumn<QVariant>("port");
        QTest::addColumn<int>("logLines");
        QTest::newRow("unset") << QVariant() << 0;
        QTest::newRow("zero") << QVariant(0) << 0;
        QTest::newRow("not a number") << QVariant("ninety-one hundred") << 1;
    }
    void metricsOffOrBadLeaveOnlyTheServers()
    {
        QFETCH(QVariant, port);
        QFETCH(int, logLines);
        ServerProcess server(PARAMSERVER_PATH);
        if (port.isValid()) {
            server.setSetting("Metrics/Port", port);
        }
        QVERIFY2(server.start(), qPrintable(server.log()));
        QCOMPARE(server.log().count("Метрики"), 0);
        QCOMPARE(server.log().count("Metrics/Port"), logLines);
        QCOMPARE(listeningPorts(server.pid()), QSet<quint16>{server.rpcPort()});
        QVERIFY(server.interrupt(SIGTERM));
    }

    void filesLiveInTheStateDirectory()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QTemporaryDir state;
        QFile bindhost(state.filePath("bindhost.txt"));
        QVERIFY(bindhost.open(QIODevice::WriteOnly));
        bindhost.write("127.0.0.1");
        bindhost.close();
        server.setEnvironmentVariable("STATE_DIRECTORY", state.path());
        QVERIFY2(server.start(), qPrintable(server.log()));
        QVERIFY2(
            server.log().contains(
                QString("Сервер администрирования запущен на 127.0.0.1:%1").arg(server.rpcPort())),
            qPrintable(server.log()));
        QVERIFY(server.interrupt(SIGTERM));

        for (const char* file : {"vemo_resource.db", "params_upd.db"}) {
            QVERIFY2(QFile::exists(state.filePath(file)), file);
            QVERIFY2(!QFile::exists(server.directory() + "/" + file), file);
        }
    }

    void unusableStateDirectoryIsAStartFailureWithItsPath()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QTemporaryDir scratch;
        // Under a plain file nothing can be created, whoever runs the test.
        QFile file(scratch.filePath("file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const QString state = scratch.filePath("file/state");
        server.setEnvironmentVariable("STATE_DIRECTORY", state);
        QVERIFY(server.launch());
        QVERIFY2(server.waitForLog("ERROR: Ошибка открытия файла БД ресурсов " + state +
                                   "/vemo_resource.db"),
                 qPrintable(server.log()));
        QVERIFY(!server.log().contains("Сервер администрирования запущен"));
        QVERIFY(listeningPorts(server.pid()).isEmpty());
        QVERIFY(!QFile::exists(server.directory() + "/vemo_resource.db"));
        QVERIFY(server.interrupt(SIGTERM));
    }

    void installedUnitIsWhatInstallWrites()
    {
#ifndef PACKAGED_UNIT
        QSKIP("built without systemd");
#else
        ServerProcess server(PARAMSERVER_PATH);
        QTemporaryDir units;
        server.setEnvironmentVariable("QTSERVICE_SYSTEMD_UNIT_DIR", units.path());
        server.setEnvironmentVariable("QTSERVICE_SYSTEMCTL", "true");
        QCOMPARE(server.runToEnd({"-i"}), 0);
        QFile written(units.filePath("VEMO_UOO_Params_Server_service.service"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        // The same program installed: its own path in place of the copy's.
        const QByteArray expected =
            written.readAll().replace(server.directory().toUtf8(), INSTALL_BINDIR);
        QFile packaged(PACKAGED_UNIT);
        QVERIFY(packaged.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(packaged.readAll()), QString::fromUtf8(expected));
#endif
    }
};

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
