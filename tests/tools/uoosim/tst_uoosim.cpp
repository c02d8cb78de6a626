// uoosim, the device emulator, run as a program against a parameter server in
// this test over loopback UDP: every path of the device state machine driven
// from outside.

#include "paramcrc16.h"
#include "testfile.h"
#include "vemoparamserver.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <memory>

namespace {

QByteArray pattern(int size, int seed)
{
    QByteArray set(size, '\0');
    for (int i = 0; i < size; ++i) {
        set[i] = static_cast<char>((i * 11 + seed * 17) & 0xFF);
    }
    return set;
}

QString hex16(quint16 value)
{
    return QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0'));
}

void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg) {
        fprintf(stderr, "%s\n", qPrintable(text));
    }
}

struct Run
{
    int exitCode = -1;
    QStringList lines;

    int count(const QString& prefix) const
    {
        int n = 0;
        for (const QString& line : lines) {
            n += line.startsWith(prefix) ? 1 : 0;
        }
        return n;
    }
    bool has(const QString& line) const { return lines.contains(line); }
};

} // namespace

class TestUooSim : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void freshDeviceUploads();
    void downloadAppliesNewSet();
    void droppedAckRestartsDownload();
    void badUploadChunkIsRepeated();
    void badSetCrcGivesUpAfterFourAttempts();
    void silentMidDownloadThenResumes();
    void silentServerTimesOut();
    void badArguments_data();
    void badArguments();
    void loadMode();

private:
    Run runSim(const QStringList& args, quint16 port = 0);
    QString writeFile(const QString& name, const QByteArray& bytes);
    // Makes the device known with the set in its file by one clean run, then
    // schedules a new set for it.
    void knownDeviceWithNewSet(int uoo, const QString& file, const QByteArray& newSet);
    int logRows(int message);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VemoParamServer> m_server;
    QString m_oldDir;
    QtMessageHandler m_oldHandler = nullptr;
};

void TestUooSim::init()
{
    m_oldHandler = qInstallMessageHandler(quietHandler);
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldDir = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
    m_server = std::make_unique<VemoParamServer>();
    m_server->setBindAddress(QHostAddress::LocalHost);
    m_server->setPort(0);
    m_server->start();
    QVERIFY(m_server->boundPort() != 0);
}

void TestUooSim::cleanup()
{
    m_server.reset();
    QDir::setCurrent(m_oldDir);
    m_dir.reset();
    qInstallMessageHandler(m_oldHandler);
}

Run TestUooSim::runSim(const QStringList& args, quint16 port)
{
    QProcess process;
    QStringList all{QStringLiteral("--server"),
                    QStringLiteral("127.0.0.1:%1").arg(port != 0 ? port : m_server->boundPort())};
    all << args;
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(QStringLiteral(UOOSIM_PATH), all);
    Run run;
    // The server answers inside this event loop while the program runs.
    if (!process.waitForStarted(30000) || !finished.wait(120000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    run.lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return run;
}

QString TestUooSim::writeFile(const QString& name, const QByteArray& bytes)
{
    const QString path = m_dir->filePath(name);
    return writeTestFile(path, bytes) ? path : QString();
}

void TestUooSim::knownDeviceWithNewSet(int uoo, const QString& file, const QByteArray& newSet)
{
    QCOMPARE(runSim({QStringLiteral("--uoo"), QString::number(uoo), QStringLiteral("--params"), file})
                 .exitCode,
             0);
    UooRParamsDesc request;
    request.localparams = newSet;
    QVERIFY(m_server->scheduleNewParams(uoo, request));
}

int TestUooSim::logRows(int message)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("vemo_params")));
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM log WHERE message = :m"));
    query.bindValue(QStringLiteral(":m"), message);
    return query.exec() && query.next() ? query.value(0).toInt() : -1;
}

void TestUooSim::freshDeviceUploads()
{
    const QByteArray set = pattern(1000, 1);
    const Run run = runSim({"--uoo", "7", "--params", writeFile("cur.bin", set), "--device",
                            "UOO-SIM-7", "--version", "4.5.6", "--status", "3"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.has(QStringLiteral("SYNC_REPLY command=0 size=0 crc=0x0000")));
    QVERIFY(run.has(QStringLiteral("UPLOAD_ACK crc=%1").arg(hex16(paramCrc16(set.left(512))))));
    QVERIFY(run.has(QStringLiteral("UPLOAD_ACK crc=%1").arg(hex16(paramCrc16(set.mid(512))))));
    QVERIFY(run.has(QStringLiteral("UPLOAD_DONE size=1000")));
    QCOMPARE(run.lines.value(run.lines.size() - 2),
             QStringLiteral("SYNC_REPLY command=1 size=0 crc=0x0000"));
    QCOMPARE(run.lines.last(), QStringLiteral("IN_SYNC"));

    const UooRParamsDesc record = m_server->uooParamsDesc(7);
    QCOMPARE(record.state, 1);
    QCOMPARE(record.uooparams, set);
    const UooDescriptor descriptor = m_server->uooDescriptor(7);
    QCOMPARE(descriptor.device, QStringLiteral("UOO-SIM-7"));
    QCOMPARE(descriptor.version, (5u << 16) | (4u << 8) | 6u);
    QCOMPARE(descriptor.status, 0x83u);
    QCOMPARE(descriptor.ip, 0x7F000001u);
}

void TestUooSim::downloadAppliesNewSet()
{
    const QByteArray current = pattern(300, 2);
    const QByteArray newSet = pattern(1000, 3);
    const QString file = writeFile("cur.bin", current);
    knownDeviceWithNewSet(8, file, newSet);
    if (QTest::currentTestFailed())
        return;

    const QString saved = m_dir->filePath("applied.bin");
    const Run run = runSim({"--uoo", "8", "--params", file, "--save", saved});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.has(
        QStringLiteral("SYNC_REPLY command=3 size=1000 crc=%1").arg(hex16(paramSetCrc(newSet)))));
    QVERIFY(run.has(QStringLiteral("DOWNLOAD_CHUNK offset=0 length=512 left=488 crc=%1")
                        .arg(hex16(paramCrc16(newSet.left(512))))));
    QVERIFY(run.has(QStringLiteral("DOWNLOAD_CHUNK offset=512 length=488 left=0 crc=%1")
                        .arg(hex16(paramCrc16(newSet.mid(512))))));
    QVERIFY(
        run.has(QStringLiteral("DOWNLOAD_DONE size=1000 crc=%1").arg(hex16(paramSetCrc(newSet)))));
    QVERIFY(run.has(QStringLiteral("FINISHED_ACK")));
    QVERIFY(run.count(QStringLiteral("APPLIED ")) == 1);
    QCOMPARE(run.lines.last(), QStringLiteral("IN_SYNC"));

    QFile file2(saved);
    QVERIFY(file2.open(QIODevice::ReadOnly));
    QCOMPARE(file2.readAll(), newSet);
    const UooRParamsDesc record = m_server->uooParamsDesc(8);
    QCOMPARE(record.state, 1);
    QCOMPARE(record.uooparams, newSet);
    QVERIFY(record.localparams.isEmpty());
    QTRY_COMPARE(logRows(2), 1);
    QTRY_COMPARE(logRows(3), 1);
    QTRY_COMPARE(logRows(4), 1);
}

void TestUooSim::droppedAckRestartsDownload()
{
    const QByteArray current = pattern(100, 4);
    const QByteArray newSet = pattern(1300, 5);
    const QString file = writeFile("cur.bin", current);
    knownDeviceWithNewSet(9, file, newSet);
    if (QTest::currentTestFailed())
        return;

    const Run run =
        runSim({"--uoo", "9", "--params", file, "--drop-ack", "2", "--timeout", "1000"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.has(QStringLiteral("ACK_DROPPED offset=512")));
    QVERIFY(run.has(QStringLiteral("DOWNLOAD_TIMEOUT offset=1024")));
    // The interruption is noticed at the next SYNC and the download restarts.
    QCOMPARE(run.count(QStringLiteral("DOWNLOAD_CHUNK offset=0 ")), 2);
    QCOMPARE(run.count(QStringLiteral("SYNC_REPLY command=3 ")), 2);
    QCOMPARE(run.lines.last(), QStringLiteral("IN_SYNC"));
    QCOMPARE(m_server->uooParamsDesc(9).uooparams, newSet);
    QTRY_COMPARE(logRows(5), 1);
}

void TestUooSim::badUploadChunkIsRepeated()
{
    const QByteArray set = pattern(1200, 6);
    const Run run = runSim({"--uoo", "10", "--params", writeFile("cur.bin", set), "--bad-chunk-crc",
                            "2", "--timeout", "1000"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.has(QStringLiteral("UPLOAD_BAD_CRC chunk=2")));
    QVERIFY(run.has(QStringLiteral("UPLOAD_TIMEOUT offset=512")));
    QCOMPARE(run.count(QStringLiteral("UPLOAD_ACK ")), 3);
    QCOMPARE(run.lines.last(), QStringLiteral("IN_SYNC"));
    QCOMPARE(m_server->uooParamsDesc(10).uooparams, set);
}

void TestUooSim::badSetCrcGivesUpAfterFourAttempts()
{
    const QByteArray current = pattern(200, 7);
    const QByteArray newSet = pattern(600, 8);
    const QString file = writeFile("cur.bin", current);
    knownDeviceWithNewSet(11, file, newSet);
    if (QTest::currentTestFailed())
        return;

    const Run run = runSim(
        {"--uoo", "11", "--params", file, "--bad-set-crc", "--retries", "1", "--timeout", "500"});
    QCOMPARE(run.exitCode, 0);
    // The first download and three restarts; then the server drops the new set
    // and leaves the fourth failing SYNC unanswered.
    QCOMPARE(run.count(QStringLiteral("DOWNLOAD_DONE ")), 4);
    QCOMPARE(run.count(QStringLiteral("FINISHED_TIMEOUT")), 4);
    QCOMPARE(run.count(QStringLiteral("APPLIED")), 0);
    QCOMPARE(run.lines.last(), QStringLiteral("IN_SYNC"));
    const UooRParamsDesc record = m_server->uooParamsDesc(11);
    QCOMPARE(record.state, 1);
    QCOMPARE(record.uooparams, current);
    QVERIFY(record.localparams.isEmpty());
    QTRY_COMPARE(logRows(5), 4);
    QCOMPARE(logRows(3), 0);
}

void TestUooSim::silentMidDownloadThenResumes()
{
    const QByteArray current = pattern(64, 9);
    const QByteArray newSet = pattern(1100, 10);
    const QString file = writeFile("cur.bin", current);
    knownDeviceWithNewSet(12, file, newSet);
    if (QTest::currentTestFailed())
        return;

    Run run = runSim({"--uoo", "12", "--params", file, "--silent-after", "chunk:1"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.last(), QStringLiteral("SILENT after=chunk:1"));
    QCOMPARE(m_server->uooParamsDesc(12).state, 2);

    run = runSim({"--uoo", "12", "--params", file});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.last(), QStringLiteral("IN_SYNC"));
    QCOMPARE(m_server->uooParamsDesc(12).writeLeft, 0);
    QCOMPARE(m_server->uooParamsDesc(12).uooparams, newSet);
}

void TestUooSim::silentServerTimesOut()
{
    QUdpSocket mute;
    QVERIFY(mute.bind(QHostAddress::LocalHost, 0));
    const Run run = runSim({"--uoo", "13", "--timeout", "200", "--retries", "1"}, mute.localPort());
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.count(QStringLiteral("SYNC_TIMEOUT")), 2);
    QCOMPARE(run.lines.last(), QStringLiteral("TIMEOUT waiting=sync"));
}

void TestUooSim::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("version") << QStringList{"--version", "1.2"};
    QTest::newRow("uoo") << QStringList{"--uoo", "x"};
    QTest::newRow("missing file") << QStringList{"--params", "/nonexistent/file"};
    QTest::newRow("time") << QStringList{"--params-time", "yesterday"};
    QTest::newRow("load window") << QStringList{"--load", "--window", "0"};
}

void TestUooSim::badArguments()
{
    QFETCH(QStringList, args);
    QCOMPARE(runSim(args).exitCode, 1);
}

void TestUooSim::loadMode()
{
    const Run run = runSim(
        {"--load", "--devices", "50", "--first", "1000", "--window", "8", "--requests", "2000"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.count(QStringLiteral("LOAD_READY devices=50 ")), 1);
    QCOMPARE(run.count(QStringLiteral("LOAD_RESULT round_trips=2000 ")), 1);
    QVERIFY(run.lines.last().contains(QStringLiteral(" unexpected=0")));
    QCOMPARE(m_server->uooDescriptors().size(), 50);
    for (quint32 uoo : {1000u, 1025u, 1049u}) {
        QCOMPARE(m_server->uooParamsDesc(uoo).state, 1);
    }
    QVERIFY(!m_server->hasUoo(1050));
}

QTEST_GUILESS_MAIN(TestUooSim)
#include "tst_uoosim.moc"
