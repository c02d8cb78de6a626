#include "consolesignalwatcher.h"

#include "signalpipe.h"

#include <QCoreApplication>
#include <QDebug>

#include <atomic>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

std::atomic<bool> consoleRun{false};

#ifdef Q_OS_UNIX
const int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif

} // namespace

void ConsoleSignalWatcher::setConsoleRun(bool console)
{
    consoleRun.store(console);
}

bool ConsoleSignalWatcher::isConsoleRun()
{
    return consoleRun.load();
}

ConsoleSignalWatcher::ConsoleSignalWatcher(QObject* parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (!SignalPipe::open()) {
        return;
    }
    pipe = new SignalPipe(this);
    connect(pipe, &SignalPipe::received, this, &ConsoleSignalWatcher::onSignal);
    for (const int signalNumber : StopSignals) {
        // Each signal writes its own number.
        SignalPipe::catchSignal(signalNumber, static_cast<unsigned char>(signalNumber));
    }
    ::signal(SIGPIPE, SIG_IGN);
#endif
}

ConsoleSignalWatcher::~ConsoleSignalWatcher()
{
#ifdef Q_OS_UNIX
    if (pipe) {
        for (const int signalNumber : StopSignals) {
            SignalPipe::restoreDefault(signalNumber);
        }
    }
#endif
}

void ConsoleSignalWatcher::onSignal(int signalNumber)
{
#ifdef Q_OS_UNIX
    if (signalNumber == SIGHUP) {
        qWarning().noquote() << "Получен сигнал SIGHUP (терминал закрыт): программа "
                                "останавливается с сохранением записей";
    }
#endif
    emit interrupted(signalNumber);
    QCoreApplication::exit(0);
}
