#pragma once

#include <QStringList>

// The service framework's command line: argument 1 selects one action by its
// short or its long option, compared exactly. Both the framework's exec() and
// the program entry read the command line through this one table.
class QtServiceCommandLine
{
public:
    enum class Action {
        StartService, // no option, or one that is not in the table
        Install,
        Uninstall,
        Version,
        Exec,
        Terminate,
        Pause,
        Resume,
        Command,
        Help
    };

    // The action argument 1 of the command line selects.
    static Action action(const QStringList& arguments);
    static Action action(int argc, char** argv);

    // The program runs as a command-line tool that acts on the installed
    // service and ends: every action but a service start and a console run.
    static bool isToolAction(Action action);
};
