#pragma once

#include "vemorpcclient.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the RPC administration server asks of the store of its accounts (table
// rpc_users), whatever database holds it. The stored form of a permission list
// is one byte a code, in list order. Calls are made on the thread that owns the
// store's connection; each failure is logged by the implementation.
class AccountStore
{
public:
    // The built-in administrator account, and the digest it is created with (a
    // published one: the README names it).
    static const QString BuiltInLogin;
    static const QString PublishedDigest;
    // The permissions of the built-in account.
    static constexpr quint8 AllPermissions = 127;

    virtual ~AccountStore() = default;

    // Creates table rpc_users when it is missing, with the built-in administrator
    // account in it, in one transaction. False (with a log line) if either cannot
    // be written; then neither is, so the next call tries both again.
    virtual bool ensureTable() = 0;

    virtual bool exists(const QString& login) const = 0;
    // pwd is the value to store: a digest is stored in lower case, a hash (see
    // PasswordHash) as it is.
    virtual bool add(const QString& login, const QString& pwd, const QList<quint8>& permissions,
                     const QString& fullname) = 0;
    virtual bool modify(const QString& login, const QList<quint8>& permissions) = 0;
    virtual bool remove(const QString& login) = 0;

    // The (first) account of that login: its stored password value (a null text
    // when the column is null) to *stored, its full name, counters and permission
    // codes to *account (login and loggedIn are left alone). False when there is
    // none or the query fails.
    virtual bool lookup(const QString& login, QString* stored, VemoRpcClient* account) const = 0;
    // Replaces the stored password value of login, only where it still is `was`
    // (a change made meanwhile is kept). False (with a log line) when the
    // statement fails.
    virtual bool replacePassword(const QString& login, const QString& was, const QString& now) = 0;
    // Every account (no passwords); empty if the query fails.
    virtual QList<VemoRpcClient> loadAll() const = 0;

    static QByteArray permissionBytes(const QList<quint8>& permissions);
    static QList<quint8> permissionCodes(const QByteArray& bytes);
    // The value stored for a password given as pwd: a digest in lower case, a
    // hash as it is.
    static QString storedPassword(const QString& pwd);
};
