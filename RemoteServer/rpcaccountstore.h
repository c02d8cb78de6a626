#pragma once

#include "accountstore.h"

#include <QSqlDatabase>

// The accounts of the RPC administration server in the SQLite resource database:
// every statement on its table rpc_users. The database connection belongs to the
// caller and must stay open while the store is used.
class RpcAccountStore : public AccountStore
{
public:
    explicit RpcAccountStore(const QSqlDatabase& database = QSqlDatabase());

    void setDatabase(const QSqlDatabase& database) { db = database; }
    QSqlDatabase database() const { return db; }

    bool ensureTable() override;
    bool exists(const QString& login) const override;
    bool add(const QString& login, const QString& pwd, const QList<quint8>& permissions,
             const QString& fullname) override;
    bool modify(const QString& login, const QList<quint8>& permissions) override;
    bool remove(const QString& login) override;
    bool lookup(const QString& login, QString* stored, VemoRpcClient* account) const override;
    bool replacePassword(const QString& login, const QString& was, const QString& now) override;
    QList<VemoRpcClient> loadAll() const override;

private:
    QSqlDatabase db;
};
