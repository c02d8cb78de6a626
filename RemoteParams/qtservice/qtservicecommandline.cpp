#include "qtservicecommandline.h"

namespace {

using Action = QtServiceCommandLine::Action;

struct Option
{
    Action action;
    const char* shortName;
    const char* longName;
};

const Option Options[] = {
    {Action::Install, "-i", "-install"},     {Action::Uninstall, "-u", "-uninstall"},
    {Action::Version, "-v", "-version"},     {Action::Exec, "-e", "-exec"},
    {Action::Terminate, "-t", "-terminate"}, {Action::Pause, "-p", "-pause"},
    {Action::Resume, "-r", "-resume"},       {Action::Command, "-c", "-command"},
    {Action::Help, "-h", "-help"},
};

} // namespace

QtServiceCommandLine::Action QtServiceCommandLine::action(const QStringList& arguments)
{
    if (arguments.size() < 2) {
        return Action::StartService;
    }
    const QString& option = arguments.at(1);
    for (const Option& entry : Options) {
        if (option == QLatin1String(entry.shortName) || option == QLatin1String(entry.longName)) {
            return entry.action;
        }
    }
    return Action::StartService;
}

QtServiceCommandLine::Action QtServiceCommandLine::action(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc && i < 2; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return action(arguments);
}

bool QtServiceCommandLine::isToolAction(Action action)
{
    return action != Action::StartService && action != Action::Exec;
}
