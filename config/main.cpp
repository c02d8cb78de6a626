#include "paramdialog.h"

#include <QApplication>
#include <QTranslator>

#include <cstdio>
#include <cstring>

namespace {

const char HelpText[] =
    "Usage: paramconfig [-h|--help]\n"
    "\n"
    "Settings dialog of the VEMO parameter server: shows and edits the UDP port of the\n"
    "parameter protocol and the TCP port of the RPC administration server in the\n"
    "system-wide settings store, and restarts the service so that it takes them.\n"
    "It opens one window; changing the system-wide settings and restarting the\n"
    "service need administrator rights.\n"
    "\n"
    "Options:\n"
    "  -h, --help   this text\n";

} // namespace

int main(int argc, char* argv[])
{
    // Answered before the application object exists: no display is needed.
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(HelpText, stdout);
        return 0;
    }

    QApplication app(argc, argv);

    // Qt's own Russian texts (standard buttons) if a build bundles them.
    QTranslator translator;
    if (translator.load(QStringLiteral("qt_ru"), QStringLiteral(":/tr/translations")))
        app.installTranslator(&translator);

    ParamDialog dialog;
    dialog.show();
    return app.exec();
}
