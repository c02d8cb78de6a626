#include "accounttool.h"
#include "consolesignalwatcher.h"
#include "descriptorlimit.h"
#include "loghandler.h"
#include "programentry.h"
#include "receiverservice.h"
#include "servicesettings.h"
#include "storagecopy.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStringList>
#include <QTextStream>

int main(int argc, char** argv)
{
    ProgramEntry::waitForPendingRestart(argc, argv);
    ProgramEntry::enterDataDirectory(argc, argv);
    ProgramEntry::pinLocalTimeZone();

    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const ProgramEntry::ProgramCommand command = ProgramEntry::programCommand(arguments);
    if (command == ProgramEntry::ProgramCommand::Accounts) {
        QCoreApplication app(argc, argv);
        QTextStream in(stdin);
        QTextStream out(stdout);
        QTextStream err(stderr);
        AccountTool tool(ProgramEntry::dataFilePath(QStringLiteral("vemo_resource.db")));
        return tool.run(arguments, in, out, err);
    }
    if (command == ProgramEntry::ProgramCommand::CopyStorage) {
        QCoreApplication app(argc, argv);
        QTextStream out(stdout);
        QTextStream err(stderr);
#ifdef VEMO_HAVE_POSTGRESQL
        const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                                 QLatin1String(ServiceSettings::Organization),
                                 QLatin1String(ServiceSettings::Application));
        StorageCopy copy(ProgramEntry::dataFilePath(QStringLiteral("params_upd.db")),
                         ProgramEntry::dataFilePath(QStringLiteral("vemo_resource.db")),
                         settings.value(QLatin1String(ServiceSettings::StorageConnectionKey))
                             .toString());
        return copy.run(out, err);
#else
        err << StorageCopy::Option << ": this program is built without PostgreSQL (libpq)\n";
        return 1;
#endif
    }
    // Every workstation connection holds a descriptor: take all the system allows.
    DescriptorLimit::raiseToHard();

    ReceiverService service(argc, argv);
    const bool console = ProgramEntry::isConsoleRun(argc, argv);
    ConsoleSignalWatcher::setConsoleRun(console);
    // A console run, and the command-line tool, show their diagnostics too.
    LogHandler::setEchoToStderr(console || ProgramEntry::isCommandLineAction(argc, argv));
    LogHandler::install();
    LogHandler::startWriter();
    const int code = service.exec();
    // The writer uses the service object: done before it goes.
    LogHandler::finishWriter();
    return code;
}
