#include "consolesignalwatcher.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <atomic>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

std::atomic<bool> consoleRun{false};

#ifdef Q_OS_UNIX
const int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif

#ifdef Q_OS_UNIX
int signalPipe[2] = {-1, -1};

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}
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
    if (signalPipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
            signalPipe[0] = signalPipe[1] = -1;
            return;
        }
        ::fcntl(signalPipe[1], F_SETFL, ::fcntl(signalPipe[1], F_GETFL) | O_NONBLOCK);
        ::fcntl(signalPipe[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(signalPipe[1], F_SETFD, FD_CLOEXEC);
    }
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ConsoleSignalWatcher::readSignal);

    struct sigaction action = {};
    action.sa_handler = &forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : StopSignals) {
        ::sigaction(signalNumber, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
#endif
}

ConsoleSignalWatcher::~ConsoleSignalWatcher()
{
#ifdef Q_OS_UNIX
    if (notifier) {
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        for (const int signalNumber : StopSignals) {
            ::sigaction(signalNumber, &action, nullptr);
        }
    }
#endif
}

void ConsoleSignalWatcher::readSignal()
{
#ifdef Q_OS_UNIX
    unsigned char byte = 0;
    if (::read(signalPipe[0], &byte, 1) != 1) {
        return;
    }
    if (byte == SIGHUP) {
        qWarning().noquote() << "Получен сигнал SIGHUP (терминал закрыт): программа "
                                "останавливается с сохранением записей";
    }
    emit interrupted(byte);
    QCoreApplication::exit(0);
#endif
}
