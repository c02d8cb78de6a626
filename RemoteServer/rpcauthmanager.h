#pragma once

#include "vemorpcclient.h"
#include "vemorpccredentials.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

class RpcAccountStore;

// Login bookkeeping of the RPC administration server: one account record per
// connection, from the moment it connects until it disconnects, and the answers to
// permission questions. Account lists come from the account store it is given.
class RpcAuthManager : public QObject
{
    Q_OBJECT
public:
    // accounts may be null (no account is then listed); it must outlive this object.
    explicit RpcAuthManager(RpcAccountStore* accounts, QObject* parent = nullptr);

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

    // Every account of the table (no passwords); empty if the query fails.
    QList<VemoRpcClient> loadAllUsers() const;

    void clear();

private:
    RpcAccountStore* accounts = nullptr;
    QMap<quint64, VemoRpcClient> connections;
};
