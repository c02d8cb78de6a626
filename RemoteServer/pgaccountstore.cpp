#include "pgaccountstore.h"

#include "leasefence.h"
#include "pglease.h"

#include <QDebug>

namespace {

using Param = PgConnection::Param;

const char* const InsertUser = "INSERT INTO rpc_users (login, pwd, permissions, fullname) VALUES "
                               "($1, $2, $3, $4)";

QByteArray text(const QString& value)
{
    // A null text would never equal a stored value; the empty text is bound.
    return value.isNull() ? QByteArray("") : value.toUtf8();
}

QByteArray bytea(const QByteArray& text)
{
    return text.startsWith("\\x") ? QByteArray::fromHex(text.mid(2)) : text;
}

VemoRpcClient account(const QVector<QByteArray>& row, int first)
{
    VemoRpcClient user;
    user.permissions = AccountStore::permissionCodes(bytea(row[first]));
    user.fullname = QString::fromUtf8(row[first + 1]);
    user.writesleft = row[first + 2].toInt();
    user.lastwrite = static_cast<uint>(row[first + 3].toLongLong());
    return user;
}

} // namespace

PgAccountStore::PgAccountStore(const QString& connectionString)
    : connection(QStringLiteral("vemo_accounts"), connectionString)
{
}

PgConnection::Result PgAccountStore::run(const char* what, const char* statement,
                                         const QVector<Param>& params) const
{
    PgConnection::Result result;
    if (!connection.ensureOpen(&result.failure, &result.error)) {
        qDebug().noquote() << what << result.error;
        return result;
    }
    result = connection.exec(statement, params);
    // A table dropped by hand is made again, and the statement run on it.
    QString error;
    if (PgConnection::isMissingTable(result) && connection.restoreMissingTables(&error) > 0) {
        result = connection.exec(statement, params);
    }
    if (result.failure != PgConnection::Failure::None) {
        qDebug().noquote() << what << result.error;
    }
    return result;
}

PgConnection::Result PgAccountStore::write(const char* what, const char* statement,
                                           const QVector<Param>& params)
{
    if (!fence) {
        return run(what, statement, params);
    }
    PgConnection::Result result = run(what, "BEGIN");
    if (result.failure == PgConnection::Failure::None) {
        result.failure = PgLease::fence(connection, fence->node, fence->term.load(), &result.error);
        if (result.failure != PgConnection::Failure::None) {
            qDebug().noquote() << what << result.error;
        }
    }
    if (result.failure == PgConnection::Failure::None) {
        result = run(what, statement, params);
    }
    if (result.failure == PgConnection::Failure::None) {
        const int affected = result.affected;
        result = run(what, "COMMIT");
        result.affected = affected;
    }
    if (result.failure != PgConnection::Failure::None) {
        connection.exec("ROLLBACK");
    }
    return result;
}

PgConnection::Failure PgAccountStore::prepare(QString* error)
{
    PgConnection::Failure failure = PgConnection::Failure::None;
    if (!connection.ensureOpen(&failure, error)) {
        return failure;
    }
    return connection.ensureSchema(error);
}

bool PgAccountStore::ensureTable()
{
    QString error;
    if (prepare(&error) != PgConnection::Failure::None) {
        qDebug().noquote() << "ERROR: " << error;
        return false;
    }
    return true;
}

bool PgAccountStore::exists(const QString& login) const
{
    const PgConnection::Result result =
        run("ERROR: ", "SELECT 1 FROM rpc_users WHERE login = $1 LIMIT 1", {Param{text(login)}});
    return result.failure == PgConnection::Failure::None && !result.rows.isEmpty();
}

bool PgAccountStore::add(const QString& login, const QString& pwd,
                         const QList<quint8>& permissions, const QString& fullname)
{
    return write("ERROR inserting RPC user to DB: ", InsertUser,
                 {Param{text(login)}, Param{storedPassword(pwd).toUtf8()},
                  Param{permissionBytes(permissions), true}, Param{text(fullname)}})
               .failure == PgConnection::Failure::None;
}

bool PgAccountStore::modify(const QString& login, const QList<quint8>& permissions)
{
    return write("ERROR updating RPC user in DB: ",
                 "UPDATE rpc_users SET permissions = $1 WHERE login = $2",
                 {Param{permissionBytes(permissions), true}, Param{text(login)}})
               .failure == PgConnection::Failure::None;
}

bool PgAccountStore::remove(const QString& login)
{
    return write("ERROR deletting RPC user to DB: ", "DELETE FROM rpc_users WHERE login = $1",
                 {Param{text(login)}})
               .failure == PgConnection::Failure::None;
}

bool PgAccountStore::lookup(const QString& login, QString* stored, VemoRpcClient* account) const
{
    const PgConnection::Result result =
        run("ERROR: ",
            "SELECT pwd, permissions, fullname, writesleft, lastwrite FROM rpc_users "
            "WHERE login = $1 ORDER BY id LIMIT 1",
            {Param{text(login)}});
    if (result.failure != PgConnection::Failure::None || result.rows.isEmpty()) {
        return false;
    }
    const QVector<QByteArray>& row = result.rows[0];
    *stored = row[0].isNull() ? QString() : QString::fromUtf8(row[0]);
    const VemoRpcClient found = ::account(row, 1);
    account->permissions = found.permissions;
    account->fullname = found.fullname;
    account->writesleft = found.writesleft;
    account->lastwrite = found.lastwrite;
    return true;
}

bool PgAccountStore::replacePassword(const QString& login, const QString& was, const QString& now)
{
    return write("ERROR updating RPC user in DB: ",
                 "UPDATE rpc_users SET pwd = $1 WHERE login = $2 AND pwd = $3",
                 {Param{text(now)}, Param{text(login)}, Param{text(was)}})
               .failure == PgConnection::Failure::None;
}

bool PgAccountStore::setWriteCounters(const QString& login, int writesleft, uint lastwrite)
{
    if (writesleft == 0 && lastwrite == 0) {
        return true;
    }
    return run("ERROR updating RPC user in DB: ",
               "UPDATE rpc_users SET writesleft = $1, lastwrite = $2 WHERE id = "
               "(SELECT max(id) FROM rpc_users WHERE login = $3)",
               {Param{QByteArray::number(writesleft)}, Param{QByteArray::number(lastwrite)},
                Param{text(login)}})
               .failure == PgConnection::Failure::None;
}

QList<VemoRpcClient> PgAccountStore::loadAll() const
{
    QList<VemoRpcClient> users;
    const PgConnection::Result result =
        run("ERROR: ",
            "SELECT login, permissions, fullname, writesleft, lastwrite FROM rpc_users ORDER BY id");
    for (const QVector<QByteArray>& row : result.rows) {
        VemoRpcClient user = account(row, 1);
        user.login = QString::fromUtf8(row[0]);
        users.append(user);
    }
    return users;
}
