#include "paramdialog.h"

#include <QApplication>
#include <QPixmap>
#include <QTextStream>
#include <QTimer>
#include <QTranslator>

// Usage: paramconfig_screenshot <file.png>
// Starts the dialog exactly as paramconfig does, then saves what is on screen.
int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: paramconfig_screenshot <file.png>\n";
        return 2;
    }

    QTranslator translator;
    if (translator.load(QStringLiteral("qt_ru"), QStringLiteral(":/tr/translations")))
        app.installTranslator(&translator);

    ParamDialog dialog;
    dialog.show();

    int result = 0;
    QTimer::singleShot(500, &dialog, [&]() {
        if (!dialog.grab().save(args.at(1))) {
            QTextStream(stderr) << "cannot write " << args.at(1) << "\n";
            result = 1;
        }
        dialog.close();
    });
    app.exec();
    return result;
}
