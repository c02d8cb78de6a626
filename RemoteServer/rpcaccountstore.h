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
    // The built-in administrator account, and the digest it is created with (a
    // published one: the README names it).
    static const QString BuiltInLogin;
    static const QString PublishedDigest;

    explicit RpcAccountStore(const QSqlDatabase& database = QSqlDatabase());

    void setDatabase(const QSqlDatabase& database) { db = database; }
    QSqlDatabase database() const { return db; }

    // Creates table rpc_users when it is missing, with the built-in administrator
    // account in it, in one transaction. False (with a log line) if either cannot
    // be written; then neither is, so the next call tries both again.
    bool ensureTable();

    bool exists(const QString& login) const;
    // pwd is the value to store: a digest is stored in lower case, a hash (see
    // PasswordHash) as it is.
    bool add(const QString& login, const QString& pwd, const QList<quint8>& permissions,
             const QString& fullname);
    bool modify(const QString& login, const QList<quint8>& permissions);
    bool remove(const QString& login);

    // The (first) account of that login: its stored password value (a null text
    // when the column is null) to *stored, its full name, counters and permission
    // codes to *account (login and loggedIn are left alone). False when there is
    // none or the query fails.
    bool lookup(const QString& login, QString* stored, VemoRpcClient* account) const;
    // Replaces the stored password value of login, only where it still is `was`
    // (a change made meanwhile is kept). False (with a log line) when the
    // statement fails.
    bool replacePassword(const QString& login, const QString& was, const QString& now);
    // Every account (no passwords); empty if the query fails.
    QList<VemoRpcClient> loadAll() const;

    static QByteArray permissionBytes(const QList<quint8>& permissions);
    static QList<quint8> permissionCodes(const QByteArray& bytes);

private:
    QSqlDatabase db;
};
