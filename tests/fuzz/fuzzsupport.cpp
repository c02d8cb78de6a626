#include "fuzzsupport.h"

namespace fuzz {

namespace {

void silent(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtFatalMsg) {
        fprintf(stderr, "%s\n", qPrintable(text));
        std::abort();
    }
}

} // namespace

void initialize(int* argc, char*** argv)
{
    qInstallMessageHandler(silent);
    static QCoreApplication* app = new QCoreApplication(*argc, *argv);
    Q_UNUSED(app)
}

} // namespace fuzz
