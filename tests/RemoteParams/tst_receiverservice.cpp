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

enum class Ending { Restart, Exit, RuntimeError, Quit };

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
            QCOMPARE(service.program, QString::fromLocal8Bit(program));
        }
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
