#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class ServerProcess;

// What a command-line program run to its end returned and printed.
struct ToolRun
{
    int exitCode = -1; // -1: it did not start or end in time; -2: it crashed
    QStringList lines; // standard output, one item a non-empty line
    QString out;       // standard output as it came
    QString err;
};

// Runs program with args, input on its standard input (then closed), to its end;
// one that has not ended after timeoutMs is killed.
ToolRun runTool(const QString& program, const QStringList& args, const QByteArray& input = {},
                int timeoutMs = 120000);
// paramctl (at program) against the server's RPC port.
ToolRun runParamCtl(const QString& program, const ServerProcess& server, const QStringList& args,
                    const QByteArray& input = {});
// uoosim (at program) against the server's parameter port.
ToolRun runUooSim(const QString& program, const ServerProcess& server, const QStringList& args);
