#pragma once

#include <QString>
#include <QStringList>

// What the process entry does before the service object exists.
namespace ProgramEntry {

// The delay a "--restart" request asks for: argument 1 containing "--restart"
// waits argument 2 seconds when there are exactly three arguments (text that is
// not a number, or a negative number, gives no wait), otherwise one second.
int restartDelayMs(const QStringList& arguments);

void waitForPendingRestart(int argc, char** argv);

// Makes the directory of the running executable the working directory, so that
// the databases and bindhost.txt are found beside it wherever it was started from.
void enterExecutableDirectory(int argc, char** argv);

bool isConsoleRun(int argc, char** argv);

} // namespace ProgramEntry
