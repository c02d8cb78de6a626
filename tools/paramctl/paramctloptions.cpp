#include "paramctloptions.h"

#include "paramctlformat.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

struct CommandInfo
{
    const char* name;
    ParamCtlOptions::Command command;
    int minArgs;
    int maxArgs;
};

const CommandInfo Commands[] = {
    {"users", ParamCtlOptions::Command::Users, 0, 0},
    {"adduser", ParamCtlOptions::Command::AddUser, 3, 4},
    {"moduser", ParamCtlOptions::Command::ModUser, 2, 2},
    {"deluser", ParamCtlOptions::Command::DelUser, 1, 2},
    {"devices", ParamCtlOptions::Command::Devices, 0, 0},
    {"params", ParamCtlOptions::Command::Params, 1, 1},
    {"schedule", ParamCtlOptions::Command::Schedule, 2, 2},
    {"cancel", ParamCtlOptions::Command::Cancel, 1, 1},
    {"guard", ParamCtlOptions::Command::Guard, 1, 1},
    {"watch", ParamCtlOptions::Command::Watch, 0, 0},
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

ParamCtlOptions failed(ParamCtlOptions options, const QString& error)
{
    options.error = error;
    return options;
}

} // namespace

QString ParamCtlOptions::commandName(Command command)
{
    for (const CommandInfo& info : Commands) {
        if (info.command == command) {
            return QString::fromLatin1(info.name);
        }
    }
    return QString();
}

ParamCtlOptions ParamCtlOptions::parse(const QStringList& arguments)
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
    const QCommandLineOption timeOption("time", QString(), "T");
    const QCommandLineOption countOption("count", QString(), "N");
    const QCommandLineOption secondsOption("seconds", QString(), "S");
    const QCommandLineOption saveOption("save", QString(), "FILE");
    parser.addOptions({helpOption, hostOption, portOption, loginOption, passwordOption,
                       timeoutOption, timeOption, countOption, secondsOption, saveOption});
    if (!parser.parse(arguments)) {
        return failed(options, parser.errorText());
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

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        return failed(options, QStringLiteral("no command given"));
    }
    const QString name = positional.first();
    const QStringList args = positional.mid(1);
    const CommandInfo* info = nullptr;
    for (const CommandInfo& candidate : Commands) {
        if (name == QLatin1String(candidate.name)) {
            info = &candidate;
        }
    }
    if (!info) {
        return failed(options, QStringLiteral("unknown command '%1'").arg(name));
    }
    options.command = info->command;
    if (args.size() < info->minArgs || args.size() > info->maxArgs) {
        return failed(options, QStringLiteral("wrong number of arguments for '%1'").arg(name));
    }

    // Options that belong to one command only.
    const struct
    {
        const QCommandLineOption& option;
        Command command;
    } owned[] = {{timeOption, Command::Schedule},
                 {countOption, Command::Watch},
                 {secondsOption, Command::Watch},
                 {saveOption, Command::Params}};
    for (const auto& entry : owned) {
        if (parser.isSet(entry.option) && options.command != entry.command) {
            return failed(options,
                          QStringLiteral("option --%1 only goes with '%2'")
                              .arg(entry.option.names().first(), commandName(entry.command)));
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
    case Command::Guard:
        if (!parseUoo(args.at(0), &options.uoo)) {
            return failed(options, QStringLiteral("bad UOO number '%1'").arg(args.at(0)));
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
    }
    if (parser.isSet(countOption) &&
        !parseNumber(parser.value(countOption), 1, 1000000000, &options.watchCount)) {
        return failed(options, QStringLiteral("bad count '%1'").arg(parser.value(countOption)));
    }
    if (parser.isSet(secondsOption) &&
        !parseNumber(parser.value(secondsOption), 1, 1000000000, &options.watchSeconds)) {
        return failed(options, QStringLiteral("bad seconds '%1'").arg(parser.value(secondsOption)));
    }
    return options;
}

QString ParamCtlOptions::helpText()
{
    return QStringLiteral(
        "Usage: paramctl [OPTIONS] COMMAND [ARGS]\n"
        "\n"
        "Command-line workstation of the UOO parameter server: connects to its RPC\n"
        "administration port, logs in and runs one command.\n"
        "\n"
        "Options:\n"
        "  --host H           server address (default 127.0.0.1)\n"
        "  --port P           RPC port (default 45432)\n"
        "  --login L          login name (default adminvemo)\n"
        "  --password DIGEST  password text exactly as the server stores it, e.g. the\n"
        "                     lower-case hexadecimal digest (default: the built-in one)\n"
        "  --timeout S        seconds to wait for the connection and for each reply\n"
        "                     (default 10)\n"
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
        "  params UOO [--save FILE]   show a device's parameter record; --save writes the\n"
        "                             device's current parameter set to FILE\n"
        "  schedule UOO FILE [--time \"yyyy-MM-dd hh:mm:ss\"]\n"
        "                             schedule FILE as the device's new parameter set,\n"
        "                             stamped with the given local time (default: now)\n"
        "  cancel UOO                 cancel a scheduled parameter set\n"
        "  guard UOO                  ask for a change of the device's guard state\n"
        "  watch [--count N] [--seconds S]\n"
        "                             print the server's messages as they arrive, until\n"
        "                             interrupted (SIGINT/SIGTERM) or a limit is reached\n"
        "\n"
        "Output: one line per item on standard output, flushed at once; fields are\n"
        "separated by a tab and written as name=value. In texts a backslash is written\n"
        "as \\\\, a tab as \\t, a line feed as \\n and a carriage return as \\r.\n"
        "  users     login= permissions= fullname= writesleft= lastwrite=\n"
        "  devices   uoo= device= ip= port= status= online= version=\n"
        "  params    uoo= state= statename= writeleft= lefttosend= flags= device=\n"
        "            pversion= uootime= localtime= uooparams= localparams= (sizes)\n"
        "  adduser, moduser, deluser, schedule, cancel, guard: the result text (OK, ...)\n"
        "  watch     the message name, a tab, then the message: the log line\n"
        "            (RPC_SYS_LOG_MESSAGE), the device line (RPC_NEW_UOOSTATE,\n"
        "            RPC_UOO_REMOVED) or uoo=N (RPC_NEW_PARAMSSTATE)\n"
        "Times are local, yyyy-MM-dd hh:mm:ss (Z appended for UTC), - when not set.\n"
        "\n"
        "Exit status:\n"
        "  0  success\n"
        "  2  bad usage\n"
        "  3  cannot connect to the server\n"
        "  4  the server closed the connection (it does so without a reply when the\n"
        "     same login name tries again within a second, after a fourth failed\n"
        "     login in a row, and when a permission is missing)\n"
        "  5  login refused\n"
        "  6  the operation's result is not OK\n"
        "  7  no reply within the timeout\n"
        "  8  a local file cannot be read or written\n"
        "  130 interrupted (other commands than watch)\n");
}
