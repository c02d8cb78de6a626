#include "consolesignalwatcher.h"
#include "descriptorlimit.h"
#include "loghandler.h"
#include "programentry.h"
#include "receiverservice.h"

int main(int argc, char** argv)
{
    ProgramEntry::waitForPendingRestart(argc, argv);
    ProgramEntry::enterDataDirectory(argc, argv);
    ProgramEntry::pinLocalTimeZone();
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
