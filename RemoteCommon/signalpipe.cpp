#include "signalpipe.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Per signal number: the byte a plain signal writes, and for a queued one the
// base and the largest value taken.
constexpr int SignalSlots = 128;
volatile std::sig_atomic_t signalByte[SignalSlots];

bool validSignal(int signalNumber)
{
    return signalNumber > 0 && signalNumber < SignalSlots;
}

#ifdef Q_OS_UNIX
int pipeEnds[2] = {-1, -1};
volatile std::sig_atomic_t queuedBase[SignalSlots];
volatile std::sig_atomic_t queuedMax[SignalSlots];

void writeByte(unsigned char byte)
{
    const int saved = errno;
    if (pipeEnds[1] >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(pipeEnds[1], &byte, 1);
    }
    errno = saved;
}

extern "C" void onQueuedSignal(int signalNumber, siginfo_t* info, void*)
{
    if (!validSignal(signalNumber) || !info || info->si_code != SI_QUEUE) {
        return;
    }
    const int value = info->si_value.sival_int;
    if (value >= 0 && value <= queuedMax[signalNumber]) {
        writeByte(static_cast<unsigned char>(queuedBase[signalNumber] + value));
    }
}
#else
// Without pipes that an event loop can watch, a handler marks its byte and a
// SignalPipe object looks at the marks ten times a second.
volatile std::sig_atomic_t pendingBytes[256];

void writeByte(unsigned char byte)
{
    pendingBytes[byte] = 1;
}
#endif

extern "C" void onSignal(int signalNumber)
{
    if (validSignal(signalNumber)) {
        writeByte(static_cast<unsigned char>(signalByte[signalNumber]));
    }
}

} // namespace

SignalPipe::SignalPipe(QObject* parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (!open()) {
        return;
    }
    notifier = new QSocketNotifier(readDescriptor(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalPipe::readAvailable);
#else
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &SignalPipe::readAvailable);
    poll->start(100);
#endif
}

bool SignalPipe::open()
{
#ifdef Q_OS_UNIX
    if (pipeEnds[0] >= 0) {
        return true;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    pipeEnds[1] = ends[1];
    pipeEnds[0] = ends[0];
#endif
    return true;
}

bool SignalPipe::catchSignal(int signalNumber, unsigned char byte)
{
    if (!validSignal(signalNumber) || !open()) {
        return false;
    }
    signalByte[signalNumber] = byte;
#ifdef Q_OS_UNIX
    struct sigaction action = {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signalNumber, &action, nullptr) == 0;
#else
    return std::signal(signalNumber, &onSignal) != SIG_ERR;
#endif
}

bool SignalPipe::catchQueuedValue(int signalNumber, unsigned char base, int maxValue)
{
#ifdef Q_OS_UNIX
    if (!validSignal(signalNumber) || maxValue < 0 || base + maxValue > 255 || !open()) {
        return false;
    }
    queuedBase[signalNumber] = base;
    queuedMax[signalNumber] = maxValue;
    struct sigaction action = {};
    action.sa_sigaction = &onQueuedSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    return ::sigaction(signalNumber, &action, nullptr) == 0;
#else
    Q_UNUSED(signalNumber);
    Q_UNUSED(base);
    Q_UNUSED(maxValue);
    return false;
#endif
}

void SignalPipe::restoreDefault(int signalNumber)
{
    std::signal(signalNumber, SIG_DFL);
}

void SignalPipe::post(unsigned char byte)
{
    writeByte(byte);
}

int SignalPipe::readDescriptor()
{
#ifdef Q_OS_UNIX
    return pipeEnds[0];
#else
    return -1;
#endif
}

int SignalPipe::readByte()
{
#ifdef Q_OS_UNIX
    unsigned char byte = 0;
    if (pipeEnds[0] < 0 || ::read(pipeEnds[0], &byte, 1) != 1) {
        return -1;
    }
    return byte;
#else
    for (int byte = 0; byte < 256; ++byte) {
        if (pendingBytes[byte]) {
            pendingBytes[byte] = 0;
            return byte;
        }
    }
    return -1;
#endif
}

void SignalPipe::drain()
{
    while (readByte() >= 0) {
    }
}

void SignalPipe::readAvailable()
{
    for (int byte = readByte(); byte >= 0; byte = readByte()) {
        emit received(byte);
    }
}
