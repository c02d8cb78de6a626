#pragma once

#include <QProcess>
#include <QString>

// What a child process wrote on one of its channels, collected while waiting for it.
class ProcessOutput
{
public:
    explicit ProcessOutput(QProcess& process, QProcess::ProcessChannel channel)
        : process(process), channel(channel)
    {
    }

    // Reads until the output holds fragment, the process ends or timeoutMs pass;
    // returns whether it holds the fragment.
    bool waitFor(const QString& fragment, int timeoutMs = 20000);
    // Takes in whatever is waiting on the channel.
    void read();

    const QString& text() const { return collected; }
    void clear() { collected.clear(); }

private:
    QProcess& process;
    QProcess::ProcessChannel channel;
    QString collected;
};
