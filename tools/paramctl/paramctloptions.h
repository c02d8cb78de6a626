#pragma once

#include "vemorpcclient.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// The command line of paramctl, parsed. A non-empty error means bad usage.
struct ParamCtlOptions
{
    enum class Command {
        None,
        Users,
        AddUser,
        ModUser,
        DelUser,
        Devices,
        Params,
        Schedule,
        Cancel,
        Guard,
        Watch,
    };

    static constexpr quint16 DefaultPort = 45432;
    static constexpr int DefaultTimeoutSeconds = 10;

    QString host = QStringLiteral("127.0.0.1");
    quint16 port = DefaultPort;
    QString login = QStringLiteral("adminvemo");
    QString password = QStringLiteral("5f1d0c8e2a7b4963d0e18c2f7a9b3e64");
    int timeoutSeconds = DefaultTimeoutSeconds;

    Command command = Command::None;
    VemoRpcClient account;   // adduser, moduser, deluser
    QString accountPassword; // adduser
    quint32 uoo = 0;         // params, schedule, cancel, guard
    QString file;            // schedule: the new parameter set
    QDateTime time;          // schedule: invalid means "now"
    QString saveFile;        // params: where to write the device's parameter set
    int watchCount = 0;      // watch: 0 = no limit
    int watchSeconds = 0;    // watch: 0 = no limit

    bool help = false;
    QString error;

    // arguments as QCoreApplication::arguments() gives them (program first).
    static ParamCtlOptions parse(const QStringList& arguments);
    static QString helpText();
    static QString commandName(Command command);
};
