// Drives paramconfig's dialog in a Windows build: fills in the two ports given
// on the command line, presses the save button and answers every message box
// with OK. Prints the fields as first shown, the status line and each message
// box's text on standard output (UTF-8), each line as soon as it is known:
//   dialogdriver PARAMS_PORT RPC_PORT
//
// It runs on Qt's Windows platform plugin, as paramconfig does (under Wine with
// its null display driver the windows exist but are shown nowhere). Not on the
// "minimal" plugin: that one has no native interface, and QMessageBox's show
// event on Windows asks the native interface for the window handle to grey out
// the system menu's close item, so every message box would crash there.
#include "paramdialog.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3)
        return 2;
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered))
        return 2;
    // Flushed line by line: the C runtime buffers a redirected stdout fully, and
    // what was printed before a hang or a crash is what tells where it stopped.
    auto print = [&out](const QString& text) {
        out.write((text + QLatin1Char('\n')).toUtf8());
        out.flush();
    };

    ParamDialog dialog;
    auto* params = dialog.findChild<QLineEdit*>(QStringLiteral("paramPortEdit"));
    auto* rpc = dialog.findChild<QLineEdit*>(QStringLiteral("admPortEdit"));
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("copyrightLabel"));
    auto* save = dialog.findChild<QPushButton*>(QStringLiteral("pushButton"));
    if (!params || !rpc || !status || !save)
        return 3;
    print(QStringLiteral("paramPortEdit=") + params->text());
    print(QStringLiteral("admPortEdit=") + rpc->text());
    print(QStringLiteral("status=") + status->text());
    dialog.show();

    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&print] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            print(QStringLiteral("box=") + box->text());
            box->done(QMessageBox::Ok);
        }
    });
    answer.start(50);
    QTimer::singleShot(0, [&] {
        params->setText(args[1]);
        rpc->setText(args[2]);
        save->click();
        app.quit();
    });
    return app.exec();
}
