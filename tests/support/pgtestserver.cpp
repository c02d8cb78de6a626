#include "pgtestserver.h"

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

PgTestServer::PgTestServer(const QString& name)
    : dir(QStringLiteral(VEMO_TEST_PG_ROOT "/") + name)
{
}

PgTestServer::~PgTestServer()
{
    run(QStringLiteral("destroy"));
}

bool PgTestServer::run(const QString& action)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    script.start(QStringLiteral("bash"),
                 {QStringLiteral(VEMO_TEST_PG_SCRIPT), action, dir});
    return script.waitForFinished(120000) && script.exitStatus() == QProcess::NormalExit &&
           script.exitCode() == 0;
}

bool PgTestServer::start()
{
    QDir().mkpath(QStringLiteral(VEMO_TEST_PG_ROOT));
    return run(QStringLiteral("start"));
}

bool PgTestServer::stop()
{
    return run(QStringLiteral("stop"));
}

QString PgTestServer::adminConnection() const
{
    return QStringLiteral("host=%1 user=vemo dbname=postgres").arg(dir);
}

QString PgTestServer::createDatabase()
{
    const QString name = QStringLiteral("t%1").arg(++databases);
    if (!exec(adminConnection(), QStringLiteral("CREATE DATABASE ") + name)) {
        return QString();
    }
    return QStringLiteral("host=%1 user=vemo dbname=%2").arg(dir, name);
}

bool PgTestServer::exec(const QString& connection, const QString& statement)
{
    return !value(connection, statement).startsWith(QLatin1String("error: "));
}

QString PgTestServer::value(const QString& connection, const QString& query)
{
    const QString name = QStringLiteral("pgtest_probe");
    QString result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setConnectOptions(connection);
        if (!db.open()) {
            result = QStringLiteral("error: ") + db.lastError().text();
        } else {
            QSqlQuery q(db);
            if (!q.exec(query)) {
                result = QStringLiteral("error: ") + q.lastError().text();
            } else if (q.next()) {
                result = q.value(0).toString();
            }
            q.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}
