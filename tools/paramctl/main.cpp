#include "paramctloptions.h"
#include "paramctlsession.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <unistd.h>
#endif

namespace {

// Whether standard output leads nowhere any more: a pipe whose reader has ended
// (a watch piped into a script that has seen enough) or a closed terminal.
bool outputGone()
{
#ifdef Q_OS_UNIX
    pollfd output{STDOUT_FILENO, 0, 0};
    return ::poll(&output, 1, 0) == 1 && (output.revents & (POLLERR | POLLHUP)) != 0;
#else
    return false;
#endif
}

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

    // The signal handler only sets a flag; the event loop looks at it. An output
    // nobody reads any more ends the run the same way.
    QTimer signalPoll;
    QObject::connect(&signalPoll, &QTimer::timeout, &session, [&session] {
        if (stopRequested || outputGone()) {
            stopRequested = 0;
            session.interrupt();
        }
    });
    signalPoll.start(100);

    QTimer::singleShot(0, &session, &ParamCtlSession::start);
    return app.exec();
}
