#pragma once

// How systemd decides, by a unit's Restart=, RestartPreventExitStatus= and
// SuccessExitStatus=, whether a service whose main process ended on its own
// is started again (the rules of Restart= as systemd.service documents them;
// a stop that was asked for never restarts).

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <csignal>

class UnitRestartRules
{
public:
    explicit UnitRestartRules(const QByteArray& unitText)
    {
        QString section;
        const QStringList lines = QString::fromUtf8(unitText).split(QLatin1Char('\n'));
        for (const QString& raw : lines) {
            const QString line = raw.trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
                continue;
            }
            if (line.startsWith(QLatin1Char('['))) {
                section = line;
                continue;
            }
            const int eq = line.indexOf(QLatin1Char('='));
            if (eq > 0 && section == QLatin1String("[Service]")) {
                values[line.left(eq)] += line.mid(eq + 1);
            }
        }
    }

    QString value(const QString& key) const { return values.value(key).join(QLatin1Char(' ')); }

    // exitStatus for a process that exited, signal (non-zero) for one that a
    // signal ended.
    bool restarts(int exitStatus, int signal = 0) const
    {
        const QString policy = value(QStringLiteral("Restart"));
        const QStringList prevent = words(QStringLiteral("RestartPreventExitStatus"));
        const QStringList success = words(QStringLiteral("SuccessExitStatus"));
        const bool cleanSignal =
            signal == SIGHUP || signal == SIGINT || signal == SIGTERM || signal == SIGPIPE;
        if (signal != 0 && prevent.contains(QLatin1String(sigabbrev(signal)))) {
            return false;
        }
        if (signal == 0 && prevent.contains(QString::number(exitStatus))) {
            return false;
        }
        const bool clean = signal != 0
                               ? cleanSignal || success.contains(sigabbrev(signal))
                               : exitStatus == 0 || success.contains(QString::number(exitStatus));
        if (policy == QLatin1String("always")) {
            return true;
        }
        if (policy == QLatin1String("on-failure")) {
            return !clean;
        }
        if (policy == QLatin1String("on-abnormal") || policy == QLatin1String("on-abort")) {
            return signal != 0 && !cleanSignal;
        }
        return false;
    }

private:
    QStringList words(const QString& key) const
    {
        return value(key).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    static const char* sigabbrev(int signal)
    {
        switch (signal) {
        case SIGKILL:
            return "SIGKILL";
        case SIGABRT:
            return "SIGABRT";
        case SIGSEGV:
            return "SIGSEGV";
        case SIGTERM:
            return "SIGTERM";
        default:
            return "";
        }
    }

    QMap<QString, QStringList> values;
};
