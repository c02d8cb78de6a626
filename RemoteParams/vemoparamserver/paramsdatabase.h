#pragma once

#include "uoorparamsdesc.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

class Clock;

// Table desc as rows: the UOO number (the row's key) and its parameter record.
struct ParamsRow
{
    quint32 uoo = 0;
    UooRParamsDesc record;
};

// A row to write; the record stays owned by the caller for the duration of the call.
struct ParamsRowRef
{
    quint32 uoo = 0;
    const UooRParamsDesc* record = nullptr;
};

// The parameters database params_upd.db: per-UOO parameter records (table desc)
// and the action log (table log). All SQL on this file lives here.
class ParamsDatabase
{
public:
    static constexpr const char* DefaultConnectionName = "vemo_params";
    static constexpr const char* DefaultFileName = "./params_upd.db";

    explicit ParamsDatabase(Clock* clock, const QString& connectionName = DefaultConnectionName,
                            const QString& fileName = DefaultFileName);
    ~ParamsDatabase();
    ParamsDatabase(const ParamsDatabase&) = delete;
    ParamsDatabase& operator=(const ParamsDatabase&) = delete;

    // Adds the connection and opens the file; on success sets WAL journaling and
    // ensures both tables. False (with its critical message) when the file does
    // not open.
    bool open();
    bool isOpen() const;
    void close();

    // Creates missing tables (log, then desc); true when both exist afterwards.
    bool checkDataConsistency();
    // Every row of desc (ascending by UOO number); on a read error, the rows read
    // so far.
    QVector<ParamsRow> loadFromDb();
    // Rewrites table desc with exactly these rows, atomically: on any failure the
    // rows held before stay.
    bool saveToDb(const QVector<ParamsRowRef>& rows);
    // Writes (inserts or replaces) just these rows in one transaction.
    bool saveRecords(const QVector<ParamsRowRef>& rows);
    // Appends one row to table log stamped with the current local time.
    bool logParamAction(quint32 uoo, int message, const QString& remark);

private:
    bool writeRows(const QString& statement, const QVector<ParamsRowRef>& rows, bool deleteFirst);

    Clock* m_clock = nullptr;
    QString m_connectionName;
    QString m_fileName;
    QSqlDatabase m_db;
};
