#pragma once

#include "vemorpcclient.h"
#include "vemorpccredentials.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

// Login bookkeeping of the RPC administration server: one account record per
// connection, from the moment it connects until it disconnects, and the answers to
// permission questions. It holds no accounts: those are the RPC server's store.
class RpcAuthManager : public QObject
{
    Q_OBJECT
public:
    explicit RpcAuthManager(QObject* parent = nullptr);

    void addClient(quint64 id);
    void removeClient(quint64 id);
    bool hasClient(quint64 id) const;
    QList<quint64> connectedClients() const;
    // The connections that have logged in, in ascending order.
    QList<quint64> loggedInClients() const;
    int connectionCount() const;
    int loggedInCount() const;

    bool hasPermission(quint64 id, quint8 code) const;
    QList<quint8> permissions(quint64 id) const;
    QString loginName(quint64 id) const;
    bool isLoggedIn(quint64 id) const;

    // A login that succeeded (the RPC server checks the password): the
    // connection's record takes the account's login, full name and counters, and
    // gains the account's permission codes. False for an unknown connection.
    bool grant(quint64 id, const QString& login, const VemoRpcClient& account);

    void clear();

private:
    QMap<quint64, VemoRpcClient> connections;
};
