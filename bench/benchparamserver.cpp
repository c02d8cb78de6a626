// benchparamserver: a VemoParamServer on 127.0.0.1 in a working directory of its
// own, for benchmarks and manual runs of uoosim. Prints "READY port=N".

#include "benchsupport.h"
#include "vemoparamserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTextStream>

#include <csignal>

namespace {

void quitOnSignal(int)
{
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("port"), QStringLiteral("UDP port (0 = any free)."),
                      QStringLiteral("n"), QStringLiteral("0")});
    parser.addOption({QStringLiteral("dir"),
                      QStringLiteral("Working directory for params_upd.db (a new temporary one)."),
                      QStringLiteral("dir")});
    parser.addOption({QStringLiteral("verbose"), QStringLiteral("Show debug messages.")});
    parser.process(app);
    if (!parser.isSet(QStringLiteral("verbose"))) {
        qInstallMessageHandler(BenchSupport::quietMessageHandler);
    }

    QTemporaryDir temporary;
    const QString dir = parser.isSet(QStringLiteral("dir")) ? parser.value(QStringLiteral("dir"))
                                                            : temporary.path();
    if (!QDir::setCurrent(dir)) {
        QTextStream(stderr) << "cannot use directory " << dir << '\n';
        return 1;
    }
    std::signal(SIGTERM, quitOnSignal);
    std::signal(SIGINT, quitOnSignal);

    int code = 0;
    {
        VemoParamServer server;
        server.setBindAddress(QHostAddress::LocalHost);
        server.setPort(static_cast<quint16>(parser.value(QStringLiteral("port")).toUInt()));
        server.start();
        if (server.boundPort() == 0) {
            return 1;
        }
        QTextStream(stdout) << "READY port=" << server.boundPort() << Qt::endl;
        code = QCoreApplication::exec();
    }
    return code;
}
