#pragma once

#include "uoorparamsdesc.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

class Clock;
class QSqlError;
class QSqlQuery;

// Table desc as rows: the UOO number (the row's key) and its parameter record.
struct ParamsRow
{
    quint32 uoo = 0;
    UooRParamsDesc record;
};
// Its members are all relocatable: vectors of rows grow by moving memory.
Q_DECLARE_TYPEINFO(ParamsRow, Q_MOVABLE_TYPE);

// A row to write; the record stays owned by the caller for the duration of the call.
struct ParamsRowRef
{
    quint32 uoo = 0;
    const UooRParamsDesc* record = nullptr;
};

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

// The parameters database params_upd.db: per-UOO parameter records (table desc)
// and the action log (table log). All SQL on this file lives here.
//
// A connection belongs to the thread that opened it; the server uses one on the
// main thread that prepares the file, one on its writer thread for writing, and
// one its writer thread opens for reading table desc.
class ParamsDatabase
{
public:
    static constexpr const char* DefaultConnectionName = "vemo_params";
    static constexpr const char* DefaultFileName = "./params_upd.db";

    // How an operation on the file failed.
    enum class Failure {
        None,
        Locked,    // another connection holds the file; waiting may help
        Transient, // I/O, a full disk, a read-only file: may work later
        Damaged,   // a damaged file, not a database, or tables of another shape
    };

    struct ReadReport
    {
        int rowsRead = 0;         // rows loaded (repaired ones included)
        int rowsRepaired = 0;     // rows with values of a wrong type or out of range
        int rowsSkipped = 0;      // rows whose key is no UOO number; left in the file untouched
        int unreadableRanges = 0; // damaged stretches of the table stepped over
        Failure failure = Failure::None;
        QString error; // the driver's text of the failure
    };

    struct WriteReport
    {
        Failure failure = Failure::None;
        QString error;
        bool logRowsFailed = false; // the failure came from table log
        bool fileDamaged = false;   // the file itself is damaged or no database
    };

    explicit ParamsDatabase(Clock* clock, const QString& connectionName = DefaultConnectionName,
                            const QString& fileName = DefaultFileName);
    ~ParamsDatabase();
    ParamsDatabase(const ParamsDatabase&) = delete;
    ParamsDatabase& operator=(const ParamsDatabase&) = delete;

    QString fileName() const { return m_fileName; }

    // Adds the connection and opens the file; on success sets WAL journaling and
    // ensures both tables. False (with its critical message) when the file does
    // not open.
    bool open();
    // Only adds the connection and opens the file (critical message on failure,
    // unless quiet).
    bool openConnection(bool quiet = false);
    // WAL journaling and both tables; what failed, with the driver's text.
    Failure prepareFile(QString* error);
    bool isOpen() const;
    void close();
    // How long a statement waits for another connection's lock before failing.
    void setBusyTimeoutMs(int ms);

    // Creates missing tables (log, then desc); true when both exist afterwards.
    bool checkDataConsistency();
    // Every row of desc (ascending by UOO number); on a read error, the rows read
    // so far.
    QVector<ParamsRow> loadFromDb();
    // Every readable row of desc in ascending order of the stored key. Damaged
    // stretches are stepped over, rows with values of a wrong type are repaired
    // (see the source), and sets larger than maxSetSize are not read. A lock or
    // another failure that is not damage ends the read with the rows read so far.
    // With a sink, the rows go to it in chunks of chunkRows as they are read, and
    // none are returned.
    QVector<ParamsRow> readRecords(int maxSetSize, ReadReport* report,
                                   ParamsRowSink* sink = nullptr, int chunkRows = 0);
    // Copies every readable row of table log of another params file into this
    // one; the number of rows copied, or -1 when the other file cannot be read.
    int copyLogFrom(const QString& otherFile);

    // Rewrites table desc with exactly these rows, atomically: on any failure the
    // rows held before stay.
    bool saveToDb(const QVector<ParamsRowRef>& rows);
    // Writes (inserts or replaces) just these rows in one transaction.
    bool saveRecords(const QVector<ParamsRowRef>& rows);
    // Writes (inserts or replaces) these records and appends these action-log rows
    // in one transaction; nothing of it stays on failure. No log message of its own.
    WriteReport writeBatch(const QVector<ParamsRow>& records, const QVector<ParamsLogRow>& log);
    // Appends one row to table log stamped with the current local time.
    bool logParamAction(quint32 uoo, int message, const QString& remark);

    static Failure classify(const QSqlError& error);
    // A damaged file or one that is no database (not a lock, a constraint, a schema).
    static bool isFileDamage(const QSqlError& error);

private:
    bool writeRows(const QString& statement, const QVector<ParamsRowRef>& rows, bool deleteFirst);
    static void bindRecord(QSqlQuery& query, quint32 uoo, const UooRParamsDesc& record);
    static void bindLogRow(QSqlQuery& query, const ParamsLogRow& row);

    Clock* m_clock = nullptr;
    QString m_connectionName;
    QString m_fileName;
    QSqlDatabase m_db;
};
