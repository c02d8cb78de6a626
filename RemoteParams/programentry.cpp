#include "programentry.h"

#include "accounttool.h"
#include "qtservicecommandline.h"
#include "storagecopy.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <cstdio>

namespace ProgramEntry {

namespace {

QStringList toList(int argc, char** argv)
{
    QStringList list;
    for (int i = 0; i < argc; ++i) {
        list << QString::fromLocal8Bit(argv[i]);
    }
    return list;
}

// Set once by enterDataDirectory, on the main thread before anything else runs.
QString chosenDataDirectory;

} // namespace

int restartDelayMs(const QStringList& arguments)
{
    if (!arguments.value(1).contains(QLatin1String("--restart"))) {
        return 0;
    }
    if (arguments.size() != 3) {
        return 1000;
    }
    bool ok = false;
    const int seconds = arguments.at(2).toInt(&ok, 10);
    if (!ok || seconds <= 0) {
        return 0;
    }
    // The program asks for at most 30 s; a larger number typed by hand is
    // clamped to an hour rather than overflowing.
    return qMin(seconds, 3600) * 1000;
}

QString restartDelayProblem(const QStringList& arguments)
{
    if (!arguments.value(1).contains(QLatin1String("--restart")) || arguments.size() != 3) {
        return QString();
    }
    const QString text = arguments.at(2);
    bool ok = false;
    const int seconds = text.toInt(&ok, 10);
    if (!ok) {
        return QStringLiteral("the restart delay \"%1\" is not a number of seconds: no wait")
            .arg(text.left(64));
    }
    if (seconds < 0) {
        return QStringLiteral("the restart delay %1 s is negative: no wait").arg(seconds);
    }
    if (seconds > 30) {
        return QStringLiteral("the restart delay %1 s is longer than the 30 s the program asks "
                              "for: waiting %2 s")
            .arg(seconds)
            .arg(qMin(seconds, 3600));
    }
    return QString();
}

void waitForPendingRestart(int argc, char** argv)
{
    const QStringList arguments = toList(argc, argv);
    const QString problem = restartDelayProblem(arguments);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QFileInfo(arguments.value(0)).fileName()),
                     problem.toLocal8Bit().constData());
        std::fflush(stderr);
    }
    const int delay = restartDelayMs(arguments);
    if (delay > 0) {
        QThread::msleep(static_cast<unsigned long>(delay));
    }
}

void enterExecutableDirectory(int argc, char** argv)
{
    QString path;
#ifdef Q_OS_LINUX
    // argument 0 may be a bare name found on PATH; the kernel knows the file.
    path = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
#endif
    if (path.isEmpty() && argc > 0) {
        path = QString::fromLocal8Bit(argv[0]);
    }
    if (!path.isEmpty()) {
        QDir::setCurrent(QFileInfo(path).absolutePath());
    }
}

QString dataDirectory(const QString& executableDirectory, const QString& stateDirectory)
{
    const QString first = stateDirectory.section(QLatin1Char(':'), 0, 0);
    return first.isEmpty() ? executableDirectory : first;
}

bool enterDataDirectory(int argc, char** argv)
{
    enterExecutableDirectory(argc, argv);
    const QString executableDirectory = QDir::currentPath();
    const QString directory =
        dataDirectory(executableDirectory, qEnvironmentVariable("STATE_DIRECTORY"));
    chosenDataDirectory = QDir(executableDirectory).absoluteFilePath(directory);
    if (chosenDataDirectory == executableDirectory) {
        return true;
    }
    return QDir().mkpath(chosenDataDirectory) && QDir::setCurrent(chosenDataDirectory);
}

QString dataFilePath(const QString& fileName)
{
    if (chosenDataDirectory.isEmpty()) {
        return QStringLiteral("./") + fileName;
    }
    return QDir(chosenDataDirectory).filePath(fileName);
}

bool pinLocalTimeZone()
{
#ifdef Q_OS_UNIX
    if (qEnvironmentVariableIsSet("TZ")) {
        return false;
    }
    qputenv("TZ", ":/etc/localtime");
    return true;
#else
    return false;
#endif
}

bool isConsoleRun(int argc, char** argv)
{
    return QtServiceCommandLine::action(argc, argv) == QtServiceCommandLine::Action::Exec;
}

bool isCommandLineAction(int argc, char** argv)
{
    return QtServiceCommandLine::isToolAction(QtServiceCommandLine::action(argc, argv));
}

ProgramCommand programCommand(const QStringList& arguments)
{
    struct Command
    {
        const char* option;
        ProgramCommand command;
    };
    static const Command commands[] = {
        {AccountTool::HashAccounts, ProgramCommand::Accounts},
        {AccountTool::SetPassword, ProgramCommand::Accounts},
        {StorageCopy::Option, ProgramCommand::CopyStorage},
    };
    const QString option = arguments.value(1);
    for (const Command& entry : commands) {
        if (option == QLatin1String(entry.option)) {
            return entry.command;
        }
    }
    return ProgramCommand::None;
}

} // namespace ProgramEntry
