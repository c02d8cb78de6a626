#pragma once

#include "vemorpcclient.h"

#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>

// The accounts of the RPC administration server: every statement on table
// rpc_users of the resource database, and the stored form of a permission list
// (one byte a code, in list order). The database connection belongs to the caller
// and must stay open while the store is used.
class RpcAccountStore
{
public:
    explicit RpcAccountStore(const QSqlDatabase& database = QSqlDatabase());

    void setDatabase(const QSqlDatabase& database) { db = database; }
    QSqlDatabase database() const { return db; }

    // Creates table rpc_users when it is missing, with the built-in administrator
    // account in it, in one transaction. False (with a log line) if either cannot
    // be written; then neither is, so the next call tries both again.
    bool ensureTable();

    bool exists(const QString& login) const;
    // The password digest is stored in lower case.
    bool add(const QString& login, const QString& pwd, const QList<quint8>& permissions,
             const QString& fullname);
    bool modify(const QString& login, const QList<quint8>& permissions);
    bool remove(const QString& login);

    // The account whose login and password match exactly: its full name,
    // counters and permission codes go to *account (login and loggedIn are left
    // alone). False when there is none or the query fails.
    bool find(const QString& login, const QString& pwd, VemoRpcClient* account) const;
    // Every account (no passwords); empty if the query fails.
    QList<VemoRpcClient> loadAll() const;

    static QByteArray permissionBytes(const QList<quint8>& permissions);
    static QList<quint8> permissionCodes(const QByteArray& bytes);

private:
    QSqlDatabase db;
};
