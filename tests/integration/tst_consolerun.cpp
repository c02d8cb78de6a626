#include "serverprocess.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>

#ifndef PARAMSERVER_PATH
#error "PARAMSERVER_PATH must name the paramserver executable"
#endif

namespace {

int countUsers(const QString& dbPath, QString* login)
{
    int rows = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
        db.setDatabaseName(dbPath);
        if (db.open()) {
            QSqlQuery q(db);
            q.exec("SELECT login FROM rpc_users");
            while (q.next()) {
                ++rows;
                *login = q.value(0).toString();
            }
        }
    }
    QSqlDatabase::removeDatabase("inspect");
    return rows;
}

} // namespace

// paramserver as a person runs it by hand.
class TestConsoleRun : public QObject
{
    Q_OBJECT
private slots:
    void consoleRunOnItsOwnFiles_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("Ctrl+C") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }

    void consoleRunOnItsOwnFiles()
    {
        QFETCH(int, signalNumber);
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY(server.isValid());
        QVERIFY2(server.start(), qPrintable(server.log()));

        // The banner reaches standard error as a formatted line.
        QVERIFY(QRegularExpression("\\d\\d\\.\\d\\d\\.\\d\\d-\\d\\d:\\d\\d:\\d\\d >> \\[DEBUG\\] "
                                   "====== Запуск программы Сервер параметров VEMO версия +0\\.5")
                    .match(server.log())
                    .hasMatch());
        QVERIFY(server.log().contains(
            QString("Сервер администрирования запущен на 0.0.0.0:%1").arg(server.rpcPort())));
        QVERIFY(server.log().contains(
            QString("Сервер параметров запущен на порту %1").arg(server.paramsPort())));

        int exitCode = -1;
        QVERIFY(server.interrupt(signalNumber, &exitCode));
        QCOMPARE(exitCode, 0);
        QVERIFY(server.log().contains("Освобождение ресурсов приложения..."));
        QVERIFY(server.log().contains("Остановка сервера параметров..."));

        // Both databases live beside the executable, not in the working directory.
        QString login;
        QCOMPARE(countUsers(server.directory() + "/vemo_resource.db", &login), 1);
        QCOMPARE(login, QString("adminvemo"));
        QVERIFY(QFile::exists(server.directory() + "/params_upd.db"));
        QVERIFY(!QFile::exists(server.directory() + "/../elsewhere/vemo_resource.db"));
    }

    // A service restarted on its own is started with "--restart N", which its
    // application gets as arguments: they name no host, the RPC server listens
    // where it would without them.
    void restartArgumentsNameNoBindHost_data()
    {
        QTest::addColumn<QByteArray>("bindhost"); // null: no bindhost.txt
        QTest::addColumn<QString>("address");
        QTest::newRow("no bindhost.txt") << QByteArray() << "0.0.0.0";
        QTest::newRow("bindhost.txt") << QByteArray("127.0.0.1\n") << "127.0.0.1";
    }

    void restartArgumentsNameNoBindHost()
    {
        QFETCH(QByteArray, bindhost);
        QFETCH(QString, address);
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY(server.isValid());
        if (!bindhost.isNull()) {
            QFile file(server.directory() + "/bindhost.txt");
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bindhost);
        }
        QVERIFY2(server.start({"--restart", "5"}), qPrintable(server.log()));
        QVERIFY2(server.log().contains(QString("Сервер администрирования запущен на %1:%2")
                                           .arg(address)
                                           .arg(server.rpcPort())),
                 qPrintable(server.log()));
        QVERIFY(server.interrupt(SIGTERM));
    }

    void helpAndVersion()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QByteArray out, err;
        QCOMPARE(server.runToEnd({"-h"}, &out, &err), 0);
        const QByteArray help =
            "\n" + server.executable().toLocal8Bit() +
            " -[i|u|e|s|v|h]\n\t-i(nstall) [account] [password]\t: Install the service, "
            "optionally using given account and password\n\t-u(ninstall)\t: Uninstall the "
            "service.\n\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n\t"
            "-t(erminate)\t: Stop the service.\n\t-c(ommand) num\t: Send command code num to "
            "the service.\n\t-v(ersion)\t: Print version and status information.\n\t-h(elp)   "
            "\t: Show this help\n\tNo arguments\t: Start the service.\n";
        QCOMPARE(out, help);

        QCOMPARE(server.runToEnd({"-v"}, &out, &err), 0);
        QVERIFY2(out.startsWith("The service\n\tVEMO UOO_Params_Server service\n\t" +
                                server.executable().toLocal8Bit() + "\n\nis "),
                 out.constData());
        QVERIFY(out.endsWith(" and not running\n\n"));
    }

    void unknownOptionTriesToStartTheService()
    {
        // Not started by a service manager, and no such service installed: the
        // start request fails.
        ServerProcess server(PARAMSERVER_PATH);
        QByteArray out, err;
        const int code = server.runToEnd({"-x"}, &out, &err);
        QCOMPARE(code, 256 - 4);
        QVERIFY2(err.contains("The service VEMO UOO_Params_Server service could not start\n"),
                 err.constData());
        QVERIFY(!QFile::exists(server.directory() + "/vemo_resource.db"));
    }

    void restartRequestWaitsBeforeStarting()
    {
        // "--restart 1" is no framework option: after its delay the copy asks the
        // service manager to start the installed service, which fails here.
        ServerProcess server(PARAMSERVER_PATH);
        QElapsedTimer timer;
        timer.start();
        QByteArray err;
        QCOMPARE(server.runToEnd({"--restart", "1"}, nullptr, &err), 256 - 4);
        QVERIFY(timer.elapsed() >= 1000);
    }
};

QTEST_GUILESS_MAIN(TestConsoleRun)
#include "tst_consolerun.moc"
