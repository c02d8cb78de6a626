#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A Wine prefix of its own in a scratch folder, headless (Wine's null display
// driver), with the Windows programs run in it and their results collected.
class WinePrefix
{
public:
    struct Result
    {
        int exitCode = -1; // -1: did not finish in time
        QString out;
        QString err;
    };

    WinePrefix();
    ~WinePrefix();
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    // Creates the prefix (wineboot); false with the reason in error().
    bool create();
    QString error() const { return problem; }

    // Runs a Windows program (a path on this machine, or a program of the prefix
    // such as "sc") to its end; one that does not end in time is killed, with
    // exitCode -1 and what it printed until then.
    Result run(const QString& program, const QStringList& arguments, int timeoutMs = 120000) const;
    // This machine's path of a path on the prefix's drive C: ("C:\\a\\b").
    QString hostPath(const QString& windowsPath) const;
    // The service's state as "sc query" reports it ("RUNNING", "STOPPED", ...;
    // empty when it is not installed).
    QString serviceState(const QString& service) const;
    bool waitForServiceState(const QString& service, const QString& state, int timeoutMs = 60000) const;
    // A registry value's data: REG_DWORD as 0x... (hexadecimal), text as it is;
    // empty when absent.
    QString registryValue(const QString& key, const QString& name) const;

private:
    // Ends the prefix's own processes, its services and the wine server, and
    // waits until they are gone.
    void endSession() const;

    QTemporaryDir dir;
    QProcessEnvironment env;
    // Wine ends its services when the prefix's last other program ends; this
    // one (a command interpreter waiting for input) lives as long as the prefix.
    QProcess keeper;
    QString wine;
    QString problem;
    bool created = false;
};
