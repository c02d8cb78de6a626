#include "toolrun.h"

#include "serverprocess.h"

#include <QProcess>

ToolRun runTool(const QString& program, const QStringList& args, const QByteArray& input,
                int timeoutMs)
{
    QProcess process;
    process.start(program, args);
    ToolRun r;
    if (!process.waitForStarted(30000)) {
        return r;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return r;
    }
    r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    r.out = QString::fromUtf8(process.readAllStandardOutput());
    r.lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(process.readAllStandardError());
    return r;
}

ToolRun runParamCtl(const QString& program, const ServerProcess& server, const QStringList& args,
                    const QByteArray& input)
{
    return runTool(program,
                   QStringList{QStringLiteral("--host"), server.host(), QStringLiteral("--port"),
                               QString::number(server.rpcPort())} +
                       args,
                   input);
}

ToolRun runUooSim(const QString& program, const ServerProcess& server, const QStringList& args)
{
    return runTool(program, QStringList{QStringLiteral("--server"),
                                        QStringLiteral("%1:%2").arg(server.host()).arg(server.paramsPort())} +
                                args);
}
