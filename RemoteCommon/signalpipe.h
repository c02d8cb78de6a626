#pragma once

#include <QObject>

class QSocketNotifier;

// The process's one self-pipe between signal handlers and the program. A
// handler installed here only writes one byte into the pipe, which is safe in
// a signal handler; the byte is read outside it: by a SignalPipe object on the
// event loop of the thread that made it (signal received()), or by a thread
// that polls readDescriptor() itself. Both ends are non-blocking, so a full
// pipe drops a byte rather than stopping a handler. Only where signals exist
// (Unix). Elsewhere a handler marks its byte and a SignalPipe object looks
// at the marks ten times a second; queued values are not caught there.
class SignalPipe : public QObject
{
    Q_OBJECT
public:
    // Opens the pipe when needed and watches it on this thread's event loop.
    explicit SignalPipe(QObject* parent = nullptr);

    // Creates the pipe once per process; false when it cannot be made.
    static bool open();
    // The signal writes the byte.
    static bool catchSignal(int signalNumber, unsigned char byte);
    // The signal, when sent with sigqueue() and a value from 0 to maxValue,
    // writes base + value; any other sending of it is ignored.
    static bool catchQueuedValue(int signalNumber, unsigned char base, int maxValue);
    // Gives the signal its default action back.
    static void restoreDefault(int signalNumber);
    // Writes a byte as a handler does; from any thread.
    static void post(unsigned char byte);
    // The end to poll; -1 before open().
    static int readDescriptor();
    // The next byte, or -1 when none is waiting.
    static int readByte();
    // Drops whatever is waiting.
    static void drain();

signals:
    void received(int byte);

private:
    void readAvailable();

    QSocketNotifier* notifier = nullptr;
};
