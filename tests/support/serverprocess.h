#pragma once

#include "processoutput.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

// A copy of paramserver in a directory of its own (it keeps its databases beside
// the executable), with its own settings store and free ports, run as a console
// program.
class ServerProcess
{
public:
    explicit ServerProcess(const QString& programPath);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool isValid() const { return dir.isValid() && copied; }
    QString directory() const { return dir.path() + QLatin1String("/bin"); }
    QString executable() const { return directory() + QLatin1String("/paramserver"); }
    // Where the tools reach it: 127.0.0.1 unless bindTo() named another address.
    QString host() const { return address; }
    quint16 rpcPort() const { return rpc; }
    quint16 paramsPort() const { return params; }
    QProcessEnvironment environment() const { return env; }

    // Before a start: a key of the program's per-user settings store, a variable
    // of its environment.
    void setSetting(const QString& key, const QVariant& value);
    void setEnvironmentVariable(const QString& name, const QString& value);
    // Before a start: both servers listen on that address only (Network/BindAddress)
    // and on these ports, as the nodes of a pair on one machine do.
    void bindTo(const QString& host, quint16 rpcPort, quint16 paramsPort);

    // Starts "paramserver -e" from another working directory and waits until both
    // servers report that they listen.
    bool start(const QStringList& extraArguments = {});
    // Starts "paramserver -e" without waiting for anything.
    bool launch(const QStringList& extraArguments = {});
    // Runs paramserver with the given arguments to the end; returns its exit code.
    int runToEnd(const QStringList& arguments, QByteArray* out = nullptr, QByteArray* err = nullptr,
                 int timeoutMs = 60000);

    bool waitForLog(const QString& fragment, int timeoutMs = 20000);
    QString log() const;

    // SIGINT (or SIGTERM, SIGKILL) and wait for the end.
    bool interrupt(int signalNumber, int* exitCode = nullptr, int timeoutMs = 20000);
    // Waits for an end the process comes to by itself (it may have come already).
    bool waitForEnd(int* exitCode, int timeoutMs = 30000);
    bool isRunning() const;
    qint64 pid() const;

private:
    static quint16 freeTcpPort();
    static quint16 freeUdpPort();

    QTemporaryDir dir;
    bool copied = false;
    QString address = QStringLiteral("127.0.0.1");
    quint16 rpc = 0;
    quint16 params = 0;
    QProcessEnvironment env;
    QProcess process;
    ProcessOutput output{process, QProcess::StandardError};
    QString settingsFile;
};
