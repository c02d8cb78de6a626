#pragma once

#include "accountstore.h"
#include "pgconnection.h"

#include <memory>

struct LeaseFence;

// The accounts of the RPC administration server in the station's PostgreSQL
// database (table rpc_users, beside desc and log). A lost connection is opened
// again by the next call; until then every call fails as on a database that is
// gone.
class PgAccountStore : public AccountStore
{
public:
    explicit PgAccountStore(const QString& connectionString);

    // Opens the connection and creates the whole schema, with the built-in
    // account, when the database has none (PgConnection::ensureSchema); the
    // failure and its text, without a log line.
    PgConnection::Failure prepare(QString* error);
    bool ensureTable() override;
    bool exists(const QString& login) const override;
    bool add(const QString& login, const QString& pwd, const QList<quint8>& permissions,
             const QString& fullname) override;
    bool modify(const QString& login, const QList<quint8>& permissions) override;
    bool remove(const QString& login) override;
    bool lookup(const QString& login, QString* stored, VemoRpcClient* account) const override;
    bool replacePassword(const QString& login, const QString& was, const QString& now) override;
    QList<VemoRpcClient> loadAll() const override;
    // The write counters of the account added last under that login (a copy
    // carrying them over); zeros leave the columns null, which read as zeros.
    bool setWriteCounters(const QString& login, int writesleft, uint lastwrite);
    // A node of a pair: every account write first checks that the node still
    // holds its lease term, and is refused when another node holds a newer one.
    void setFence(std::shared_ptr<LeaseFence> leaseFence) { fence = std::move(leaseFence); }

private:
    // Runs a statement on an open connection; logs a failure under `what`.
    PgConnection::Result run(const char* what, const char* statement,
                             const QVector<PgConnection::Param>& params = {}) const;

    // A write: with a fence, in a transaction that checks it first.
    PgConnection::Result write(const char* what, const char* statement,
                               const QVector<PgConnection::Param>& params);

    // Calls are const to their callers; the connection reopens itself.
    mutable PgConnection connection;
    std::shared_ptr<LeaseFence> fence;
};
