#pragma once

#include "paramctlexitcode.h"
#include "vemorpcclient.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// One command of paramctl with its arguments, from the command line or from a
// line of a batch file. A non-empty error means bad input; errorCode says which.
struct ParamCtlCommand
{
    enum class Command {
        None,
        Users,
        AddUser,
        ModUser,
        DelUser,
        Devices,
        Summary,
        Params,
        Schedule,
        Cancel,
        Guard,
        Watch,
    };

    // A new parameter set larger than this is refused: the server takes no
    // message of more than 16 MiB.
    static constexpr qint64 MaxSetFileBytes = 8 * 1024 * 1024;
    // The limits of a whole batch: the distinct set files together, and the
    // devices of all its lists.
    static constexpr qint64 MaxBatchSetBytes = 64 * 1024 * 1024;
    static constexpr int MaxBatchDevices = 100000;

    Command command = Command::None;
    VemoRpcClient account;    // adduser, moduser, deluser
    QString accountPassword;  // adduser
    quint32 uoo = 0;          // params, schedule, cancel, guard: one plain UOO number
    QString devices;          // params, schedule, cancel: a device list as given, or empty
    QList<quint32> uoos;      // params, schedule, cancel: every device, filled by load()
    QString file;             // schedule: the new parameter set
    QByteArray newParams;     // schedule: the file's bytes, filled by load()
    QDateTime time;           // schedule: invalid means "now"
    QString saveFile;         // params: where to write the device's parameter set
    QString saveDir;          // params: a folder for UOO.bin files
    int watchCount = 0;       // watch: 0 = no limit
    int watchSeconds = 0;     // watch: 0 = no limit
    bool watchParams = false; // watch: fetch the record at every parameter-state message
    int line = 0;             // the batch line, 0 on the command line

    QString error;
    int errorCode = ParamCtlExitCode::Success;

    // Whether the devices were given as a list (one result line per device).
    bool isList() const { return !devices.isEmpty(); }
    // Reads what the command needs from local files (device list files, the new
    // set) and checks the save folder. False with error and errorCode set. Set
    // files already in sets are not read again; new ones are added there.
    bool load(QHash<QString, QByteArray>* sets = nullptr);

    static QString commandName(Command command);
};

// The command line of paramctl, parsed.
struct ParamCtlOptions : ParamCtlCommand
{
    static constexpr quint16 DefaultPort = 45432;
    static constexpr int DefaultTimeoutSeconds = 10;
    static constexpr int DefaultLoginRetries = 5;

    QString host = QStringLiteral("127.0.0.1");
    quint16 port = DefaultPort;
    QString login = QStringLiteral("adminvemo");
    QString password = QStringLiteral("5f1d0c8e2a7b4963d0e18c2f7a9b3e64");
    int timeoutSeconds = DefaultTimeoutSeconds;
    int loginRetries = DefaultLoginRetries; // new connections after a login the server cut off
    bool json = false;
    QString batchFile; // "-" for standard input
    bool keepGoing = false;

    bool help = false;

    // arguments as QCoreApplication::arguments() gives them (program first).
    static ParamCtlOptions parse(const QStringList& arguments);
    // One line of a batch file, split into words: a command and its own options.
    static ParamCtlCommand parseLine(const QStringList& words);
    static QString helpText();
};
