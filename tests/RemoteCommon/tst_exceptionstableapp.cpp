#include "exceptionstableapp.h"
#include "logcapture.h"

#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <new>

namespace {

enum class Throw { Nothing, Restart, Exit, BadAlloc, Runtime };

// Runs one event loop in which a timer handler throws; returns the loop's result.
int runLoopThrowing(ExceptionStableApp& app, Throw what)
{
    QTimer::singleShot(0, &app, [what] {
        switch (what) {
        case Throw::Nothing:
            QCoreApplication::exit(7);
            return;
        case Throw::Restart:
            throw ForceRestartException("database locked");
        case Throw::Exit:
            throw ImmediateExitApplication("operator asked");
        case Throw::BadAlloc:
            throw std::bad_alloc();
        case Throw::Runtime:
            throw std::runtime_error("boom");
        }
    });
    return app.exec();
}

} // namespace

class TestExceptionStableApp : public QObject
{
    Q_OBJECT
public:
    explicit TestExceptionStableApp(ExceptionStableApp& app) : app(app) {}

private slots:
    void exceptionBecomesExitCode_data()
    {
        QTest::addColumn<int>("what");
        QTest::addColumn<int>("expectedCode");
        QTest::addColumn<int>("expectedType");
        QTest::addColumn<QString>("expectedMessage");

        QTest::newRow("restart") << int(Throw::Restart) << -1 << int(QtWarningMsg)
                                 << "Запрошен рестарт приложения. Причина: database locked";
        QTest::newRow("exit") << int(Throw::Exit) << 0 << int(QtWarningMsg)
                              << "Управление приложением: operator asked";
        QTest::newRow("bad_alloc") << int(Throw::BadAlloc) << -10 << int(QtCriticalMsg)
                                   << QString("ERROR: Обнаружено исключение времени выполнения: ") +
                                          std::bad_alloc().what() + ". Попытка перезапуска...";
        QTest::newRow("runtime_error")
            << int(Throw::Runtime) << -10 << int(QtCriticalMsg)
            << "ERROR: Обнаружено исключение времени выполнения: boom. Попытка перезапуска...";
    }

    void exceptionBecomesExitCode()
    {
        QFETCH(int, what);
        QFETCH(int, expectedCode);
        QFETCH(int, expectedType);
        QFETCH(QString, expectedMessage);

        LogCapture log;
        const int code = runLoopThrowing(app, static_cast<Throw>(what));
        const QList<LogCapture::Entry> captured = log.entries();

        QCOMPARE(code, expectedCode);
        QCOMPARE(captured.size(), 1);
        QCOMPARE(captured.first().text, expectedMessage);
        QCOMPARE(int(captured.first().type), expectedType);
    }

    void eventsWithoutExceptionPassThrough()
    {
        LogCapture log;
        const int code = runLoopThrowing(app, Throw::Nothing);
        QCOMPARE(code, 7);
        QVERIFY(log.entries().isEmpty());
    }

    void loopKeepsDispatchingAfterAnException()
    {
        // The loop asked to end still finishes the current event; a later
        // loop runs normally again.
        QCOMPARE(runLoopThrowing(app, Throw::Runtime), -10);
        QCOMPARE(runLoopThrowing(app, Throw::Nothing), 7);
    }

    void unknownExceptionEndsTheProcess()
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--throw-int")});
        QVERIFY(child.waitForFinished(60000));
        QVERIFY(child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0);
        QVERIFY(child.readAllStandardError().contains("UNKNOWN EXCEPTION OCCURED"));
    }

private:
    ExceptionStableApp& app;
};

int main(int argc, char** argv)
{
    ExceptionStableApp app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--throw-int") {
        QTimer::singleShot(0, &app, [] { throw 42; });
        return app.exec();
    }
    TestExceptionStableApp test(app);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_exceptionstableapp.moc"
