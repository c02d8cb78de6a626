#pragma once

#include <QString>
#include <QStringList>

// What the process entry does before the service object exists.
namespace ProgramEntry {

// The delay a "--restart" request asks for: argument 1 containing "--restart"
// waits argument 2 seconds when there are exactly three arguments (text that is
// not a number, or a negative number, gives no wait), otherwise one second.
int restartDelayMs(const QStringList& arguments);

// What is wrong with a "--restart" delay, for a message; empty when nothing
// is (no "--restart", no delay given, or a number from 0 to 30).
QString restartDelayProblem(const QStringList& arguments);

// Waits out the delay; a delay that is not a number or out of range is
// reported on standard error first.
void waitForPendingRestart(int argc, char** argv);

// Makes the directory of the running executable the working directory, so that
// the databases and bindhost.txt are found beside it wherever it was started from.
void enterExecutableDirectory(int argc, char** argv);

bool isConsoleRun(int argc, char** argv);

// "-i", "-u", "-t", "-c", "-p", "-r", "-v", "-h" and their long forms: the
// program acts as a command-line tool, and its diagnostics belong on standard
// error as well as in the event log.
bool isCommandLineAction(int argc, char** argv);

} // namespace ProgramEntry
