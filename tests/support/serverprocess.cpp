#include "serverprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QThread>
#include <QUdpSocket>

#include <csignal>

ServerProcess::ServerProcess(const QString& programPath)
{
    if (!dir.isValid()) {
        return;
    }
    QDir(dir.path()).mkpath(QStringLiteral("bin"));
    QDir(dir.path()).mkpath(QStringLiteral("elsewhere"));
    copied = QFile::copy(programPath, executable());
    QFile::setPermissions(executable(), QFile::permissions(programPath));

    rpc = freeTcpPort();
    params = freeUdpPort();

    // The program's own settings store: the per-user scope lives under
    // XDG_CONFIG_HOME.
    const QString config = dir.path() + QLatin1String("/config");
    settingsFile = config + QLatin1String("/Kolvant/VemoParamsServer.conf");
    QSettings settings(settingsFile, QSettings::IniFormat);
    settings.setValue(QStringLiteral("Common/SettingsSaved"), true);
    settings.setValue(QStringLiteral("Network/RpcPort"), rpc);
    settings.setValue(QStringLiteral("Network/ParamsPort"), params);
    settings.sync();

    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.remove(QStringLiteral("NOTIFY_SOCKET"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir.path() + QLatin1String("/elsewhere"));
    QObject::connect(&process, &QProcess::readyReadStandardError, [this] { output.read(); });
}

ServerProcess::~ServerProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
}

quint16 ServerProcess::freeTcpPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

quint16 ServerProcess::freeUdpPort()
{
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    return socket.localPort();
}

void ServerProcess::setSetting(const QString& key, const QVariant& value)
{
    QSettings settings(settingsFile, QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
}

void ServerProcess::setEnvironmentVariable(const QString& name, const QString& value)
{
    env.insert(name, value);
    process.setProcessEnvironment(env);
}

void ServerProcess::bindTo(const QString& host, quint16 rpcPort, quint16 paramsPort)
{
    address = host;
    rpc = rpcPort;
    params = paramsPort;
    setSetting(QStringLiteral("Network/BindAddress"), host);
    setSetting(QStringLiteral("Network/RpcPort"), rpc);
    setSetting(QStringLiteral("Network/ParamsPort"), params);
}

bool ServerProcess::launch(const QStringList& extraArguments)
{
    output.clear();
    process.start(executable(), QStringList{QStringLiteral("-e")} + extraArguments);
    return process.waitForStarted(20000);
}

bool ServerProcess::start(const QStringList& extraArguments)
{
    if (!launch(extraArguments)) {
        return false;
    }
    return waitForLog(QStringLiteral("Сервер параметров запущен на порту")) &&
           waitForLog(QStringLiteral("Сервер администрирования запущен"));
}

int ServerProcess::runToEnd(const QStringList& arguments, QByteArray* out, QByteArray* err,
                            int timeoutMs)
{
    QProcess run;
    run.setProcessEnvironment(env);
    run.setWorkingDirectory(dir.path() + QLatin1String("/elsewhere"));
    run.start(executable(), arguments);
    if (!run.waitForFinished(timeoutMs)) {
        run.kill();
        run.waitForFinished(5000);
        return -1000;
    }
    if (out) {
        *out = run.readAllStandardOutput();
    }
    if (err) {
        *err = run.readAllStandardError();
    }
    return run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -2000;
}

bool ServerProcess::waitForLog(const QString& fragment, int timeoutMs)
{
    return output.waitFor(fragment, timeoutMs);
}

QString ServerProcess::log() const
{
    return output.text();
}

bool ServerProcess::interrupt(int signalNumber, int* exitCode, int timeoutMs)
{
    if (process.state() == QProcess::NotRunning) {
        return false;
    }
    ::kill(static_cast<pid_t>(process.processId()), signalNumber);
    if (!process.waitForFinished(timeoutMs)) {
        return false;
    }
    output.read();
    if (exitCode) {
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2000;
    }
    return true;
}

bool ServerProcess::waitForEnd(int* exitCode, int timeoutMs)
{
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(timeoutMs)) {
        return false;
    }
    output.read();
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2000;
    return true;
}

bool ServerProcess::isRunning() const
{
    return process.state() != QProcess::NotRunning;
}

qint64 ServerProcess::pid() const
{
    return process.processId();
}
