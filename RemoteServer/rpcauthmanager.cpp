#include "rpcauthmanager.h"

#include "rpcpermissions.h"
#include "rpctypes.h"

#include <algorithm>

RpcAuthManager::RpcAuthManager(QObject* parent) : QObject(parent)
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

QList<quint64> RpcAuthManager::loggedInClients() const
{
    QList<quint64> ids;
    for (auto it = connections.cbegin(); it != connections.cend(); ++it) {
        if (it->loggedIn) {
            ids.append(it.key());
        }
    }
    return ids;
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

bool RpcAuthManager::grant(quint64 id, const QString& login, const VemoRpcClient& account)
{
    const auto it = connections.find(id);
    if (it == connections.end()) {
        return false;
    }
    VemoRpcClient& record = it.value();
    record.login = login;
    record.fullname = account.fullname;
    record.writesleft = account.writesleft;
    record.lastwrite = account.lastwrite;
    const QList<quint8>& granted = account.permissions;
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

void RpcAuthManager::clear()
{
    connections.clear();
}
