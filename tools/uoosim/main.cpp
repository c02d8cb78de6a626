// uoosim: emulates UOO devices against a parameter server over UDP.

#include "loadgenerator.h"
#include "uoodevice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

namespace {

bool parseServer(const QString& text, QString* host, quint16* port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) {
        *host = text;
        return !text.isEmpty();
    }
    bool ok = false;
    const uint value = text.mid(colon + 1).toUInt(&ok);
    if (!ok || value == 0 || value > 65535) {
        return false;
    }
    *host = text.left(colon);
    *port = static_cast<quint16>(value);
    return true;
}

bool parseUInt(const QCommandLineParser& parser, const QString& name, quint64 max, quint64* out)
{
    if (!parser.isSet(name)) {
        return true;
    }
    bool ok = false;
    const quint64 value = parser.value(name).toULongLong(&ok);
    if (!ok || value > max) {
        return false;
    }
    *out = value;
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("uoosim"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Emulates UOO devices speaking the parameter protocol.\n"
        "Exit codes: 0 in step (or stopped where asked), 1 usage, 2 timeout, 3 protocol "
        "error, 4 rounds used up."));
    parser.addHelpOption();
    const QList<QCommandLineOption> options = {
        {QStringLiteral("server"), QStringLiteral("Server HOST:PORT (127.0.0.1:25002)."),
         QStringLiteral("host:port"), QStringLiteral("127.0.0.1:25002")},
        {QStringLiteral("uoo"), QStringLiteral("UOO number (1)."), QStringLiteral("n"),
         QStringLiteral("1")},
        {QStringLiteral("device"), QStringLiteral("Device text."), QStringLiteral("text"),
         QStringLiteral("UOOSIM")},
        {QStringLiteral("pversion"), QStringLiteral("Parameter version text."),
         QStringLiteral("text"), QStringLiteral("1.0")},
        {QStringLiteral("version"), QStringLiteral("Version parts a.b.c (1.0.0)."),
         QStringLiteral("a.b.c"), QStringLiteral("1.0.0")},
        {QStringLiteral("status"), QStringLiteral("Status word (0)."), QStringLiteral("n"),
         QStringLiteral("0")},
        {QStringLiteral("params"), QStringLiteral("File with the current parameter set."),
         QStringLiteral("file")},
        {QStringLiteral("params-size"),
         QStringLiteral("Without --params: a generated set of this many bytes (64)."),
         QStringLiteral("n"), QStringLiteral("64")},
        {QStringLiteral("params-time"),
         QStringLiteral("Time stamp of the current set, yyyy-MM-dd hh:mm:ss (none)."),
         QStringLiteral("time")},
        {QStringLiteral("save"), QStringLiteral("Write an applied new set to this file."),
         QStringLiteral("file")},
        {QStringLiteral("timeout"), QStringLiteral("Wait for each reply, ms (2000)."),
         QStringLiteral("ms"), QStringLiteral("2000")},
        {QStringLiteral("retries"), QStringLiteral("Repeats of an unanswered request (3)."),
         QStringLiteral("n"), QStringLiteral("3")},
        {QStringLiteral("rounds"), QStringLiteral("SYNC requests before giving up (10)."),
         QStringLiteral("n"), QStringLiteral("10")},
        {QStringLiteral("drop-ack"),
         QStringLiteral("Do not acknowledge downloaded chunk N (counted from 1)."),
         QStringLiteral("n")},
        {QStringLiteral("bad-chunk-crc"),
         QStringLiteral("Send upload chunk N once with a wrong crc."), QStringLiteral("n")},
        {QStringLiteral("bad-set-crc"), QStringLiteral("Report a wrong set CRC in DWLD_FINISHED.")},
        {QStringLiteral("silent-after"),
         QStringLiteral("Stop sending after: sync, upload-chunk:N, dwld-request, chunk:N, "
                        "download, finished."),
         QStringLiteral("step")},
        {QStringLiteral("load"), QStringLiteral("Load mode: steady-state SYNCs of many devices.")},
        {QStringLiteral("devices"), QStringLiteral("Load mode: number of devices (1000)."),
         QStringLiteral("n"), QStringLiteral("1000")},
        {QStringLiteral("first"), QStringLiteral("Load mode: first UOO number (1)."),
         QStringLiteral("n"), QStringLiteral("1")},
        {QStringLiteral("window"), QStringLiteral("Load mode: requests in flight (64)."),
         QStringLiteral("n"), QStringLiteral("64")},
        {QStringLiteral("seconds"), QStringLiteral("Load mode: measuring time (5)."),
         QStringLiteral("s"), QStringLiteral("5")},
        {QStringLiteral("requests"),
         QStringLiteral("Load mode: measure this many round trips instead."), QStringLiteral("n")},
        {QStringLiteral("echo"),
         QStringLiteral("Load mode: the peer only echoes (no set-up, commands not checked).")},
        {QStringLiteral("probe"),
         QStringLiteral("Load mode: after the set-up, the first device sends a SYNC every "
                        "--interval-ms for --seconds and writes each reply's time (ms since "
                        "the epoch) to this file."),
         QStringLiteral("file")},
        {QStringLiteral("interval-ms"), QStringLiteral("Probe: ms between SYNC requests (10)."),
         QStringLiteral("ms"), QStringLiteral("10")},
    };
    parser.addOptions(options);
    parser.process(app);

    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 25002;
    if (!parseServer(parser.value(QStringLiteral("server")), &host, &port)) {
        err << "ERROR bad --server" << Qt::endl;
        return UooDevice::ExitUsage;
    }

    quint64 timeout = 2000;
    if (!parseUInt(parser, QStringLiteral("timeout"), 3600000, &timeout) || timeout == 0) {
        err << "ERROR bad --timeout" << Qt::endl;
        return UooDevice::ExitUsage;
    }

    if (parser.isSet(QStringLiteral("load"))) {
        LoadConfig config;
        config.serverHost = host;
        config.port = port;
        config.timeoutMs = static_cast<int>(timeout);
        config.echo = parser.isSet(QStringLiteral("echo"));
        quint64 devices = 1000, first = 1, window = 64, requests = 0;
        bool ok = parseUInt(parser, QStringLiteral("devices"), 50000000, &devices) &&
                  parseUInt(parser, QStringLiteral("first"), 0xFFFFFFFFu, &first) &&
                  parseUInt(parser, QStringLiteral("window"), 1000000, &window) &&
                  parseUInt(parser, QStringLiteral("requests"), 1ull << 40, &requests);
        quint64 interval = 10;
        ok = ok && parseUInt(parser, QStringLiteral("interval-ms"), 60000, &interval) &&
             interval > 0;
        config.probeIntervalMs = static_cast<int>(interval);
        bool secondsOk = false;
        config.seconds = parser.value(QStringLiteral("seconds")).toDouble(&secondsOk);
        if (!ok || !secondsOk || devices == 0 || window == 0 || config.seconds <= 0 ||
            first + devices - 1 > 0xFFFFFFFFu) {
            err << "ERROR bad load options" << Qt::endl;
            return UooDevice::ExitUsage;
        }
        config.devices = static_cast<quint32>(devices);
        config.first = static_cast<quint32>(first);
        config.window = static_cast<int>(window);
        config.requests = static_cast<qint64>(requests);

        LoadGenerator load(config, &out);
        QString error;
        if (!load.open(&error)) {
            out << "ERROR " << error << Qt::endl;
            return UooDevice::ExitUsage;
        }
        if (!load.prepare(&error)) {
            out << "ERROR " << error << Qt::endl;
            return UooDevice::ExitTimeout;
        }
        if (parser.isSet(QStringLiteral("probe"))) {
            QFile file(parser.value(QStringLiteral("probe")));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                out << "ERROR cannot write " << file.fileName() << Qt::endl;
                return UooDevice::ExitUsage;
            }
            QTextStream log(&file);
            const qint64 replies = load.probe(&log);
            out << QStringLiteral("PROBE_RESULT replies=%1").arg(replies) << Qt::endl;
            return replies > 0 ? UooDevice::ExitOk : UooDevice::ExitTimeout;
        }
        const LoadResult result = load.run();
        out << QStringLiteral("LOAD_RESULT round_trips=%1 seconds=%2 per_second=%3 median_us=%4 "
                              "p99_us=%5 lost=%6 unexpected=%7 max_us=%8")
                   .arg(result.roundTrips)
                   .arg(result.seconds, 0, 'f', 3)
                   .arg(result.perSecond, 0, 'f', 0)
                   .arg(result.medianUs, 0, 'f', 1)
                   .arg(result.p99Us, 0, 'f', 1)
                   .arg(result.lost)
                   .arg(result.unexpected)
                   .arg(result.maxUs, 0, 'f', 1)
            << Qt::endl;
        if (result.roundTrips == 0) {
            return UooDevice::ExitTimeout;
        }
        return result.unexpected > 0 ? UooDevice::ExitProtocol : UooDevice::ExitOk;
    }

    UooDeviceConfig config;
    config.server = QHostAddress(host);
    if (config.server.isNull()) {
        err << "ERROR --server needs a numeric address" << Qt::endl;
        return UooDevice::ExitUsage;
    }
    config.port = port;
    config.timeoutMs = static_cast<int>(timeout);
    quint64 uoo = 1, status = 0, retries = 3, rounds = 10, dropAck = 0, badChunk = 0, size = 64;
    if (!parseUInt(parser, QStringLiteral("uoo"), 0xFFFFFFFFu, &uoo) ||
        !parseUInt(parser, QStringLiteral("status"), 0xFFFF, &status) ||
        !parseUInt(parser, QStringLiteral("retries"), 1000, &retries) ||
        !parseUInt(parser, QStringLiteral("rounds"), 100000, &rounds) ||
        !parseUInt(parser, QStringLiteral("drop-ack"), 1000000, &dropAck) ||
        !parseUInt(parser, QStringLiteral("bad-chunk-crc"), 1000000, &badChunk) ||
        !parseUInt(parser, QStringLiteral("params-size"), 64 * 1024 * 1024, &size)) {
        err << "ERROR bad numeric option" << Qt::endl;
        return UooDevice::ExitUsage;
    }
    config.uoo = static_cast<quint32>(uoo);
    config.status = static_cast<quint16>(status);
    config.retries = static_cast<int>(retries);
    config.maxRounds = static_cast<int>(rounds);
    config.dropAck = static_cast<int>(dropAck);
    config.badChunkCrc = static_cast<int>(badChunk);
    config.badSetCrc = parser.isSet(QStringLiteral("bad-set-crc"));
    config.silentAfter = parser.value(QStringLiteral("silent-after"));
    config.device = parser.value(QStringLiteral("device"));
    config.pversion = parser.value(QStringLiteral("pversion"));
    config.saveFile = parser.value(QStringLiteral("save"));

    const QStringList parts = parser.value(QStringLiteral("version")).split(QLatin1Char('.'));
    if (parts.size() != 3) {
        err << "ERROR bad --version" << Qt::endl;
        return UooDevice::ExitUsage;
    }
    config.version1 = parts[0].toUInt();
    config.version2 = parts[1].toUInt();
    config.version3 = parts[2].toUInt();

    if (parser.isSet(QStringLiteral("params"))) {
        QFile file(parser.value(QStringLiteral("params")));
        if (!file.open(QIODevice::ReadOnly)) {
            err << "ERROR cannot read " << file.fileName() << Qt::endl;
            return UooDevice::ExitUsage;
        }
        config.params = file.readAll();
    } else {
        config.params.resize(static_cast<int>(size));
        for (int i = 0; i < config.params.size(); ++i) {
            config.params[i] = static_cast<char>((i * 31 + static_cast<int>(uoo)) & 0xFF);
        }
    }
    if (parser.isSet(QStringLiteral("params-time"))) {
        config.paramsTime = QDateTime::fromString(parser.value(QStringLiteral("params-time")),
                                                  QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        if (!config.paramsTime.isValid()) {
            err << "ERROR bad --params-time" << Qt::endl;
            return UooDevice::ExitUsage;
        }
    }

    UooDevice device(config, &out);
    return device.run();
}
