#include "paramctloptions.h"
#include "paramctlsession.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStopSignal(int)
{
    stopRequested = 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("paramctl"));

    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec("UTF-8");
    err.setCodec("UTF-8");

    const ParamCtlOptions options = ParamCtlOptions::parse(QCoreApplication::arguments());
    if (options.help) {
        out << ParamCtlOptions::helpText();
        out.flush();
        return ParamCtlExitCode::Success;
    }
    if (!options.error.isEmpty()) {
        err << "paramctl: " << options.error << "\nTry 'paramctl --help'.\n";
        err.flush();
        return options.errorCode;
    }

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    ParamCtlSession session(options, out, err);
    QObject::connect(
        &session, &ParamCtlSession::finished, &app, [](int code) { QCoreApplication::exit(code); },
        Qt::QueuedConnection);

    // The signal handler only sets a flag; the event loop looks at it.
    QTimer signalPoll;
    QObject::connect(&signalPoll, &QTimer::timeout, &session, [&session] {
        if (stopRequested) {
            stopRequested = 0;
            session.interrupt();
        }
    });
    signalPoll.start(100);

    QTimer::singleShot(0, &session, &ParamCtlSession::start);
    return app.exec();
}
