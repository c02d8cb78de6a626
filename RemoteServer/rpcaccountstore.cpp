#include "rpcaccountstore.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {

const char* const TableName = "rpc_users";
const char* const CreateTable = "CREATE TABLE rpc_users (login INTEGER, pwd INTEGER, fullname "
                                "INTEGER, permissions INTEGER, writesleft INTEGER, lastwrite "
                                "INTEGER)";

// A null text would never equal a stored value; bind the empty text instead.
QString bindable(const QString& text)
{
    return text.isNull() ? QString("") : text;
}

} // namespace

RpcAccountStore::RpcAccountStore(const QSqlDatabase& database) : db(database) {}

bool RpcAccountStore::ensureTable()
{
    const QString table = QLatin1String(TableName);
    if (db.tables(QSql::Tables).contains(table, Qt::CaseSensitive)) {
        return true;
    }
    qDebug() << "Создание таблицы объектов " << table;
    // The table and its built-in account are one step: a table without the account
    // would let nobody log in, and would never be seeded again (a table that exists
    // is taken as it is). On failure neither is there and the next start tries again.
    if (!db.transaction()) {
        qDebug() << "ERROR: " << db.lastError().text();
        return false;
    }
    QSqlQuery create(db);
    if (!create.exec(QLatin1String(CreateTable))) {
        qDebug() << "ERROR: " << create.lastError().text();
        db.rollback();
        return false;
    }
    if (!add(BuiltInLogin, PublishedDigest, QList<quint8>{AllPermissions}, QString())) {
        db.rollback();
        return false;
    }
    if (!db.commit()) {
        qDebug() << "ERROR: " << db.lastError().text();
        db.rollback();
        return false;
    }
    return true;
}

bool RpcAccountStore::exists(const QString& login) const
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT * FROM rpc_users WHERE login=:login"));
    query.bindValue(QStringLiteral(":login"), login);
    return query.exec() && query.next();
}

bool RpcAccountStore::add(const QString& login, const QString& pwd,
                          const QList<quint8>& permissions, const QString& fullname)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO rpc_users (login, pwd, permissions, fullname) VALUES "
                                 "(:login, :pwd, :perms, :fullname)"));
    query.bindValue(QStringLiteral(":login"), login);
    query.bindValue(QStringLiteral(":pwd"), storedPassword(pwd));
    query.bindValue(QStringLiteral(":perms"), permissionBytes(permissions));
    query.bindValue(QStringLiteral(":fullname"), fullname);
    if (!query.exec()) {
        qDebug() << "ERROR inserting RPC user to DB: " << query.lastError().text();
        return false;
    }
    return true;
}

bool RpcAccountStore::modify(const QString& login, const QList<quint8>& permissions)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE rpc_users SET permissions=:perms WHERE login=:login"));
    query.bindValue(QStringLiteral(":perms"), permissionBytes(permissions));
    query.bindValue(QStringLiteral(":login"), login);
    if (!query.exec()) {
        qDebug() << "ERROR updating RPC user in DB: " << query.lastError().text();
        return false;
    }
    return true;
}

bool RpcAccountStore::remove(const QString& login)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("DELETE FROM rpc_users WHERE login=:login"));
    query.bindValue(QStringLiteral(":login"), login);
    if (!query.exec()) {
        qDebug() << "ERROR deletting RPC user to DB: " << query.lastError().text();
        return false;
    }
    return true;
}

bool RpcAccountStore::lookup(const QString& login, QString* stored, VemoRpcClient* account) const
{
    QSqlQuery query(db);
    if (!query.prepare(QStringLiteral("SELECT pwd, permissions, fullname, writesleft, lastwrite "
                                      "FROM rpc_users WHERE login = :login"))) {
        return false;
    }
    query.bindValue(QStringLiteral(":login"), bindable(login));
    if (!query.exec() || !query.next()) {
        return false;
    }
    const QVariant pwd = query.value(0);
    *stored = pwd.isNull() ? QString() : pwd.toString();
    account->permissions = permissionCodes(query.value(1).toByteArray());
    account->fullname = query.value(2).toString();
    account->writesleft = query.value(3).toInt();
    account->lastwrite = query.value(4).toUInt();
    return true;
}

bool RpcAccountStore::replacePassword(const QString& login, const QString& was, const QString& now)
{
    QSqlQuery query(db);
    query.prepare(
        QStringLiteral("UPDATE rpc_users SET pwd=:now WHERE login=:login AND pwd=:was"));
    query.bindValue(QStringLiteral(":now"), now);
    query.bindValue(QStringLiteral(":login"), login);
    query.bindValue(QStringLiteral(":was"), was);
    if (!query.exec()) {
        qDebug() << "ERROR updating RPC user in DB: " << query.lastError().text();
        return false;
    }
    return true;
}

QList<VemoRpcClient> RpcAccountStore::loadAll() const
{
    QList<VemoRpcClient> users;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral(
            "SELECT login, permissions, fullname, writesleft, lastwrite FROM rpc_users"))) {
        return users;
    }
    while (query.next()) {
        VemoRpcClient user;
        user.login = query.value(0).toString();
        user.permissions = permissionCodes(query.value(1).toByteArray());
        user.fullname = query.value(2).toString();
        user.writesleft = query.value(3).toInt();
        user.lastwrite = query.value(4).toUInt();
        users.append(user);
    }
    return users;
}
