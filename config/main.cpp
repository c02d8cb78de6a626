#include "paramdialog.h"

#include <QApplication>
#include <QTranslator>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);

    // Qt's own Russian texts (standard buttons) if a build bundles them.
    QTranslator translator;
    if (translator.load(QStringLiteral("qt_ru"), QStringLiteral(":/tr/translations")))
        app.installTranslator(&translator);

    ParamDialog dialog;
    dialog.show();
    return app.exec();
}
