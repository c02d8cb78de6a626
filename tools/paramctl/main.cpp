#include "paramctloptions.h"
#include "paramctlsession.h"
#include "signalpipe.h"

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

    ParamCtlSession session(options, out, err);
    QObject::connect(
        &session, &ParamCtlSession::finished, &app, [](int code) { QCoreApplication::exit(code); },
        Qt::QueuedConnection);

    // SIGINT and SIGTERM reach the event loop through the signal pipe. An
    // output nobody reads any more ends the run the same way; it is looked at
    // ten times a second.
    SignalPipe signalPipe;
    QObject::connect(&signalPipe, &SignalPipe::received, &session, &ParamCtlSession::interrupt);
#ifdef SIGINT
    SignalPipe::catchSignal(SIGINT, SIGINT);
    SignalPipe::catchSignal(SIGTERM, SIGTERM);
#endif
    QTimer outputPoll;
    QObject::connect(&outputPoll, &QTimer::timeout, &session, [&session] {
        if (outputGone()) {
            session.interrupt();
        }
    });
    outputPoll.start(100);

    QTimer::singleShot(0, &session, &ParamCtlSession::start);
    return app.exec();
}
