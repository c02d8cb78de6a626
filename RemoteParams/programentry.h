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

// The directory of the databases and bindhost.txt: the first entry of
// stateDirectory (systemd's STATE_DIRECTORY, a colon-separated list, under a
// unit with StateDirectory=) when there is one, otherwise the executable's
// directory.
QString dataDirectory(const QString& executableDirectory, const QString& stateDirectory);

// Enters the executable's directory and then, under a unit with a state
// directory, that directory (created if it is missing). Returns false when the
// state directory cannot be entered; dataFilePath then still points into it, so
// that opening the files fails with its path in the message.
bool enterDataDirectory(int argc, char** argv);

// Where the file of that name lives: in the directory enterDataDirectory chose,
// or in the working directory when it was not called.
QString dataFilePath(const QString& fileName);

bool isConsoleRun(int argc, char** argv);

// Without TZ in the environment the C library looks at /etc/localtime again on
// every conversion to local time (a file-system lookup each time), and every
// log line, action-log row and last-seen time is one. Setting TZ to that same
// file, when TZ is not set, reads the zone once: daylight saving is still
// followed, a change of the system's time zone takes effect at the next start.
// Returns whether TZ was set here.
bool pinLocalTimeZone();

// "-i", "-u", "-t", "-c", "-p", "-r", "-v", "-h" and their long forms: the
// program acts as a command-line tool, and its diagnostics belong on standard
// error as well as in the event log.
bool isCommandLineAction(int argc, char** argv);

// The program's own commands, beside the service framework's actions: argument 1
// names one exactly ("--hash-accounts" and "--set-password" run the account
// tool, "--copy-storage" the storage copy). Anything else is the framework's.
enum class ProgramCommand { None, Accounts, CopyStorage };
ProgramCommand programCommand(const QStringList& arguments);

} // namespace ProgramEntry
