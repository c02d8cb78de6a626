#include "processoutput.h"

#include <QDeadlineTimer>

void ProcessOutput::read()
{
    const QByteArray bytes = channel == QProcess::StandardError ? process.readAllStandardError()
                                                                : process.readAllStandardOutput();
    collected += channel == QProcess::StandardError ? QString::fromLocal8Bit(bytes)
                                                    : QString::fromUtf8(bytes);
}

bool ProcessOutput::waitFor(const QString& fragment, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!collected.contains(fragment)) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning) {
            read();
            return collected.contains(fragment);
        }
        process.waitForReadyRead(100);
        read();
    }
    return true;
}
