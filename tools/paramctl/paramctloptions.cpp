#include "paramctloptions.h"

#include "paramctldevicelist.h"
#include "paramctlformat.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

namespace {

using Command = ParamCtlCommand::Command;

struct CommandInfo
{
    const char* name;
    Command command;
    int minArgs;
    int maxArgs;
};

const CommandInfo Commands[] = {
    {"users", Command::Users, 0, 0},     {"adduser", Command::AddUser, 3, 4},
    {"moduser", Command::ModUser, 2, 2}, {"deluser", Command::DelUser, 1, 2},
    {"devices", Command::Devices, 0, 0}, {"summary", Command::Summary, 0, 0},
    {"params", Command::Params, 1, 1},   {"schedule", Command::Schedule, 2, 2},
    {"cancel", Command::Cancel, 1, 1},   {"guard", Command::Guard, 1, 1},
    {"watch", Command::Watch, 0, 0},
};

bool parseUoo(const QString& text, quint32* uoo)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (ok) {
        *uoo = value;
    }
    return ok;
}

// A whole number in [min, max]; false otherwise.
bool parseNumber(const QString& text, int min, int max, int* value)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok || number < min || number > max) {
        return false;
    }
    *value = number;
    return true;
}

ParamCtlOptions failed(ParamCtlOptions options, const QString& error,
                       int code = ParamCtlExitCode::BadUsage)
{
    options.error = error;
    options.errorCode = code;
    return options;
}

// The command line, or with batchLine one line of a batch file (which may hold
// only a command and the options of commands).
ParamCtlOptions parseArguments(const QStringList& arguments, bool batchLine)
{
    ParamCtlOptions options;

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption(QStringList{"h", "help"});
    const QCommandLineOption hostOption("host", QString(), "H");
    const QCommandLineOption portOption("port", QString(), "P");
    const QCommandLineOption loginOption("login", QString(), "L");
    const QCommandLineOption passwordOption("password", QString(), "DIGEST");
    const QCommandLineOption timeoutOption("timeout", QString(), "S");
    const QCommandLineOption retriesOption("login-retries", QString(), "N");
    const QCommandLineOption jsonOption("json");
    const QCommandLineOption batchOption("batch", QString(), "FILE");
    const QCommandLineOption keepGoingOption("keep-going");
    const QCommandLineOption timeOption("time", QString(), "T");
    const QCommandLineOption countOption("count", QString(), "N");
    const QCommandLineOption secondsOption("seconds", QString(), "S");
    const QCommandLineOption paramsOption("params");
    const QCommandLineOption saveOption("save", QString(), "FILE");
    const QCommandLineOption saveDirOption("save-dir", QString(), "DIR");
    parser.addOptions({helpOption, hostOption, portOption, loginOption, passwordOption,
                       timeoutOption, retriesOption, jsonOption, batchOption, keepGoingOption,
                       timeOption, countOption, secondsOption, paramsOption, saveOption,
                       saveDirOption});
    if (!parser.parse(arguments)) {
        return failed(options, parser.errorText());
    }
    if (batchLine) {
        for (const QCommandLineOption* global :
             {&helpOption, &hostOption, &portOption, &loginOption, &passwordOption, &timeoutOption,
              &retriesOption, &jsonOption, &batchOption, &keepGoingOption}) {
            if (parser.isSet(*global)) {
                return failed(options, QStringLiteral("option --%1 belongs on the command line")
                                           .arg(global->names().last()));
            }
        }
    }
    if (parser.isSet(helpOption)) {
        options.help = true;
        return options;
    }
    // Each option once: a repeated one is most likely a mistake.
    for (const QString& name : parser.optionNames()) {
        if (parser.optionNames().count(name) > 1) {
            return failed(options, QStringLiteral("option --%1 given more than once").arg(name));
        }
    }

    if (parser.isSet(hostOption)) {
        options.host = parser.value(hostOption);
        if (options.host.isEmpty()) {
            return failed(options, QStringLiteral("empty host"));
        }
    }
    if (parser.isSet(portOption)) {
        int port = 0;
        if (!parseNumber(parser.value(portOption), 1, 65535, &port)) {
            return failed(
                options,
                QStringLiteral("bad port '%1' (1 to 65535)").arg(parser.value(portOption)));
        }
        options.port = static_cast<quint16>(port);
    }
    if (parser.isSet(loginOption)) {
        options.login = parser.value(loginOption);
    }
    if (parser.isSet(passwordOption)) {
        options.password = parser.value(passwordOption);
    }
    if (parser.isSet(timeoutOption) &&
        !parseNumber(parser.value(timeoutOption), 1, 86400, &options.timeoutSeconds)) {
        return failed(options, QStringLiteral("bad timeout '%1' (1 to 86400 seconds)")
                                   .arg(parser.value(timeoutOption)));
    }
    if (parser.isSet(retriesOption) &&
        !parseNumber(parser.value(retriesOption), 0, 100, &options.loginRetries)) {
        return failed(
            options,
            QStringLiteral("bad login retries '%1' (0 to 100)").arg(parser.value(retriesOption)));
    }
    options.json = parser.isSet(jsonOption);
    options.keepGoing = parser.isSet(keepGoingOption);

    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(batchOption)) {
        options.batchFile = parser.value(batchOption);
        if (options.batchFile.isEmpty()) {
            return failed(options, QStringLiteral("empty batch file name"));
        }
        if (!positional.isEmpty()) {
            return failed(options, QStringLiteral("no command goes with --batch (the commands "
                                                  "come from the batch file)"));
        }
    } else if (options.keepGoing) {
        return failed(options, QStringLiteral("option --keep-going only goes with --batch"));
    }
    if (positional.isEmpty() && !parser.isSet(batchOption)) {
        return failed(options, QStringLiteral("no command given"));
    }
    const QString name = positional.value(0);
    const QStringList args = positional.mid(1);
    const CommandInfo* info = nullptr;
    for (const CommandInfo& candidate : Commands) {
        if (name == QLatin1String(candidate.name)) {
            info = &candidate;
        }
    }
    if (!info && !positional.isEmpty()) {
        return failed(options, QStringLiteral("unknown command '%1'").arg(name));
    }
    if (info) {
        options.command = info->command;
        if (args.size() < info->minArgs || args.size() > info->maxArgs) {
            return failed(options, QStringLiteral("wrong number of arguments for '%1'").arg(name));
        }
    }

    // Options that belong to one command only.
    const struct
    {
        const QCommandLineOption& option;
        Command command;
    } owned[] = {{timeOption, Command::Schedule}, {countOption, Command::Watch},
                 {secondsOption, Command::Watch}, {paramsOption, Command::Watch},
                 {saveOption, Command::Params},   {saveDirOption, Command::Params}};
    for (const auto& entry : owned) {
        if (parser.isSet(entry.option) && options.command != entry.command) {
            return failed(options, QStringLiteral("option --%1 only goes with '%2'")
                                       .arg(entry.option.names().first(),
                                            ParamCtlCommand::commandName(entry.command)));
        }
    }

    switch (options.command) {
    case Command::AddUser:
    case Command::ModUser:
    case Command::DelUser: {
        options.account.login = args.at(0);
        if (options.account.login.isEmpty()) {
            return failed(options, QStringLiteral("empty login name"));
        }
        QString permissions;
        if (options.command == Command::AddUser) {
            options.accountPassword = args.at(1);
            permissions = args.at(2);
            options.account.fullname = args.value(3);
        } else {
            permissions = args.value(1);
        }
        if (!ParamCtlFormat::parsePermissions(permissions, &options.account.permissions)) {
            return failed(options,
                          QStringLiteral("bad permission list '%1' (codes 0 to 255, like 3,6)")
                              .arg(permissions));
        }
        break;
    }
    case Command::Params:
    case Command::Schedule:
    case Command::Cancel:
        if (ParamCtlDeviceList::isList(args.at(0))) {
            QList<quint32> uoos;
            QString error;
            int code = 0;
            if (!ParamCtlDeviceList::parse(args.at(0), false, &uoos, &error, &code)) {
                return failed(options, error, code);
            }
            options.devices = args.at(0);
            break;
        }
        if (!parseUoo(args.at(0), &options.uoo)) {
            return failed(options, QStringLiteral("bad UOO number '%1'").arg(args.at(0)),
                          ParamCtlExitCode::BadDeviceList);
        }
        break;
    case Command::Guard:
        if (!parseUoo(args.at(0), &options.uoo)) {
            return failed(options, QStringLiteral("bad UOO number '%1'").arg(args.at(0)),
                          ParamCtlExitCode::BadDeviceList);
        }
        break;
    default:
        break;
    }

    if (options.command == Command::Schedule) {
        options.file = args.at(1);
        if (parser.isSet(timeOption)) {
            options.time = QDateTime::fromString(parser.value(timeOption),
                                                 QStringLiteral("yyyy-MM-dd hh:mm:ss"));
            if (!options.time.isValid()) {
                return failed(options,
                              QStringLiteral("bad time '%1' (yyyy-MM-dd hh:mm:ss, local time)")
                                  .arg(parser.value(timeOption)));
            }
        }
    }
    if (options.command == Command::Params) {
        options.saveFile = parser.value(saveOption);
        options.saveDir = parser.value(saveDirOption);
        if (parser.isSet(saveOption) && parser.isSet(saveDirOption)) {
            return failed(options, QStringLiteral("--save and --save-dir do not go together"));
        }
        if (parser.isSet(saveOption) && options.isList()) {
            return failed(options, QStringLiteral("--save takes one device; use --save-dir DIR "
                                                  "with a device list"));
        }
        if (parser.isSet(saveDirOption) && options.saveDir.isEmpty()) {
            return failed(options, QStringLiteral("empty folder name for --save-dir"));
        }
    }
    if (parser.isSet(countOption) &&
        !parseNumber(parser.value(countOption), 1, 1000000000, &options.watchCount)) {
        return failed(options, QStringLiteral("bad count '%1'").arg(parser.value(countOption)));
    }
    if (parser.isSet(secondsOption) &&
        !parseNumber(parser.value(secondsOption), 1, 1000000000, &options.watchSeconds)) {
        return failed(options, QStringLiteral("bad seconds '%1'").arg(parser.value(secondsOption)));
    }
    options.watchParams = parser.isSet(paramsOption);
    if (batchLine && options.command == Command::Watch && options.watchCount == 0 &&
        options.watchSeconds == 0) {
        return failed(options, QStringLiteral("watch in a batch needs --count or --seconds"));
    }
    return options;
}

} // namespace

QString ParamCtlCommand::commandName(Command command)
{
    for (const CommandInfo& info : Commands) {
        if (info.command == command) {
            return QString::fromLatin1(info.name);
        }
    }
    return QString();
}

bool ParamCtlCommand::load(QHash<QString, QByteArray>* sets)
{
    if (!devices.isEmpty()) {
        if (!ParamCtlDeviceList::parse(devices, true, &uoos, &error, &errorCode)) {
            return false;
        }
    } else {
        uoos = QList<quint32>{uoo};
    }
    if (command == Command::Schedule) {
        if (sets && sets->contains(file)) {
            newParams = sets->value(file);
        } else {
            QFile set(file);
            if (!set.open(QIODevice::ReadOnly)) {
                error = QStringLiteral("cannot read %1: %2").arg(file, set.errorString());
                errorCode = ParamCtlExitCode::FileError;
                return false;
            }
            newParams = set.read(MaxSetFileBytes + 1);
            if (newParams.size() > MaxSetFileBytes) {
                error = QStringLiteral("%1 is larger than %2 bytes").arg(file).arg(MaxSetFileBytes);
                errorCode = ParamCtlExitCode::FileError;
                newParams.clear();
                return false;
            }
            if (sets) {
                sets->insert(file, newParams);
            }
        }
        if (newParams.isEmpty()) {
            error = QStringLiteral("%1 is empty: no parameter set to schedule").arg(file);
            errorCode = ParamCtlExitCode::EmptySetFile;
            return false;
        }
    }
    if (command == Command::Params && !saveDir.isEmpty() && !QFileInfo(saveDir).isDir()) {
        error = QStringLiteral("no folder %1 to save the sets in").arg(saveDir);
        errorCode = ParamCtlExitCode::FileError;
        return false;
    }
    return true;
}

ParamCtlOptions ParamCtlOptions::parse(const QStringList& arguments)
{
    return parseArguments(arguments, false);
}

ParamCtlCommand ParamCtlOptions::parseLine(const QStringList& words)
{
    ParamCtlCommand command = parseArguments(QStringList{QStringLiteral("paramctl")} + words, true);
    if (!command.error.isEmpty() && command.errorCode == ParamCtlExitCode::BadUsage) {
        command.errorCode = ParamCtlExitCode::BadBatchLine;
    }
    return command;
}

QString ParamCtlOptions::helpText()
{
    return QStringLiteral(
        "Usage: paramctl [OPTIONS] COMMAND [ARGS]\n"
        "       paramctl [OPTIONS] --batch FILE|- [--keep-going]\n"
        "\n"
        "Command-line workstation of the UOO parameter server: connects to its RPC\n"
        "administration port, logs in and runs one command, or every command of a batch\n"
        "file over the same connection.\n"
        "\n"
        "Options:\n"
        "  --host H           server address (default 127.0.0.1)\n"
        "  --port P           RPC port (default 45432)\n"
        "  --login L          login name (default adminvemo)\n"
        "  --password DIGEST  password text exactly as the server stores it, e.g. the\n"
        "                     lower-case hexadecimal digest (default: the built-in one)\n"
        "  --timeout S        seconds to wait for the connection and for each reply\n"
        "                     (default 10)\n"
        "  --login-retries N  when the server closes the connection at the login without\n"
        "                     an answer (the same name logged in less than a second\n"
        "                     before), wait 1.1 s and try again, at most N times\n"
        "                     (default 5, 0 to 100); not after the server reported too\n"
        "                     many failed logins for the name\n"
        "  --json             write every item as a JSON object on a line of its own\n"
        "  --batch FILE       run the commands of FILE (- for standard input), one a line,\n"
        "                     in order, over one login; stop at the first that fails\n"
        "  --keep-going       with --batch: run the other commands after a failure\n"
        "  -h, --help         this text\n"
        "\n"
        "Commands:\n"
        "  users                      list the server's accounts\n"
        "  adduser LOGIN DIGEST PERMS [FULLNAME]\n"
        "                             add an account; PERMS is a list of codes like 3,6\n"
        "                             (- for none); DIGEST is the password text to store\n"
        "  moduser LOGIN PERMS        replace an account's permission codes\n"
        "  deluser LOGIN [PERMS]      delete an account (PERMS only marks the audit line)\n"
        "  devices                    list the UOO devices the server knows\n"
        "  summary                    count the devices: known, online, offline\n"
        "  params UOOS [--save FILE | --save-dir DIR]\n"
        "                             show a device's parameter record; --save writes the\n"
        "                             device's current parameter set to FILE, --save-dir\n"
        "                             writes each device's set to DIR/UOO.bin\n"
        "  schedule UOOS FILE [--time \"yyyy-MM-dd hh:mm:ss\"]\n"
        "                             schedule FILE as the devices' new parameter set,\n"
        "                             stamped with the given local time (default: now)\n"
        "  cancel UOOS                cancel a scheduled parameter set\n"
        "  guard UOO                  ask for a change of the device's guard state\n"
        "  watch [--count N] [--seconds S] [--params]\n"
        "                             print the server's messages as they arrive, until\n"
        "                             interrupted (SIGINT/SIGTERM) or a limit is reached;\n"
        "                             --params adds the device's parameter record to each\n"
        "                             RPC_NEW_PARAMSSTATE line; a watch piped into a\n"
        "                             reader that has ended stops with status 0\n"
        "\n"
        "UOOS is one UOO number, or a list of numbers and ranges separated by commas\n"
        "(4711,4712,4800-4899) and @FILE items (a file with one number or range a line;\n"
        "blank lines and lines starting with # are skipped). A list holds at most 10000\n"
        "devices; a device named twice is taken once. A list is run over one connection\n"
        "and gives one line per device; the command succeeds when every device did.\n"
        "\n"
        "Batch file: one command a line, written as on the command line after the\n"
        "global options (words separated by blanks; \"double\" or 'single' quotes keep\n"
        "blanks; a backslash outside single quotes takes the next character as it is).\n"
        "Blank lines and lines starting with # are skipped. Every line is checked, and\n"
        "every file it names is read, before anything is sent; a bad line stops the\n"
        "batch before it starts, or with --keep-going only that line is skipped. watch\n"
        "in a batch needs --count or --seconds. The exit status is that of the first\n"
        "command that failed. A batch holds at most 10000 commands (4 MiB), its set\n"
        "files at most 8 MiB each and 64 MiB together, its lists 100000 devices.\n"
        "\n"
        "Output: one line per item on standard output, flushed as it comes; fields are\n"
        "separated by a tab and written as name=value. In texts a backslash is written\n"
        "as \\\\, a tab as \\t, a line feed as \\n and a carriage return as \\r.\n"
        "  users     login= permissions= fullname= writesleft= lastwrite=\n"
        "  devices   uoo= device= ip= port= status= online= version=\n"
        "  summary   known= online= offline=\n"
        "  params    uoo= state= statename= writeleft= lefttosend= flags= device=\n"
        "            pversion= uootime= localtime= uooparams= localparams= (sizes)\n"
        "  adduser, moduser, deluser, guard, and schedule, cancel of one UOO number:\n"
        "            the result text (OK, ...)\n"
        "  schedule, cancel of a list: uoo= result= (OK, UOO_IS_BUSY,\n"
        "            TESTING_UOO_NOT_FOUND)\n"
        "  params of a list: uoo= result= and the record's other fields; a device the\n"
        "            server does not know gives result=TESTING_UOO_NOT_FOUND alone\n"
        "  watch     the message name, a tab, then the message: the log line\n"
        "            (RPC_SYS_LOG_MESSAGE), the device line (RPC_NEW_UOOSTATE,\n"
        "            RPC_UOO_REMOVED) or uoo=N (RPC_NEW_PARAMSSTATE; with --params the\n"
        "            record's fields)\n"
        "Times are local, yyyy-MM-dd hh:mm:ss (Z appended for UTC), - when not set.\n"
        "With --json every line is a JSON object with the same fields: numbers as\n"
        "numbers, online as true/false, permissions as a list, unset times as null,\n"
        "the rest as texts (unescaped); the result text of a single operation is\n"
        "{\"result\":...}; watch adds \"message\" (the message name) and writes the log\n"
        "line as \"text\".\n"
        "\n"
        "Exit status:\n"
        "  0  success\n"
        "  2  bad usage\n"
        "  3  cannot connect to the server\n"
        "  4  the server closed the connection (it does so without a reply when the\n"
        "     same login name tries again within a second, after a fourth failed\n"
        "     login in a row, and when a permission is missing)\n"
        "  5  login refused\n"
        "  6  the operation's result is not OK (for a list: for at least one device)\n"
        "  7  no reply within the timeout\n"
        "  8  a local file cannot be read or written (a set file, a device list file,\n"
        "     the batch file, a --save file or folder)\n"
        "  9  a batch line that is not a command or has bad arguments\n"
        "  10 a bad UOO number or device list (not a number, a reversed range, more\n"
        "     than 10000 devices, a bad line in a device list file)\n"
        "  11 the parameter set file is empty\n"
        "  130 interrupted (other commands than watch)\n"
        "Statuses 8 to 11 mean that nothing was sent for the command concerned.\n");
}
