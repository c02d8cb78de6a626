// paramserver's account store as a station keeps it: a file of the previous
// version converted, digests at rest, the published account, and pushes to
// connections that have not logged in; with paramctl over loopback.

#include "serverprocess.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

#ifndef PARAMSERVER_PATH
#error "PARAMSERVER_PATH must name the paramserver executable"
#endif

namespace {

const char* const Published = "5f1d0c8e2a7b4963d0e18c2f7a9b3e64";
const char* const OperatorDigest = "0cc175b9c0f1b6a831c399e269772661";

// Runs paramctl to the end; its exit code.
int ctl(const ServerProcess& server, const QStringList& args)
{
    QProcess process;
    process.start(PARAMCTL_PATH, QStringList{"--port", QString::number(server.rpcPort()),
                                             "--login-retries", "3"} +
                                     args);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    return process.exitCode();
}

int login(const ServerProcess& server, const QString& name, const QString& digest)
{
    return ctl(server, {"--login", name, "--password", digest, "summary"});
}

// Every stored password value, by login.
QMap<QString, QString> storedValues(const ServerProcess& server)
{
    QMap<QString, QString> values;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
        db.setDatabaseName(server.directory() + "/vemo_resource.db");
        if (db.open()) {
            QSqlQuery q(db);
            q.exec("SELECT login, pwd FROM rpc_users");
            while (q.next()) {
                values.insert(q.value(0).toString(), q.value(1).toString());
            }
        }
    }
    QSqlDatabase::removeDatabase("inspect");
    return values;
}

// paramserver with arguments and standard input, run to the end: its exit code.
int runWithInput(const ServerProcess& server, const QStringList& args, const QByteArray& input,
                 QByteArray* out)
{
    QProcess process;
    process.setProcessEnvironment(server.environment());
    process.start(server.executable(), args);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    *out = process.readAllStandardOutput() + process.readAllStandardError();
    return process.exitCode();
}

} // namespace

class TestCredentials : public QObject
{
    Q_OBJECT
private slots:
    void previousVersionFileIsHashed()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY(server.isValid());
        {
            // A file of the previous version: the digests themselves.
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "old");
            db.setDatabaseName(server.directory() + "/vemo_resource.db");
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec("CREATE TABLE rpc_users (login INTEGER, pwd INTEGER, fullname INTEGER, "
                           "permissions INTEGER, writesleft INTEGER, lastwrite INTEGER)"));
            QVERIFY(q.exec(QString("INSERT INTO rpc_users (login, pwd, permissions) VALUES "
                                   "('adminvemo', '%1', x'7f'), ('op', '%2', x'03'), "
                                   "('kept', '%2', x'06')")
                               .arg(Published, OperatorDigest)));
        }
        QSqlDatabase::removeDatabase("old");
        QVERIFY2(server.start(), qPrintable(server.log()));
        // The first login converts its own row on the way.
        QCOMPARE(login(server, "kept", OperatorDigest), 0);
        QVERIFY(storedValues(server).value("kept").startsWith("$argon2id$"));
        QCOMPARE(storedValues(server).value("op"), QString(OperatorDigest));

        QByteArray out;
        QCOMPARE(runWithInput(server, {"--hash-accounts"}, {}, &out), 0);
        QVERIFY2(out.contains("accounts hashed: 2; already hashed: 1;"), out.constData());
        const QMap<QString, QString> stored = storedValues(server);
        QCOMPARE(stored.size(), 3);
        for (const QString& value : stored) {
            QVERIFY(value.startsWith("$argon2id$v=19$m=65536,t=2,p=1$"));
        }
        // Nothing in the file logs anyone in; the digests still do.
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            QVERIFY(login(server, it.key(), it.value()) != 0);
        }
        QCOMPARE(login(server, "op", OperatorDigest), 0);
        QCOMPARE(login(server, "adminvemo", Published), 0);
    }

    void publishedAccountUntilItIsChanged()
    {
        ServerProcess server(PARAMSERVER_PATH);
        QVERIFY2(server.start(), qPrintable(server.log()));
        QVERIFY(server.waitForLog("принимает опубликованный пароль по умолчанию"));
        QVERIFY(server.interrupt(SIGTERM));

        QByteArray out;
        QCOMPARE(runWithInput(server, {"--set-password", "adminvemo"}, "not a digest\n", &out), 2);
        QCOMPARE(runWithInput(server, {"--set-password", "nobody"},
                              QByteArray(OperatorDigest) + "\n", &out),
                 1);
        QCOMPARE(runWithInput(server, {"--set-password", "adminvemo"},
                              QByteArray(OperatorDigest).toUpper() + "\n", &out),
                 0);
        QVERIFY(!out.contains(OperatorDigest)); // read, not echoed

        QVERIFY2(server.start(), qPrintable(server.log()));
        QCOMPARE(login(server, "adminvemo", OperatorDigest), 0);
        QVERIFY(login(server, "adminvemo", Published) != 0);
        QVERIFY(server.waitForLog("Отключение клиентского модуля"));
        QVERIFY(!server.log().contains("принимает опубликованный пароль"));
    }

    void pushesBeforeLogin_data()
    {
        QTest::addColumn<QVariant>("setting");
        QTest::addColumn<bool>("pushed");
        QTest::newRow("default") << QVariant() << true;
        QTest::newRow("false") << QVariant(false) << false;
    }
    void pushesBeforeLogin()
    {
        QFETCH(QVariant, setting);
        QFETCH(bool, pushed);
        ServerProcess server(PARAMSERVER_PATH);
        if (setting.isValid()) {
            server.setSetting("Rpc/PushBeforeLogin", setting);
        }
        QVERIFY2(server.start(), qPrintable(server.log()));
        QTcpSocket anonymous;
        anonymous.connectToHost("127.0.0.1", server.rpcPort());
        QVERIFY(anonymous.waitForConnected(10000));
        QVERIFY(server.waitForLog("Новое подключение"));
        // A workstation logs in and lists the accounts: log lines follow.
        QCOMPARE(login(server, "adminvemo", Published), 0);
        QVERIFY(server.waitForLog("Отключение клиентского модуля"));
        anonymous.waitForReadyRead(pushed ? 10000 : 500);
        QCOMPARE(anonymous.bytesAvailable() > 0, pushed);
    }
};

QTEST_GUILESS_MAIN(TestCredentials)
#include "tst_credentials.moc"
