#pragma once

#include "uoorparamsdesc.h"

#include <QDateTime>
#include <QString>
#include <QVector>

#include <memory>

struct LeaseFence;

// Table desc as rows: the UOO number (the row's key) and its parameter record.
struct ParamsRow
{
    quint32 uoo = 0;
    UooRParamsDesc record;
};
// Its members are all relocatable: vectors of rows grow by moving memory.
Q_DECLARE_TYPEINFO(ParamsRow, Q_MOVABLE_TYPE);

// Takes the rows of a read as it goes, a chunk at a time (on the reading thread).
class ParamsRowSink
{
public:
    virtual ~ParamsRowSink() = default;
    // The chunk may be moved from.
    virtual void takeRows(QVector<ParamsRow>& chunk) = 0;
};

// A row of table log, stamped when the action happened.
struct ParamsLogRow
{
    quint32 uoo = 0;
    int message = 0;
    QDateTime time;
    QString remark;
};
Q_DECLARE_TYPEINFO(ParamsLogRow, Q_MOVABLE_TYPE);

// Where the records, the action log and the accounts are kept.
struct StorageSettings
{
    enum class Backend { Sqlite, PostgreSql };
    Backend backend = Backend::Sqlite;
    // SQLite: the parameters file.
    QString paramsFile = QStringLiteral("./params_upd.db");
    // PostgreSQL: a libpq connection string.
    QString connection;
    // A node of a pair: every write carries its lease term (none: a single node).
    std::shared_ptr<LeaseFence> fence;
};

// What the parameter server asks of the store of its records: tables desc (one
// row per UOO) and log (the action log). An object is one connection and belongs
// to the thread that opened it; ParamsPersistence uses one on the main thread,
// one for the start-up read and one on its writer thread. Every call reports its
// failure instead of logging it, unless said otherwise.
class ParamsStore
{
public:
    // How an operation failed.
    enum class Failure {
        None,
        Locked,    // another connection holds the data; waiting may help
        Transient, // I/O, a full disk, a read-only file, an unreachable server: may work later
        Damaged,   // damaged data, no database, or tables of another shape
        Fenced,    // refused: another node of the pair holds a newer lease term
    };

    struct ReadReport
    {
        int rowsRead = 0;         // rows loaded (repaired ones included)
        int rowsRepaired = 0;     // rows with values of a wrong type or out of range
        int rowsSkipped = 0;      // rows whose key is no UOO number; left in place untouched
        int unreadableRanges = 0; // damaged stretches of the table stepped over
        Failure failure = Failure::None;
        QString error; // the driver's text of the failure
    };

    struct WriteReport
    {
        Failure failure = Failure::None;
        QString error;
        bool logRowsFailed = false; // the failure came from table log
        bool fileDamaged = false;   // the store itself is damaged and may be set aside
        // Table desc was found missing and made again (empty) since the last write.
        bool recordsTableRecreated = false;
    };

    // A store of the configured backend on a connection of that name (not yet open).
    static std::unique_ptr<ParamsStore> create(const StorageSettings& settings,
                                               const QString& connectionName);

    virtual ~ParamsStore() = default;

    // What the store is, for log lines: a file name, a database.
    virtual QString location() const = 0;
    // Opens the connection (a critical message on failure, unless quiet).
    virtual bool openConnection(bool quiet = false) = 0;
    // Sets the connection up and ensures the tables; what failed, with the
    // driver's text.
    virtual Failure prepareFile(QString* error) = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    // How long a statement waits for another connection's lock before failing.
    virtual void setBusyTimeoutMs(int ms) = 0;
    // Creates missing tables; true when they all exist afterwards.
    virtual bool checkDataConsistency() = 0;

    // Every readable row of desc in ascending order of the stored key. Rows with
    // values of a wrong type are repaired, rows whose key is no UOO number are
    // skipped, and sets larger than maxSetSize are not read (see the
    // implementations). A failure that is not damage ends the read with the rows
    // read so far. With a sink, the rows go to it in chunks of chunkRows as they
    // are read, and none are returned.
    virtual QVector<ParamsRow> readRecords(int maxSetSize, ReadReport* report,
                                           ParamsRowSink* sink = nullptr, int chunkRows = 0) = 0;
    // Writes (inserts or replaces) these records and appends these action-log rows
    // in one transaction; nothing of it stays on failure. An operator's scheduled
    // set is a batch of its one record, written before the operator hears "OK".
    virtual WriteReport writeBatch(const QVector<ParamsRow>& records,
                                   const QVector<ParamsLogRow>& log) = 0;

    // Whether a damaged store can be kept aside as a whole (a file can be
    // renamed); a database server's tables cannot: their rows stay where they are.
    virtual bool canSetAside() const { return true; }
    // A damaged store is kept aside (never deleted) under a name made of the
    // stamp: closes the connection; *aside is the name tried. False when it could
    // not be set aside, or the backend keeps no such copies.
    virtual bool setAside(const QString& stamp, QString* aside) = 0;
    // Copies every readable action-log row of a store set aside into this one;
    // the number of rows copied, or -1 when it cannot be read.
    virtual int copyLogFrom(const QString& aside) = 0;

protected:
    // Per-row messages of a read stop after this many; the caller logs the totals.
    static constexpr int MaxRowMessages = 10;

    // Finishes a row as read. A device's set stored larger than any upload is
    // cleared and asked for again; a new set larger than any device takes is
    // given up. A repaired row (by this, or by the caller: repaired) is
    // counted, and logged while *messages is under MaxRowMessages.
    static void finishReadRow(ParamsRow& row, bool repaired, bool deviceSetTooLarge,
                              bool newSetTooLarge, ReadReport* report, int* messages);
};
