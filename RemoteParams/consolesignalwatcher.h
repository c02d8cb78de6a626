#pragma once

#include <QObject>

class SignalPipe;

// In a console run, SIGINT, SIGTERM and SIGHUP (the terminal is gone) end the
// event loop with 0, so that the program shuts down in order and its records
// reach the file. SIGPIPE is ignored: a log line echoed into a pipe whose
// reader is gone must not end the process in the middle of that stop. The
// signals arrive through the process's SignalPipe; the event loop does the
// rest.
class ConsoleSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ConsoleSignalWatcher(QObject* parent = nullptr);
    ~ConsoleSignalWatcher() override;

    // Marks this process as a console run (set by the program entry for "-e").
    static void setConsoleRun(bool console);
    static bool isConsoleRun();

signals:
    void interrupted(int signalNumber);

private:
    void onSignal(int signalNumber);

    SignalPipe* pipe = nullptr;
};
