#pragma once

#include "paramsstore.h"
#include "pgconnection.h"

// Tables desc and log in the station's PostgreSQL database: the same rows as
// params_upd.db. Reads and writes go through libpq's native handle (binary COPY
// both ways), since the records are many.
class PgParamsDatabase : public ParamsStore
{
public:

    explicit PgParamsDatabase(const QString& connectionName, const QString& connectionString);

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
    int lockTimeoutMs = 0;
};
