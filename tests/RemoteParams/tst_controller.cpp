#include "controller.h"
#include "logcapture.h"
#include "metricsendpoint.h"
#include "metricssample.h"
#include "receiverservice.h"
#include "rpccontroller.h"
#include "rpctypes.h"
#include "servicesettings.h"
#include "vemoparamserver.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Runs each test in a directory of its own, with both settings scopes pointed
// at folders inside it.
class Sandbox
{
public:
    Sandbox()
    {
        QDir::setCurrent(dir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("user"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.filePath("system"));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.filePath("user"));
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.filePath("system"));
    }
    ~Sandbox() { QDir::setCurrent(QDir::tempPath()); }

    QSettings user() const
    {
        return {QSettings::NativeFormat, QSettings::UserScope, "Kolvant", "VemoParamsServer"};
    }
    QSettings system() const
    {
        return {QSettings::NativeFormat, QSettings::SystemScope, "Kolvant", "VemoParamsServer"};
    }
    // Ports 0: the servers take any free port, so tests run side by side.
    void useAnyPorts()
    {
        QSettings s(QSettings::NativeFormat, QSettings::UserScope, "Kolvant", "VemoParamsServer");
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Network/RpcPort", 0);
        s.setValue("Network/ParamsPort", 0);
    }

    QTemporaryDir dir;
};

struct UserRow
{
    QVariant login, pwd, fullname, permissions, writesleft, lastwrite;
};

QList<UserRow> readUsers()
{
    QList<UserRow> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
        db.setDatabaseName("./vemo_resource.db");
        if (db.open()) {
            QSqlQuery q(db);
            q.exec(
                "SELECT login, pwd, fullname, permissions, writesleft, lastwrite FROM rpc_users");
            while (q.next()) {
                rows.append(
                    {q.value(0), q.value(1), q.value(2), q.value(3), q.value(4), q.value(5)});
            }
        }
    }
    QSqlDatabase::removeDatabase("inspect");
    return rows;
}

} // namespace

class TestController : public QObject
{
    Q_OBJECT
private slots:
    void firstStartCreatesTheBuiltInAccount()
    {
        Sandbox box;
        box.useAnyPorts();
        LogCapture log;
        {
            Controller controller;
            QSignalSpy initialized(&controller, &Controller::initialized);
            QSignalSpy started(&controller, &Controller::started);
            controller.initialize();
            QCOMPARE(initialized.count(), 1);
            QCOMPARE(started.count(), 1);
            QVERIFY(controller.isInitializedState());
            QVERIFY(controller.isRunningState());
        }
        QVERIFY(log.texts().first().startsWith("====== Запуск программы Сервер параметров VEMO"));
        QCOMPARE(log.count("Создание таблицы объектов"), 1);
        QVERIFY(log.texts().filter("Создание таблицы объектов").first().contains("rpc_users"));

        const QList<UserRow> rows = readUsers();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].login.toString(), QString("adminvemo"));
        QCOMPARE(rows[0].pwd.toString(), QString("5f1d0c8e2a7b4963d0e18c2f7a9b3e64"));
        QCOMPARE(rows[0].permissions.toByteArray(), QByteArray(1, char(127)));
        QVERIFY(rows[0].fullname.isNull());
        QVERIFY(rows[0].writesleft.isNull());
        QVERIFY(rows[0].lastwrite.isNull());

        // A second start finds the table and adds nothing.
        log.clear();
        {
            Controller controller;
            controller.initialize();
            QVERIFY(controller.isRunningState());
        }
        QCOMPARE(log.count("Создание таблицы объектов"), 0);
        QCOMPARE(readUsers().size(), 1);
    }

    void accountOperations()
    {
        Sandbox box;
        box.useAnyPorts();
        Controller controller;
        controller.initialize();
        AccountStore& accounts = *controller.accountStore();

        QVERIFY(accounts.add("Op'erator", "ABCDEF0123", {3, 6}, "Иван Петров"));
        QVERIFY(accounts.exists("Op'erator"));
        QVERIFY(!accounts.exists("op'erator"));
        QList<UserRow> rows = readUsers();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1].login.toString(), QString("Op'erator"));
        QCOMPARE(rows[1].pwd.toString(), QString("abcdef0123"));
        QCOMPARE(rows[1].permissions.toByteArray(), QByteArray("\x03\x06", 2));
        QCOMPARE(rows[1].fullname.toString(), QString("Иван Петров"));

        QVERIFY(accounts.modify("Op'erator", {5}));
        QCOMPARE(readUsers()[1].permissions.toByteArray(), QByteArray("\x05", 1));
        QCOMPARE(readUsers()[1].fullname.toString(), QString("Иван Петров"));

        // No row matches: the statement still runs.
        QVERIFY(accounts.modify("nobody", {3}));
        QCOMPARE(readUsers().size(), 2);

        QVERIFY(accounts.add("empty", "x", {}, QString()));
        QCOMPARE(readUsers()[2].permissions.toByteArray(), QByteArray());

        QVERIFY(accounts.remove("Op'erator"));
        QVERIFY(!accounts.exists("Op'erator"));
        QVERIFY(accounts.remove("adminvemo"));
        QVERIFY(accounts.remove("empty"));
        QVERIFY(!accounts.exists("adminvemo"));
        QCOMPARE(readUsers().size(), 0);

        // An injection attempt is an ordinary, absent login.
        QVERIFY(!accounts.exists("x' OR '1'='1"));
    }

    void unopenableDatabaseLeavesTheControllerIdle()
    {
        Sandbox box;
        box.useAnyPorts();
        // A directory in place of the database file cannot be opened.
        QVERIFY(QDir(box.dir.path()).mkdir("vemo_resource.db"));
        LogCapture log;
        Controller controller;
        QSignalSpy notInitialized(&controller, &Controller::notInitialized);
        controller.initialize();
        QCOMPARE(notInitialized.count(), 1);
        QCOMPARE(log.count("ERROR: Ошибка открытия файла БД ресурсов"), 1);
        QVERIFY(!controller.isInitializedState());
        QVERIFY(!controller.isRunningState());
        QVERIFY(controller.rpcServer() == nullptr);
        QVERIFY(controller.parameterServer() == nullptr);
        checkPassThroughsAnswerNothing(controller);
    }

    void unknownStorageBackendNamedInTheStatus()
    {
        Sandbox box;
        box.useAnyPorts();
        box.user().setValue("Storage/Backend", "oracle");
        LogCapture log;
        Controller controller;
        controller.initialize();
        QVERIFY(!controller.isInitializedState());
        QCOMPARE(log.countStarting("ERROR: Storage/Backend: "), 1);
        QCOMPARE(
            ReceiverService::readinessText(&controller),
            QString("Not initialized: setting Storage/Backend cannot be used, see the journal"));
    }

    void corruptDatabaseFailsTheConsistencyCheck()
    {
        Sandbox box;
        box.useAnyPorts();
        QFile file("vemo_resource.db");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'z'));
        file.close();
        LogCapture log;
        Controller controller;
        QSignalSpy notInitialized(&controller, &Controller::notInitialized);
        controller.initialize();
        QCOMPARE(notInitialized.count(), 1);
        QCOMPARE(log.count("ERROR: Ошибка проверки целостности файлов БД. Требуется ручное "
                           "восстановление."),
                 1);
        QVERIFY(controller.rpcServer() == nullptr);
        QVERIFY(ReceiverService::readinessText(&controller)
                    .startsWith("Not initialized: the resource database"));
    }

    void passThroughsBeforeInitialize()
    {
        Sandbox box;
        Controller controller;
        checkPassThroughsAnswerNothing(controller);
        // Slots of the forwarding do nothing without components.
        controller.reportSysLogToAll("line");
        controller.processUooStateChange(17);
        controller.restart();
        QVERIFY(!controller.isRunningState());
    }

    void stateChanges()
    {
        Sandbox box;
        box.useAnyPorts();
        Controller controller;
        QSignalSpy stopped(&controller, &Controller::stopped);
        QSignalSpy started(&controller, &Controller::started);
        controller.restart(); // before initialize: nothing
        QCOMPARE(started.count(), 0);
        controller.initialize();
        QCOMPARE(started.count(), 1);

        controller.stop();
        controller.stop();
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!controller.isRunningState());

        controller.toggle();
        QCOMPARE(started.count(), 2);
        QVERIFY(controller.isRunningState());

        QList<QString> order;
        connect(&controller, &Controller::stopped, [&] { order << "stopped"; });
        connect(&controller, &Controller::started, [&] { order << "started"; });
        controller.restart();
        QCOMPARE(order, (QList<QString>{"stopped", "started"}));
        controller.toggle();
        QVERIFY(!controller.isRunningState());
    }

    void destructionStopsInOrder()
    {
        Sandbox box;
        box.useAnyPorts();
        LogCapture log;
        {
            Controller controller;
            controller.initialize();
            QVERIFY(currentController.loadAcquire() == &controller);
            log.clear();
        }
        QVERIFY(currentController.loadAcquire() == nullptr);
        const QStringList lines = log.texts();
        const int freeing = lines.indexOf("Освобождение ресурсов приложения...");
        const int stopping = lines.indexOf("Остановка приемника...");
        QVERIFY(freeing >= 0);
        QVERIFY(stopping > freeing);
        QVERIFY(QFile::exists("params_upd.db"));
    }

    void settingsMigration_data()
    {
        QTest::addColumn<QVariant>("userFlag");
        QTest::addColumn<QVariant>("systemFlag");
        QTest::addColumn<QVariant>("systemRpcPort");
        QTest::addColumn<QVariant>("userRpcPort");
        QTest::addColumn<int>("expectedRpcPort");
        QTest::addColumn<bool>("copied");

        QTest::newRow("empty stores")
            << QVariant() << QVariant() << QVariant() << QVariant() << 45432 << false;
        QTest::newRow("system saved, user empty: fallback, no copy")
            << QVariant() << QVariant(true) << QVariant(5000) << QVariant() << 5000 << false;
        QTest::newRow("user false, system true: copy")
            << QVariant(false) << QVariant(true) << QVariant(5001) << QVariant() << 5001 << true;
        QTest::newRow("user true: no copy, own port")
            << QVariant(true) << QVariant(true) << QVariant(5002) << QVariant(6000) << 6000
            << false;
        QTest::newRow("user false, system false: no copy")
            << QVariant(false) << QVariant(false) << QVariant(5003) << QVariant() << 5003 << false;
    }

    void settingsMigration()
    {
        QFETCH(QVariant, userFlag);
        QFETCH(QVariant, systemFlag);
        QFETCH(QVariant, systemRpcPort);
        QFETCH(QVariant, userRpcPort);
        QFETCH(int, expectedRpcPort);
        QFETCH(bool, copied);

        Sandbox box;
        {
            QSettings system = box.system();
            if (systemFlag.isValid())
                system.setValue("Common/SettingsSaved", systemFlag);
            if (systemRpcPort.isValid())
                system.setValue("Network/RpcPort", systemRpcPort);
            system.setValue("Network/ParamsPort", 0);
            QSettings user = box.user();
            if (userFlag.isValid())
                user.setValue("Common/SettingsSaved", userFlag);
            if (userRpcPort.isValid())
                user.setValue("Network/RpcPort", userRpcPort);
        }
        // A database that cannot open stops the start-up right after the ports
        // are read, so no port is bound.
        QVERIFY(QDir(box.dir.path()).mkdir("vemo_resource.db"));
        Controller controller;
        controller.initialize();
        QCOMPARE(int(controller.rpcPortValue()), expectedRpcPort);

        QSettings user = box.user();
        user.setFallbacksEnabled(false);
        QCOMPARE(user.contains("Network/ParamsPort"), copied);
        if (copied) {
            QCOMPARE(user.value("Common/SettingsSaved").toBool(), true);
            QCOMPARE(user.value("Network/RpcPort").toInt(), systemRpcPort.toInt());
        }
    }

    void portValuesKeepTheirLow16Bits_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("port");
        QTest::newRow("one above the range") << QVariant(65536) << 0;
        QTest::newRow("wraps") << QVariant(65537 + 25002) << 25003;
        QTest::newRow("letters") << QVariant("abc") << 0;
        QTest::newRow("ordinary") << QVariant(25010) << 25010;
    }

    void portValuesKeepTheirLow16Bits()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, port);
        Sandbox box;
        box.user().setValue("Network/ParamsPort", stored);
        QVERIFY(QDir(box.dir.path()).mkdir("vemo_resource.db"));
        Controller controller;
        controller.initialize();
        QCOMPARE(int(controller.paramsPortValue()), port);
        QCOMPARE(int(controller.rpcPortValue()), 45432);
    }

    void bindAddressSetting_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("bindHostFile"); // null: no file
        QTest::addColumn<QString>("rpcAddress");   // empty: not initialized
        QTest::newRow("not set: every address") << QString() << QString() << "any";
        QTest::newRow("an address") << "127.0.0.2" << QString() << "127.0.0.2";
        QTest::newRow("bindhost.txt decides the RPC address") << "127.0.0.2"
                                                              << "127.0.0.3"
                                                              << "127.0.0.3";
        QTest::newRow("not an address") << "node-a" << QString() << QString();
    }

    void bindAddressSetting()
    {
        QFETCH(QString, setting);
        QFETCH(QString, bindHostFile);
        QFETCH(QString, rpcAddress);
        Sandbox box;
        box.useAnyPorts();
        if (!setting.isNull()) {
            box.user().setValue("Network/BindAddress", setting);
        }
        if (!bindHostFile.isNull()) {
            QFile file("bindhost.txt");
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bindHostFile.toLatin1());
        }
        LogCapture log;
        Controller controller;
        controller.initialize();
        QCOMPARE(controller.isRunningState(), !rpcAddress.isEmpty());
        QCOMPARE(log.count("ERROR: Network/BindAddress: \"node-a\" не адрес"),
                 rpcAddress.isEmpty() ? 1 : 0);
        // The service manager's status names the setting.
        QCOMPARE(ReceiverService::readinessText(&controller)
                     .startsWith("Not initialized: setting Network/BindAddress cannot be used"),
                 rpcAddress.isEmpty());
        if (!rpcAddress.isEmpty()) {
            QCOMPARE(controller.rpcBindAddress().address, rpcAddress == "any"
                                                              ? QHostAddress(QHostAddress::Any)
                                                              : QHostAddress(rpcAddress));
        }
    }

    void clusterRoleOnTheMetricsEndpoint_data()
    {
        QTest::addColumn<bool>("drive");
        QTest::addColumn<bool>("active");
        QTest::addColumn<qint64>("term");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("single node") << false << true << qint64(0) << QByteArray("200 OK");
        QTest::newRow("active of a pair") << true << true << qint64(12) << QByteArray("200 OK");
        QTest::newRow("standby") << true << false << qint64(13)
                                 << QByteArray("503 Service Unavailable");
    }

    void clusterRoleOnTheMetricsEndpoint()
    {
        QFETCH(bool, drive);
        QFETCH(bool, active);
        QFETCH(qint64, term);
        QFETCH(QByteArray, status);
        Sandbox box;
        box.useAnyPorts();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        box.user().setValue("Metrics/Port", port);
        Controller controller;
        controller.initialize();
        QVERIFY(controller.metricsEndpoint() && controller.metricsEndpoint()->isServing());
        const QDateTime since = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
        if (drive) {
            controller.setClusterRole(active, term, since);
        }
        QCOMPARE(controller.isClusterActive(), active);
        QCOMPARE(controller.clusterTerm(), term);

        const QByteArray reply = httpGet(port, "/active");
        QVERIFY2(reply.startsWith("HTTP/1.1 " + status + "\r\n"), reply.constData());
        QVERIFY2(reply.endsWith(active ? "\r\n\r\nactive\n" : "\r\n\r\nstandby\n"),
                 reply.constData());
        const QString text = QString::fromUtf8(httpGet(port, "/metrics"));
        QCOMPARE(metricSample(text, "paramserver_role{role=\"active\"}"), active ? 1.0 : 0.0);
        QCOMPARE(metricSample(text, "paramserver_role{role=\"standby\"}"), active ? 0.0 : 1.0);
        QCOMPARE(metricSample(text, "paramserver_lease_term"), double(term));
        if (drive) {
            QCOMPARE(metricSample(text, "paramserver_role_since_seconds"), 1700000000.0);
        }
        // Any other path is still the library's.
        const QByteArray other = httpGet(port, "/activeX");
        QVERIFY2(other.contains(" 404 ") && !other.contains("active\n"), other.constData());
    }

    void applySettingsWritesBothPorts()
    {
        Sandbox box;
        box.system().setValue("Network/RpcPort", 7001);
        QVERIFY(QDir(box.dir.path()).mkdir("vemo_resource.db"));
        LogCapture log;
        Controller controller;
        controller.initialize();
        controller.applySettings();
        QVERIFY(log.contains("Новые настройки успешно сохранены"));
        QSettings user = box.user();
        user.setFallbacksEnabled(false);
        QCOMPARE(user.value("Network/RpcPort").toInt(), 7001);
        QCOMPARE(user.value("Network/ParamsPort").toInt(), 25002);
    }

    void buildDescription()
    {
        QVERIFY(QRegularExpression("^Qt 5\\.\\d+\\.\\d+ \\w+_[\\d.]+ \\w+(32|64)$")
                    .match(Controller::buildInfoString())
                    .hasMatch());
    }

    void auditLine()
    {
        Sandbox box;
        Controller controller;
        LogCapture log;
        controller.sendToLog("adminvemo", 104, QString());
        controller.sendToLog("op", 110, "Код УОО: 17");
        QCOMPARE(log.texts(),
                 (QStringList{"[RPC] [adminvemo] 104 ", "[RPC] [op] 110 Код УОО: 17"}));
    }

private:
    void checkPassThroughsAnswerNothing(Controller& controller)
    {
        QCOMPARE(controller.uooParamsDesc(17), UooRParamsDesc());
        QVERIFY(controller.openDescriptorSnapshot() == nullptr);
        QVERIFY(!controller.hasUoo(17));
        QVERIFY(!controller.scheduleNewParams(17, UooRParamsDesc()));
        QVERIFY(!controller.cancelNewParams(17, UooRParamsDesc()));
        QVERIFY(!controller.changeUooGuardState(17));
    }
};

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
