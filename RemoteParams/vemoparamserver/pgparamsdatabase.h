#pragma once

#include "paramsstore.h"
#include "pgconnection.h"

#include <memory>

// Tables desc and log in the station's PostgreSQL database: the same rows as
// params_upd.db. Reads and writes go through libpq's native handle (binary COPY
// both ways), since the records are many.
class PgParamsDatabase : public ParamsStore
{
public:
    // With a fence: a transaction left idle this long ends with its session,
    // and so does a statement that runs this long (a node paused inside a COPY).
    static constexpr int FencedIdleTimeoutMs = 1000;
    static constexpr int FencedStatementTimeoutMs = 15000;

    // With a fence, every write first checks that the node still holds its
    // lease term, and is refused (Fenced) when another node holds a newer one.
    explicit PgParamsDatabase(const QString& connectionName, const QString& connectionString,
                              std::shared_ptr<LeaseFence> fence = nullptr);

    QString location() const override;
    bool openConnection(bool quiet = false) override;
    Failure prepareFile(QString* error) override;
    bool isOpen() const override { return connection.isOpen(); }
    void close() override { connection.close(); }
    void setBusyTimeoutMs(int ms) override;
    bool checkDataConsistency() override;
    // Every row of desc. The columns are typed: a null where a number belongs is
    // repaired as in the SQLite file, and sets larger than maxSetSize are not read.
    QVector<ParamsRow> readRecords(int maxSetSize, ReadReport* report,
                                   ParamsRowSink* sink = nullptr, int chunkRows = 0) override;
    WriteReport writeBatch(const QVector<ParamsRow>& records,
                           const QVector<ParamsLogRow>& log) override;
    // Rows of desc changed after the change number `after`, in the order of
    // their changes, at most maxRows; *last is the change number of the last
    // one (after, when there is none). A pair's standby follows the records so.
    QVector<ParamsRow> readChanges(qint64 after, int maxSetSize, int maxRows, qint64* last,
                                   ReadReport* report);
    // The change number of the last change committed.
    bool lastChange(qint64* last, QString* error);
    // A database is never set aside nor replaced: its rows stay where they are.
    bool canSetAside() const override { return false; }
    bool setAside(const QString& stamp, QString* aside) override;
    int copyLogFrom(const QString& aside) override;

    static Failure storeFailure(PgConnection::Failure failure);

private:
    // Re-opens a lost connection; false with the failure.
    bool reconnect(Failure* failure, QString* error);
    // One attempt of writeBatch; *missingTable when a table was not there.
    WriteReport writeOnce(const QVector<ParamsRow>& records, const QVector<ParamsLogRow>& log,
                          bool* missingTable);

    PgConnection connection;
    std::shared_ptr<LeaseFence> fence;
    int lockTimeoutMs = 0;
};
