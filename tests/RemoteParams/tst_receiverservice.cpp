#include "controller.h"
#include "fakeserviceplatform.h"
#include "receiverservice.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

QString runningExecutable()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

enum class Ending { Restart, Exit, RuntimeError, Quit, RestartCommand, OtherCommand };

// The real service object, with the detached start recorded instead of made and
// an event handler that ends the loop the way the test asks.
class RecordingService : public ReceiverService
{
public:
    RecordingService(int argc, char** argv, Ending ending)
        : ReceiverService(argc, argv), ending(ending)
    {
    }

    QString program;
    QStringList arguments;
    int launches = 0;
    bool controllerRanBeforeEnd = false;

protected:
    void start() override
    {
        ReceiverService::start();
        QTimer::singleShot(50, [this] {
            controllerRanBeforeEnd =
                currentServiceController() && currentServiceController()->isRunningState();
            switch (ending) {
            case Ending::Restart:
                throw ForceRestartException("test");
            case Ending::Exit:
                throw ImmediateExitApplication("test");
            case Ending::RuntimeError:
                throw std::runtime_error("test");
            case Ending::Quit:
                QCoreApplication::exit(0);
                return;
            case Ending::RestartCommand:
                processCommand(ReceiverService::RestartCommand);
                QCoreApplication::exit(0);
                return;
            case Ending::OtherCommand:
                processCommand(ReceiverService::RestartCommand + 1);
                QCoreApplication::exit(0);
                return;
            }
        });
    }

    void launchDetached(const QString& p, const QStringList& a) override
    {
        program = p;
        arguments = a;
        ++launches;
    }

private:
    Ending ending;
};

} // namespace

class TestReceiverService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QDir::setCurrent(dir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("user"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.filePath("sys"));
        QSettings s(QSettings::NativeFormat, QSettings::UserScope, "Kolvant", "VemoParamsServer");
        s.setValue("Network/RpcPort", 0);
        s.setValue("Network/ParamsPort", 0);
        QtServicePlatform::setCurrent(&platform);
    }
    void cleanupTestCase() { QtServicePlatform::setCurrent(nullptr); }

    void identity()
    {
        char name[] = "paramserver";
        char* argv[] = {name, nullptr};
        ReceiverService service(1, argv);
        QCOMPARE(service.serviceName(), QString("VEMO UOO_Params_Server service"));
        QCOMPARE(service.serviceDescription(), QString("Служба сервера параметров УОО VEMO"));
        QCOMPARE(int(service.serviceFlags()), int(QtServiceBase::NeedsStopOnShutdown));
        QCOMPARE(service.startupType(), QtServiceController::AutoStartup);
    }

    void loopEndings_data()
    {
        QTest::addColumn<int>("ending");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("restartArguments");
        QTest::newRow("restart requested")
            << int(Ending::Restart) << -1 << QStringList{"--restart", "1"};
        QTest::newRow("runtime error")
            << int(Ending::RuntimeError) << -10 << QStringList{"--restart", "10"};
        QTest::newRow("exit requested") << int(Ending::Exit) << 0 << QStringList{};
        QTest::newRow("quit") << int(Ending::Quit) << 0 << QStringList{};
        QTest::newRow("restart command")
            << int(Ending::RestartCommand) << -1 << QStringList{"--restart", "1"};
        QTest::newRow("other command") << int(Ending::OtherCommand) << 0 << QStringList{};
    }

    void loopEndings()
    {
        QFETCH(int, ending);
        QFETCH(int, result);
        QFETCH(QStringList, restartArguments);

        QFile::remove(dir.filePath("params_upd.db"));
        QByteArray program = QFile::encodeName(dir.filePath("paramserver"));
        char option[] = "-e";
        char* argv[] = {program.data(), option, nullptr};
        RecordingService service(2, argv, Ending(ending));
        QCOMPARE(service.exec(), result);
        QVERIFY(service.controllerRanBeforeEnd);

        // Whatever ended the loop, the controller went down in order.
        QVERIFY(service.currentServiceController() == nullptr);
        QVERIFY(currentController.loadAcquire() == nullptr);
        QVERIFY(QFile::exists(dir.filePath("params_upd.db")));

        QCOMPARE(service.launches, restartArguments.isEmpty() ? 0 : 1);
        QCOMPARE(service.arguments, restartArguments);
        if (!restartArguments.isEmpty()) {
            // The running executable, not what argument 0 says.
            QCOMPARE(service.program, runningExecutable());
        }
    }

    void serviceRunRestart_data()
    {
        QTest::addColumn<int>("ending");
        QTest::addColumn<int>("managerDelay"); // -1: the service re-launches itself
        QTest::addColumn<bool>("stopWhileWaiting");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("restartArguments");

        QTest::newRow("Windows: restart requested")
            << int(Ending::Restart) << -1 << false << 0 << QStringList{"--restart", "1"};
        QTest::newRow("Windows: runtime error")
            << int(Ending::RuntimeError) << -1 << false << 0 << QStringList{"--restart", "10"};
        QTest::newRow("Windows: exit requested")
            << int(Ending::Exit) << -1 << false << 0 << QStringList{};
        QTest::newRow("systemd: restart requested")
            << int(Ending::Restart) << 1 << false << 101 << QStringList{};
        QTest::newRow("systemd: runtime error")
            << int(Ending::RuntimeError) << 10 << false << 110 << QStringList{};
        QTest::newRow("systemd: stopped while waiting to restart")
            << int(Ending::RuntimeError) << 1 << true << 0 << QStringList{};
        QTest::newRow("systemd: exit requested")
            << int(Ending::Exit) << 1 << false << 0 << QStringList{};
    }

    void serviceRunRestart()
    {
        // Run as the Windows service manager runs it: argument 0 is the service
        // name. Where the manager restarts failed services (systemd), the
        // process only ends with the restart status.
        QFETCH(int, ending);
        QFETCH(int, managerDelay);
        QFETCH(bool, stopWhileWaiting);
        QFETCH(int, status);
        QFETCH(QStringList, restartArguments);

        FakeServicePlatform manager;
        manager.setManagerRestarts(managerDelay >= 0, managerDelay);
        manager.setStopOnStatusText(stopWhileWaiting);
        manager.setServiceArguments({QStringLiteral("VEMO UOO_Params_Server service")});
        QtServicePlatform::setCurrent(&manager);
        char name[] = "VEMO UOO_Params_Server service";
        char* argv[] = {name, nullptr};
        RecordingService service(1, argv, Ending(ending));
        const int result = service.exec();
        QtServicePlatform::setCurrent(&platform);

        QCOMPARE(result, status);
        QVERIFY(service.controllerRanBeforeEnd);
        QVERIFY(currentController.loadAcquire() == nullptr);
        QCOMPARE(service.arguments, restartArguments);
        QCOMPARE(service.launches, restartArguments.isEmpty() ? 0 : 1);
        if (!restartArguments.isEmpty()) {
            QCOMPARE(service.program, runningExecutable());
        }

        // Ready only once the controller's start-up has run, with both servers
        // listening.
        const QStringList notes = manager.readinessNotes();
        QVERIFY2(notes.size() >= 2, qPrintable(notes.join('|')));
        QCOMPARE(notes.at(0), QStringLiteral("deferred yes"));
        QVERIFY2(notes.at(1).startsWith("ready Running: RPC on TCP port "),
                 qPrintable(notes.at(1)));
        QVERIFY2(notes.at(1).contains(", parameters on UDP port "), qPrintable(notes.at(1)));
        const bool waited = managerDelay >= 0 && ending != int(Ending::Exit);
        QCOMPARE(notes.filter("status Restarting in ").size(), waited ? 1 : 0);
    }

private:
    QTemporaryDir dir;
    FakeServicePlatform platform;
};

int main(int argc, char** argv)
{
    // No application object here: each run creates and deletes its own.
    TestReceiverService test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_receiverservice.moc"
