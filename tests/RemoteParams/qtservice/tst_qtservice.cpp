// The service framework over the in-process fake service manager: command-line
// options, controller results, the start handshake and the status sequence of
// a service run.

#include "fakeserviceplatform.h"
#include "outputcapture.h"
#include "qtservice.h"
#include "qtserviceplatform.h"
#include "unavailableserviceplatform.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const QString ServiceName = QStringLiteral("Test Service");

// argc/argv for the service constructor, kept alive by the object.
class Arguments
{
public:
    explicit Arguments(const QStringList& list)
    {
        for (const QString& s : list) {
            data << s.toLocal8Bit();
        }
        for (QByteArray& d : data) {
            pointers << d.data();
        }
        pointers << nullptr;
    }
    int argc() const { return data.size(); }
    char** argv() { return pointers.data(); }

private:
    QList<QByteArray> data;
    QVector<char*> pointers;
};

class TestService : public QtService<QCoreApplication>
{
public:
    TestService(Arguments& args, const QString& name = ServiceName)
        : QtService<QCoreApplication>(args.argc(), args.argv(), name)
    {
    }

    QStringList log;
    QStringList applicationArguments;
    int exitOnStart = -1000;                  // exit code the loop ends with on start()
    bool createApp = true;                    // createApplication creates the application
    QtServiceBase::ServiceFlags flagsOnStart; // set by start() when not 0
    bool applicationGoneAfterRun = false;

    QCoreApplication* app() const { return application(); }

protected:
    void start() override
    {
        log << QStringLiteral("start");
        applicationArguments = QCoreApplication::arguments();
        if (flagsOnStart) {
            setServiceFlags(flagsOnStart);
        }
        if (exitOnStart != -1000) {
            const int code = exitOnStart;
            QTimer::singleShot(0, [code] { QCoreApplication::exit(code); });
        }
    }
    void stop() override { log << QStringLiteral("stop"); }
    void pause() override { log << QStringLiteral("pause"); }
    void resume() override { log << QStringLiteral("resume"); }
    void processCommand(int code) override { log << QStringLiteral("command %1").arg(code); }

    void createApplication(int& argc, char** argv) override
    {
        if (createApp) {
            QtService<QCoreApplication>::createApplication(argc, argv);
        }
    }
};

QList<quint32> withoutRepeats(const QList<quint32>& states)
{
    QList<quint32> result;
    for (quint32 s : states) {
        if (result.isEmpty() || result.last() != s) {
            result << s;
        }
    }
    return result;
}

} // namespace

Q_DECLARE_METATYPE(FakeServicePlatform::DispatchMode)

class TestQtService : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        fake.reset(new FakeServicePlatform);
        QtServicePlatform::setCurrent(fake.get());
    }
    void cleanup() { QtServicePlatform::setCurrent(nullptr); }

    void nameChecks_data();
    void nameChecks();
    void execOptions_data();
    void execOptions();
    void failedControls_data();
    void failedControls();
    void helpText();
    void versionText();
    void installPassesIdentity();
    void installedUnderAccount_data();
    void installedUnderAccount();
    void consoleRun();
    void consoleRunWithoutApplication();
    void stopPolling_data();
    void stopPolling();
    void sendCommandRange_data();
    void sendCommandRange();
    void unavailablePlatform();
    void logMessageReachesEventLog();
    void serviceRunSequence_data();
    void serviceRunSequence();
    void serviceRunExitCode();
    void serviceRunExitStatus_data();
    void serviceRunExitStatus();
    void serviceRunWithoutApplication();
    void flagsChangeWhileRunning();
    void controlsAfterStopDoNotHang();
    void controlsAccepted_data();
    void controlsAccepted();
    void dispatcherFailureIsLogged();

private:
    std::unique_ptr<FakeServicePlatform> fake;
};

void TestQtService::nameChecks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("tooLong");
    QTest::addColumn<bool>("backslash");

    const QString longName = QString(300, QLatin1Char('n'));
    QString withZero = QStringLiteral("a\\b");
    withZero[1] = QChar(0);
    QString longWithSlash = QString(254, QLatin1Char('x')) + QStringLiteral("\\\\");
    QString cutWithZero = QString(254, QLatin1Char('x'));
    cutWithZero += QChar(0);

    QTest::newRow("plain") << ServiceName << ServiceName << false << false;
    QTest::newRow("255 characters")
        << QString(255, QLatin1Char('n')) << QString(255, QLatin1Char('n')) << false << false;
    QTest::newRow("300 characters") << longName << longName.left(255) << true << false;
    QTest::newRow("backslash") << QStringLiteral("a\\b") << withZero << false << true;
    // The cut comes first: only the backslash that survives it is replaced.
    QTest::newRow("both") << longWithSlash << cutWithZero << true << true;
}

void TestQtService::nameChecks()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);
    QFETCH(bool, tooLong);
    QFETCH(bool, backslash);

    if (tooLong) {
        QTest::ignoreMessage(QtWarningMsg, "QtService: 'name' is longer than 255 characters.");
    }
    if (backslash) {
        QTest::ignoreMessage(QtWarningMsg, "QtService: 'name' contains backslashes '\\'.");
    }
    Arguments args({QStringLiteral("/bin/svc")});
    TestService service(args, name);
    QCOMPARE(service.serviceName(), stored);
    QCOMPARE(QtServiceBase::instance(), &service);
}

void TestQtService::execOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("operationOk");
    QTest::addColumn<FakeServicePlatform::DispatchMode>("dispatch");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QStringList>("expectedCalls"); // platform calls that change something

    using DM = FakeServicePlatform::DispatchMode;
    const QByteArray none;
    const QString n = ServiceName;

    QTest::newRow("-i") << QStringList{"-i"} << false << false << true << DM::Run << 0
                        << QByteArray("The service Test Service has been installed under: "
                                      "/opt/test/service\n")
                        << none << QStringList{"install " + n};
    QTest::newRow("-install already installed")
        << QStringList{"-install"} << true << false << true << DM::Run << 0 << none
        << QByteArray("The service Test Service is already installed\n") << QStringList{};
    QTest::newRow("-i fails") << QStringList{"-i"} << false << false << false << DM::Run << -1
                              << none
                              << QByteArray("The service Test Service could not be installed\n"
                                            "Reason: install refused\n")
                              << QStringList{"install " + n};
    QTest::newRow("-u") << QStringList{"-u"} << true << false << true << DM::Run << 0
                        << QByteArray("The service Test Service has been uninstalled.\n") << none
                        << QStringList{"uninstall " + n};
    QTest::newRow("-uninstall fails")
        << QStringList{"-uninstall"} << true << false << false << DM::Run << -1 << none
        << QByteArray("The service Test Service could not be uninstalled\n")
        << QStringList{"uninstall " + n};
    QTest::newRow("-u not installed")
        << QStringList{"-u"} << false << false << true << DM::Run << 0 << none
        << QByteArray("The service Test Service is not installed\n") << QStringList{};
    QTest::newRow("-t") << QStringList{"-t"} << true << true << true << DM::Run << 0 << none << none
                        << QStringList{"stop " + n};
    QTest::newRow("-terminate") << QStringList{"-terminate"} << true << true << true << DM::Run << 0
                                << none << none << QStringList{"stop " + n};
    QTest::newRow("-p") << QStringList{"-p"} << true << true << false << DM::Run << 0 << none
                        << none << QStringList{"pause " + n};
    QTest::newRow("-pause") << QStringList{"-pause"} << true << true << true << DM::Run << 0 << none
                            << none << QStringList{"pause " + n};
    QTest::newRow("-r") << QStringList{"-r"} << true << true << false << DM::Run << 0 << none
                        << none << QStringList{"resume " + n};
    QTest::newRow("-resume") << QStringList{"-resume"} << true << true << true << DM::Run << 0
                             << none << none << QStringList{"resume " + n};
    QTest::newRow("-c 5") << QStringList{"-c", "5"} << true << true << true << DM::Run << 0 << none
                          << none << QStringList{"sendCommand " + n + " 5"};
    QTest::newRow("-command without number")
        << QStringList{"-command"} << true << true << true << DM::Run << 0 << none << none
        << QStringList{"sendCommand " + n + " 0"};
    QTest::newRow("-c not a number") << QStringList{"-c", "x7"} << true << true << true << DM::Run
                                     << 0 << none << none << QStringList{"sendCommand " + n + " 0"};
    // Started by hand: the manager is asked to start the installed service
    // with the arguments from index 1 on.
    QTest::newRow("no option, started by hand")
        << QStringList{} << true << false << true << DM::NotStartedByManager << 0 << none << none
        << QStringList{"runDispatcher " + n, "start " + n + " []"};
    QTest::newRow("unknown option behaves as none")
        << QStringList{"-x", "y"} << true << false << true << DM::NotStartedByManager << 0 << none
        << none << QStringList{"runDispatcher " + n, "start " + n + " [-x,y]"};
    QTest::newRow("options are case-sensitive")
        << QStringList{"-I"} << true << false << true << DM::NotStartedByManager << 0 << none
        << none << QStringList{"runDispatcher " + n, "start " + n + " [-I]"};
    QTest::newRow("restart copy, not installed")
        << QStringList{"--restart", "10"} << false << false << true << DM::NotStartedByManager << -4
        << none << QByteArray("The service Test Service could not start\n")
        << QStringList{"runDispatcher " + n, "start " + n + " [--restart,10]"};
    QTest::newRow("dispatcher fails")
        << QStringList{} << true << false << true << DM::Fail << -4 << none
        << QByteArray("The service Test Service could not start\n")
        << QStringList{"runDispatcher " + n};
}

void TestQtService::execOptions()
{
    QFETCH(QStringList, args);
    QFETCH(bool, installed);
    QFETCH(bool, running);
    QFETCH(bool, operationOk);
    QFETCH(FakeServicePlatform::DispatchMode, dispatch);
    QFETCH(int, result);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QStringList, expectedCalls);

    fake->setInstalled(installed);
    fake->setRunning(running);
    fake->setInstallResult(operationOk);
    fake->setUninstallResult(operationOk);
    fake->setControlResult(operationOk);
    fake->setDispatchMode(dispatch, QStringLiteral("boom"));

    Arguments argv(QStringList{QStringLiteral("/opt/test/service")} + args);
    TestService service(argv);
    OutputCapture capture;
    const int actual = service.exec();
    QCOMPARE(capture.out(), out);
    QCOMPARE(capture.err(), err);
    QCOMPARE(actual, result);

    // Only the calls that act on the service; queries are free.
    QStringList acting;
    const QStringList calls = fake->calls();
    for (const QString& call : calls) {
        if (!call.startsWith(QLatin1String("is")) &&
            !call.startsWith(QLatin1String("serviceDescription"))) {
            acting << call;
        }
    }
    QCOMPARE(acting, expectedCalls);
    QVERIFY(service.log.isEmpty()); // none of these runs the service
}

void TestQtService::failedControls_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("stopPolls");
    QTest::addColumn<bool>("operationOk");
    QTest::addColumn<QString>("warning");

    QTest::newRow("-c 200 refused") << QStringList{"-c", "200"} << true << 0 << true
                                    << "The command 200 could not be sent to the service. "
                                       "(command codes are 0..127)";
    QTest::newRow("-c failing") << QStringList{"-c", "3"} << true << 0 << false
                                << "The command 3 could not be sent to the service.";
    QTest::newRow("-c service not running")
        << QStringList{"-c", "3"} << false << 0 << true
        << "The command 3 could not be sent to the service. (the service is not running)";
    QTest::newRow("-t refused") << QStringList{"-t"} << true << -1 << true
                                << "The service could not be stopped. (stop refused)";
    QTest::newRow("-terminate takes too long")
        << QStringList{"-terminate"} << true << 15 << true << "The service could not be stopped.";
}

void TestQtService::failedControls()
{
    // A control that fails says so and ends with a failure status, so that an
    // administrator and a script see it.
    QFETCH(QStringList, args);
    QFETCH(bool, running);
    QFETCH(int, stopPolls);
    QFETCH(bool, operationOk);
    QFETCH(QString, warning);

    fake->setInstalled(true);
    fake->setRunning(running);
    fake->setStopPolls(stopPolls);
    fake->setControlResult(operationOk);
    if (stopPolls < 0) {
        QTest::ignoreMessage(QtWarningMsg, "stopping (stop refused)");
    }
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    Arguments argv(QStringList{QStringLiteral("/opt/test/service")} + args);
    TestService service(argv);
    QCOMPARE(service.exec(), -1);
    QVERIFY(service.log.isEmpty());
}

void TestQtService::helpText()
{
    Arguments argv({QStringLiteral("./paramserver"), QStringLiteral("-help")});
    TestService service(argv);
    OutputCapture capture;
    QCOMPARE(service.exec(), 0);
    QCOMPARE(capture.out(),
             QByteArray("\n./paramserver -[i|u|e|s|v|h]\n"
                        "\t-i(nstall) [account] [password]\t: Install the service, optionally "
                        "using given account and password\n"
                        "\t-u(ninstall)\t: Uninstall the service.\n"
                        "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
                        "\t-t(erminate)\t: Stop the service.\n"
                        "\t-c(ommand) num\t: Send command code num to the service.\n"
                        "\t-v(ersion)\t: Print version and status information.\n"
                        "\t-h(elp)   \t: Show this help\n"
                        "\tNo arguments\t: Start the service.\n"));
    QCOMPARE(capture.err(), QByteArray());
}

void TestQtService::versionText()
{
    Arguments argv({QStringLiteral("/x/svc"), QStringLiteral("-v")});
    TestService service(argv);
    {
        OutputCapture capture;
        QCOMPARE(service.exec(), 0);
        QCOMPARE(capture.out(), QByteArray("The service\n\tTest Service\n\t/x/svc\n\n"
                                           "is not installed and not running\n\n"));
    }
    fake->setInstalled(true);
    fake->setRunning(true);
    OutputCapture capture;
    QCOMPARE(service.exec(), 0);
    QCOMPARE(capture.out(), QByteArray("The service\n\tTest Service\n\t/x/svc\n\n"
                                       "is installed and running\n\n"));
}

void TestQtService::installPassesIdentity()
{
    Arguments argv({QStringLiteral("/opt/test/service"), QStringLiteral("-i"),
                    QStringLiteral("operator"), QStringLiteral("secret")});
    TestService service(argv);
    service.setServiceDescription(QStringLiteral("Служба"));
    service.setStartupType(QtServiceController::AutoStartup);
    OutputCapture capture;
    QCOMPARE(service.exec(), 0);
    capture.finish();
    const QList<QtServiceInstallRequest> requests = fake->installRequests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].name, ServiceName);
    QCOMPARE(requests[0].description, QStringLiteral("Служба"));
    QCOMPARE(requests[0].startupType, QtServiceController::AutoStartup);
    QCOMPARE(requests[0].account, QStringLiteral("operator"));
    QCOMPARE(requests[0].password, QStringLiteral("secret"));
    QCOMPARE(requests[0].executablePath, QStringLiteral("/opt/test/service"));
    QtServiceController controller(ServiceName);
    QCOMPARE(controller.serviceDescription(), QStringLiteral("Служба"));
}

void TestQtService::installedUnderAccount_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("localSystem");
    QTest::addColumn<QString>("passedAccount");
    QTest::addColumn<QString>("passedPassword");
    QTest::addColumn<uint>("type");

    QTest::newRow("empty") << ""
                           << "pw" << true << ""
                           << "" << 0x110u;
    QTest::newRow("local user") << "operator"
                                << "pw" << false << ".\\operator"
                                << "pw" << 0x10u;
    QTest::newRow("domain user") << "CORP\\op"
                                 << "pw" << false << "CORP\\op"
                                 << "pw" << 0x10u;
    QTest::newRow("no password") << "operator"
                                 << "" << false << ".\\operator"
                                 << "" << 0x10u;
    QTest::newRow("LocalSystem") << "LocalSystem"
                                 << "pw" << true << ""
                                 << "" << 0x110u;
    QTest::newRow("domain LocalSystem") << "NT AUTHORITY\\LocalSystem"
                                        << "pw" << true << ""
                                        << "" << 0x110u;
    QTest::newRow("similar name") << "LocalSystems"
                                  << "" << false << ".\\LocalSystems"
                                  << "" << 0x10u;
}

void TestQtService::installedUnderAccount()
{
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(bool, localSystem);
    QFETCH(QString, passedAccount);
    QFETCH(QString, passedPassword);
    QFETCH(uint, type);

    const QtServiceAccount resolved = QtServiceAccount::resolve(account, password);
    QCOMPARE(resolved.localSystem, localSystem);
    QCOMPARE(resolved.account, passedAccount);
    QCOMPARE(resolved.password, passedPassword);
    QCOMPARE(resolved.serviceType, quint32(type));
}

void TestQtService::consoleRun()
{
    Arguments argv(
        {QStringLiteral("/opt/test/service"), QStringLiteral("-e"), QStringLiteral("127.0.0.1")});
    TestService service(argv);
    service.exitOnStart = 7;
    QCOMPARE(service.exec(), 7);
    QCOMPARE(service.log, QStringList{"start"});
    QCOMPARE(service.applicationArguments, (QStringList{"/opt/test/service", "127.0.0.1"}));
    QVERIFY(!QCoreApplication::instance());
    QVERIFY(!service.app());
    QVERIFY(!fake->calls().contains("runDispatcher " + ServiceName));
    QVERIFY(fake->statuses().isEmpty());
}

void TestQtService::consoleRunWithoutApplication()
{
    Arguments argv({QStringLiteral("/opt/test/service"), QStringLiteral("-exec")});
    TestService service(argv);
    service.createApp = false;
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^The service could not be executed\\..*"));
    QCOMPARE(service.exec(), -1);
    QVERIFY(service.log.isEmpty());
}

void TestQtService::stopPolling_data()
{
    QTest::addColumn<int>("stopPolls");
    QTest::addColumn<int>("failingPoll");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("polls");
    QTest::addColumn<bool>("warning");

    QTest::newRow("stops at once") << 0 << 0 << true << 0 << false;
    QTest::newRow("stops on poll 3") << 3 << 0 << true << 3 << false;
    QTest::newRow("stops on poll 10") << 10 << 0 << true << 10 << false;
    // A service that takes about 3 s (15 polls) to stop: given up after 10.
    QTest::newRow("takes 3 s") << 15 << 0 << false << 10 << false;
    QTest::newRow("query fails") << 5 << 2 << false << 2 << false;
    QTest::newRow("request fails") << -1 << 0 << false << 0 << true;
}

void TestQtService::stopPolling()
{
    QFETCH(int, stopPolls);
    QFETCH(int, failingPoll);
    QFETCH(bool, result);
    QFETCH(int, polls);
    QFETCH(bool, warning);

    fake->setInstalled(true);
    fake->setRunning(true);
    fake->setStopPolls(stopPolls);
    fake->setFailingPoll(failingPoll);
    if (warning) {
        QTest::ignoreMessage(QtWarningMsg, "stopping (stop refused)");
    }
    QtServiceController controller(ServiceName);
    QCOMPARE(controller.stop(), result);
    QCOMPARE(fake->pollCount(), polls);
    QCOMPARE(fake->sleepCount(), polls); // one 200 ms pause before every poll
}

void TestQtService::sendCommandRange_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("sent");

    QTest::newRow("-1") << -1 << true << false;
    QTest::newRow("0") << 0 << true << true;
    QTest::newRow("5") << 5 << true << true;
    QTest::newRow("127") << 127 << true << true;
    QTest::newRow("128") << 128 << true << false;
    QTest::newRow("200") << 200 << true << false;
    QTest::newRow("not running") << 5 << false << false;
}

void TestQtService::sendCommandRange()
{
    QFETCH(int, code);
    QFETCH(bool, running);
    QFETCH(bool, sent);

    fake->setInstalled(true);
    fake->setRunning(running);
    QtServiceController controller(ServiceName);
    QCOMPARE(controller.sendCommand(code), sent);
    bool anySent = false;
    const QStringList calls = fake->calls();
    for (const QString& call : calls) {
        anySent = anySent || call.startsWith(QLatin1String("sendCommand"));
    }
    QCOMPARE(anySent, sent);
}

void TestQtService::unavailablePlatform()
{
    // The system library cannot be loaded: nothing is installed, nothing runs,
    // nothing can be done, nothing is logged.
    fake->setInstalled(true);
    fake->setRunning(true);
    fake->setAvailable(false);
    QtServiceController controller(ServiceName);
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.isRunning());
    QVERIFY(controller.serviceDescription().isEmpty());
    QVERIFY(!controller.start());
    QVERIFY(!controller.stop());
    QVERIFY(!controller.pause());
    QVERIFY(!controller.resume());
    QVERIFY(!controller.sendCommand(1));
    QVERIFY(!controller.uninstall());
    QVERIFY(fake->calls().isEmpty());

    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.logMessage(QStringLiteral("lost"));
    QVERIFY(fake->events().isEmpty());
    {
        OutputCapture capture;
        QCOMPARE(service.exec(), -4);
        QCOMPARE(capture.err(), QByteArray("The service Test Service could not start\n"));
    }

    UnavailableServicePlatform unavailable;
    QtServicePlatform::setCurrent(&unavailable);
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.stop());
    Arguments install({QStringLiteral("/opt/test/service"), QStringLiteral("-i")});
    TestService installer(install);
    OutputCapture capture;
    QCOMPARE(installer.exec(), -1);
    QCOMPARE(capture.err(), QByteArray("The service Test Service could not be installed\n"));
}

void TestQtService::logMessageReachesEventLog()
{
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.logMessage(QStringLiteral("one"));
    service.logMessage(QStringLiteral("two"), QtServiceBase::Warning, 258, 7,
                       QByteArray("\x01\x02"));
    const QList<FakeServicePlatform::Event> events = fake->events();
    QCOMPARE(events.size(), 2);
    QCOMPARE(events[0].name, ServiceName);
    QCOMPARE(events[0].message, QStringLiteral("one"));
    QCOMPARE(events[0].type, QtServiceBase::Success);
    QCOMPARE(events[0].id, 0);
    QCOMPARE(events[0].category, 0u);
    QVERIFY(events[0].data.isEmpty());
    QCOMPARE(events[1].type, QtServiceBase::Warning);
    QCOMPARE(events[1].id, 258);
    QCOMPARE(events[1].category, 7u);
    QCOMPARE(events[1].data, QByteArray("\x01\x02"));
}

void TestQtService::serviceRunSequence_data()
{
    QTest::addColumn<QList<int>>("controls");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QList<quint32>>("states");

    using S = QList<quint32>;
    QTest::newRow("start, stop") << QList<int>{1} << QStringList{"start", "stop"} << S{2, 4, 3, 1};
    QTest::newRow("shutdown: no pending report")
        << QList<int>{5} << QStringList{"start", "stop"} << S{2, 4, 1};
    QTest::newRow("pause and continue")
        << QList<int>{2, 3, 1} << QStringList{"start", "pause", "resume", "stop"}
        << S{2, 4, 6, 7, 5, 4, 3, 1};
    QTest::newRow("user command 5 is control 133")
        << QList<int>{133, 1} << QStringList{"start", "command 5", "stop"} << S{2, 4, 3, 1};
    QTest::newRow("user commands 0 and 127")
        << QList<int>{128, 255, 1} << QStringList{"start", "command 0", "command 127", "stop"}
        << S{2, 4, 3, 1};
    QTest::newRow("interrogate and unknown codes change nothing")
        << QList<int>{4, 6, 127, 256 + 1, 1} << QStringList{"start", "stop"} << S{2, 4, 3, 1};
}

void TestQtService::serviceRunSequence()
{
    QFETCH(QList<int>, controls);
    QFETCH(QStringList, log);
    QFETCH(QList<quint32>, states);

    fake->setServiceArguments({QStringLiteral("Test Service"), QStringLiteral("--verbose")});
    for (int code : controls) {
        fake->queueControl(code);
    }
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.setServiceFlags(QtServiceBase::CanBeSuspended | QtServiceBase::NeedsStopOnShutdown);
    QCOMPARE(service.exec(), 0);

    QCOMPARE(service.log, log);
    // The application got the arguments the manager delivered.
    QCOMPARE(service.applicationArguments, (QStringList{"Test Service", "--verbose"}));
    QCOMPARE(withoutRepeats(fake->reportedStates()), states);
    const QList<QtServiceStatus> statuses = fake->statuses();
    for (const QtServiceStatus& status : statuses) {
        QCOMPARE(status.serviceType, 0x110u);
        QCOMPARE(status.controlsAccepted, 7u);
    }
    QCOMPARE(statuses.last().currentState, quint32(QtServiceState::Stopped));
    QCOMPARE(statuses.last().exitCode, 0u);
    // Nothing is reported after the stopped state.
    QCOMPARE(fake->reportedStates().count(QtServiceState::Stopped), 1);
    QVERIFY(!QCoreApplication::instance());
    QVERIFY(!service.app());
    QVERIFY(fake->calls().contains("registerControlHandler " + ServiceName));
}

void TestQtService::serviceRunExitCode()
{
    // The loop ends by itself (a restart request): the exit code goes to the
    // status, exec() still reports a run that started.
    fake->setServiceArguments({QStringLiteral("Test Service")});
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.exitOnStart = -10;
    QCOMPARE(service.exec(), 0);
    QCOMPARE(service.log, QStringList{"start"});
    // The dispatcher may still be reporting the start when the loop ends; it
    // never reports the service running after it stopped.
    const QList<quint32> states = withoutRepeats(fake->reportedStates());
    QVERIFY2(states == (QList<quint32>{2, 4, 1}) || states == (QList<quint32>{2, 1}),
             qPrintable(QString::number(states.size())));
    QCOMPARE(fake->statuses().last().exitCode, quint32(-10));
}

void TestQtService::serviceRunExitStatus_data()
{
    QTest::addColumn<bool>("managerRestarts");
    QTest::addColumn<int>("loopCode");
    QTest::addColumn<int>("status");

    QTest::newRow("restarted by itself: -10") << false << -10 << 0;
    QTest::newRow("restarted by itself: 7") << false << 7 << 0;
    QTest::newRow("manager: normal end") << true << 0 << 0;
    QTest::newRow("manager: restart after 1 s") << true << -1 << 101;
    QTest::newRow("manager: restart after 10 s") << true << -10 << 110;
    QTest::newRow("manager: restart after 30 s") << true << -30 << 130;
    QTest::newRow("manager: -31 asks for no restart") << true << -31 << 99;
    QTest::newRow("manager: +1 asks for no restart") << true << 1 << 99;
}

void TestQtService::serviceRunExitStatus()
{
    // Where the manager restarts a failed service, the loop's exit code
    // becomes the process exit status it decides by.
    QFETCH(bool, managerRestarts);
    QFETCH(int, loopCode);
    QFETCH(int, status);

    fake->setManagerRestarts(managerRestarts);
    fake->setServiceArguments({QStringLiteral("Test Service")});
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.exitOnStart = loopCode;
    QCOMPARE(service.exec(), status);
    QCOMPARE(fake->statuses().last().exitCode, quint32(loopCode));
    // Not a service that reports its readiness itself.
    QCOMPARE(fake->readinessNotes(), QStringList{"deferred no"});
}

void TestQtService::serviceRunWithoutApplication()
{
    fake->setServiceArguments({QStringLiteral("Test Service")});
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.createApp = false;
    OutputCapture capture;
    QCOMPARE(service.exec(), -4);
    QCOMPARE(capture.err(), QByteArray("The service Test Service could not start\n"));
    // The dispatcher side was released and never registered a handler.
    QVERIFY(!fake->calls().contains("registerControlHandler " + ServiceName));
    QVERIFY(service.log.isEmpty());
}

void TestQtService::flagsChangeWhileRunning()
{
    fake->setServiceArguments({QStringLiteral("Test Service")});
    fake->queueControl(1);
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.setServiceFlags(QtServiceBase::NeedsStopOnShutdown);
    service.flagsOnStart = QtServiceBase::CanBeSuspended;
    QCOMPARE(service.exec(), 0);

    const QList<QtServiceStatus> statuses = fake->statuses();
    QVERIFY(statuses.size() >= 3);
    QCOMPARE(statuses[0].controlsAccepted, 5u);
    QCOMPARE(statuses[0].currentState, quint32(QtServiceState::StartPending));
    // Reported at once from start(), while still start-pending.
    QCOMPARE(statuses[1].controlsAccepted, 3u);
    QCOMPARE(statuses[1].currentState, quint32(QtServiceState::StartPending));
    QCOMPARE(statuses.last().controlsAccepted, 3u);

    // The same value again reports nothing; outside a run nothing is reported.
    const int count = fake->statuses().size();
    service.setServiceFlags(QtServiceBase::CanBeSuspended);
    service.setServiceFlags(QtServiceBase::Default);
    QCOMPARE(fake->statuses().size(), count);
}

void TestQtService::controlsAfterStopDoNotHang()
{
    // Requests that come after the stop may find no event loop to handle
    // them: the run still ends, with the stopped state as the last report.
    fake->setServiceArguments({QStringLiteral("Test Service")});
    for (int code : {1, 2, 133, 1}) {
        fake->queueControl(code);
    }
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.setServiceFlags(QtServiceBase::CanBeSuspended);
    QCOMPARE(service.exec(), 0);
    QCOMPARE(service.log.mid(0, 2), (QStringList{"start", "stop"}));
    QCOMPARE(fake->reportedStates().last(), quint32(QtServiceState::Stopped));
    QCOMPARE(fake->reportedStates().count(QtServiceState::Stopped), 1);
}

void TestQtService::controlsAccepted_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<uint>("controls");

    QTest::newRow("default") << 0 << 1u;
    QTest::newRow("can be suspended") << int(QtServiceBase::CanBeSuspended) << 3u;
    QTest::newRow("cannot be stopped") << int(QtServiceBase::CannotBeStopped) << 0u;
    QTest::newRow("needs stop on shutdown") << int(QtServiceBase::NeedsStopOnShutdown) << 5u;
    QTest::newRow("all") << 7 << 6u;
}

void TestQtService::controlsAccepted()
{
    QFETCH(int, flags);
    QFETCH(uint, controls);

    fake->setServiceArguments({QStringLiteral("Test Service")});
    fake->queueControl(5);
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    service.setServiceFlags(QtServiceBase::ServiceFlags(flags));
    QCOMPARE(service.exec(), 0);
    QCOMPARE(fake->statuses().first().controlsAccepted, quint32(controls));
}

void TestQtService::dispatcherFailureIsLogged()
{
    fake->setDispatchMode(FakeServicePlatform::DispatchMode::Fail, QStringLiteral("Access denied"));
    Arguments argv({QStringLiteral("/opt/test/service")});
    TestService service(argv);
    OutputCapture capture;
    QCOMPARE(service.exec(), -4);
    capture.finish();
    const QList<FakeServicePlatform::Event> events = fake->events();
    QCOMPARE(events.size(), 1);
    QCOMPARE(events[0].message, QStringLiteral("The Service failed to start [Access denied]"));
    QCOMPARE(events[0].type, QtServiceBase::Error);
    QVERIFY(!fake->calls().contains("start " + ServiceName + " []"));
}

QTEST_APPLESS_MAIN(TestQtService)
#include "tst_qtservice.moc"
