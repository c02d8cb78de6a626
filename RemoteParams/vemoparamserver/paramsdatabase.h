#pragma once

#include "paramsstore.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

class QSqlError;
class QSqlQuery;

// The parameters database params_upd.db (SQLite): per-UOO parameter records
// (table desc) and the action log (table log). All SQL on this file lives here.
//
// A connection belongs to the thread that opened it; the server uses one on the
// main thread that prepares the file, one on its writer thread for writing, and
// one its writer thread opens for reading table desc.
class ParamsDatabase : public ParamsStore
{
public:
    static constexpr const char* DefaultConnectionName = "vemo_params";
    static constexpr const char* DefaultFileName = "./params_upd.db";

    explicit ParamsDatabase(const QString& connection = DefaultConnectionName,
                            const QString& file = DefaultFileName);
    ~ParamsDatabase() override;
    ParamsDatabase(const ParamsDatabase&) = delete;
    ParamsDatabase& operator=(const ParamsDatabase&) = delete;

    QString fileName() const { return databaseFile; }
    QString location() const override { return databaseFile; }

    // Adds the connection and opens the file; on success sets WAL journaling and
    // ensures both tables. False (with its critical message) when the file does
    // not open.
    bool open();
    // Only adds the connection and opens the file (critical message on failure,
    // unless quiet).
    bool openConnection(bool quiet = false) override;
    // WAL journaling and both tables; what failed, with the driver's text.
    Failure prepareFile(QString* error) override;
    bool isOpen() const override;
    void close() override;
    // How long a statement waits for another connection's lock before failing.
    void setBusyTimeoutMs(int ms) override;

    // Creates missing tables (log, then desc); true when both exist afterwards.
    bool checkDataConsistency() override;
    // Damaged stretches of desc are stepped over (see the source).
    QVector<ParamsRow> readRecords(int maxSetSize, ReadReport* report,
                                   ParamsRowSink* sink = nullptr, int chunkRows = 0) override;
    // Copies every readable row of table log of another params file into this
    // one; the number of rows copied, or -1 when the other file cannot be read.
    int copyLogFrom(const QString& otherFile) override;
    // Every readable row of table log in the order of its key; false when the
    // table cannot be read (damaged stretches are stepped over).
    bool readLog(QVector<ParamsLogRow>* rows);
    // No log message of its own.
    WriteReport writeBatch(const QVector<ParamsRow>& records,
                           const QVector<ParamsLogRow>& log) override;
    // Renames the file (and its -wal and -shm companions) to <file>.damaged-<stamp>,
    // with a number added when that name is taken.
    bool setAside(const QString& stamp, QString* aside) override;

    static Failure classify(const QSqlError& error);
    // A damaged file or one that is no database (not a lock, a constraint, a schema).
    static bool isFileDamage(const QSqlError& error);

private:
    static void bindRecord(QSqlQuery& query, quint32 uoo, const UooRParamsDesc& record);
    static void bindLogRow(QSqlQuery& query, const ParamsLogRow& row);

    QString connectionName;
    QString databaseFile;
    QSqlDatabase db;
};
