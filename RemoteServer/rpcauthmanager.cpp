#include "rpcauthmanager.h"

#include "irpcbackend.h"
#include "rpcpermissions.h"
#include "rpctypes.h"

#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace {

QList<quint8> permissionBytes(const QVariant& column)
{
    const QByteArray bytes = column.toByteArray();
    QList<quint8> codes;
    codes.reserve(bytes.size());
    for (char byte : bytes) {
        codes.append(static_cast<quint8>(byte));
    }
    return codes;
}

} // namespace

RpcAuthManager::RpcAuthManager(IRpcBackend* backend, QObject* parent)
    : QObject(parent), backend(backend)
{
    registerRpcAuthTypes();
}

void RpcAuthManager::addClient(quint64 id)
{
    connections.insert(id, VemoRpcClient());
}

void RpcAuthManager::removeClient(quint64 id)
{
    connections.remove(id);
}

bool RpcAuthManager::hasClient(quint64 id) const
{
    return connections.contains(id);
}

QList<quint64> RpcAuthManager::connectedClients() const
{
    return connections.keys();
}

int RpcAuthManager::loggedInCount() const
{
    return static_cast<int>(std::count_if(connections.cbegin(), connections.cend(),
                                          [](const VemoRpcClient& c) { return c.loggedIn; }));
}

int RpcAuthManager::connectionCount() const
{
    return connections.size();
}

bool RpcAuthManager::hasPermission(quint64 id, quint8 code) const
{
    const auto it = connections.constFind(id);
    if (it == connections.constEnd()) {
        return false;
    }
    return RpcPermissions::grants(it->permissions, code);
}

QList<quint8> RpcAuthManager::permissions(quint64 id) const
{
    return connections.value(id).permissions;
}

QString RpcAuthManager::loginName(quint64 id) const
{
    return connections.value(id).login;
}

bool RpcAuthManager::isLoggedIn(quint64 id) const
{
    return connections.value(id).loggedIn;
}

bool RpcAuthManager::authenticate(quint64 id, VemoRpcCredentials& credentials)
{
    const auto it = connections.find(id);
    if (it == connections.end()) {
        return false;
    }
    const QString password = credentials.password;
    credentials.password = QString();
    if (!backend) {
        return false;
    }

    QSqlQuery query(backend->resourceDatabase());
    if (!query.prepare(QStringLiteral("SELECT permissions, fullname, writesleft, lastwrite FROM "
                                      "rpc_users WHERE pwd = :pwd AND login = :login"))) {
        return false;
    }
    // A null text would never equal a stored value; send the empty text instead.
    query.bindValue(QStringLiteral(":pwd"), password.isNull() ? QString("") : password);
    query.bindValue(QStringLiteral(":login"),
                    credentials.login.isNull() ? QString("") : credentials.login);
    if (!query.exec() || !query.next()) {
        return false;
    }

    VemoRpcClient& record = it.value();
    record.login = credentials.login;
    record.fullname = query.value(1).toString();
    record.writesleft = query.value(2).toInt();
    record.lastwrite = query.value(3).toUInt();
    const QList<quint8> granted = permissionBytes(query.value(0));
    if (!record.loggedIn) {
        record.permissions = granted;
    } else {
        // A further login on the same connection adds the codes it does not hold
        // yet, so repeated logins cannot grow the list without end.
        for (quint8 code : granted) {
            if (!record.permissions.contains(code)) {
                record.permissions.append(code);
            }
        }
    }
    record.loggedIn = true;
    return true;
}

QList<VemoRpcClient> RpcAuthManager::loadAllUsers() const
{
    QList<VemoRpcClient> users;
    if (!backend) {
        return users;
    }
    QSqlQuery query(backend->resourceDatabase());
    if (!query.exec(QStringLiteral(
            "SELECT login, permissions, fullname, writesleft, lastwrite FROM rpc_users"))) {
        return users;
    }
    while (query.next()) {
        VemoRpcClient user;
        user.login = query.value(0).toString();
        user.permissions = permissionBytes(query.value(1));
        user.fullname = query.value(2).toString();
        user.writesleft = query.value(3).toInt();
        user.lastwrite = query.value(4).toUInt();
        users.append(user);
    }
    return users;
}

void RpcAuthManager::clear()
{
    connections.clear();
}
