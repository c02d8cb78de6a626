#pragma once

#include "paramsdatabase.h"

#include <QObject>
#include <QSet>
#include <QTimer>

#include <deque>
#include <memory>

class Clock;
class QThread;

// What the persistence reads from and hands to the owner of the records.
class ParamsRecordSource
{
public:
    virtual ~ParamsRecordSource() = default;
    // The code's current record, or null when there is none.
    virtual const UooRParamsDesc* persistedRecord(quint32 code) const = 0;
    // Every code that has a record.
    virtual QVector<quint32> persistedCodes() const = 0;
    // Stored rows that could be read only after start-up; the owner takes those
    // it has no record of and marks what it changed.
    virtual void mergeStoredRows(const QVector<ParamsRow>& rows) = 0;
};

// Keeps params_upd.db in step with the records: loads them at start-up, writes
// changed records and the action log in batches on a writer thread of its own,
// retries failed writes until they work, and writes operator actions at once.
//
// Rules: a stored row is never deleted, and never overwritten before the rows of
// the file have been read; records are written as whole rows (insert or
// replace), only those that changed. See the README ("The parameters file").
class ParamsPersistence : public QObject
{
    Q_OBJECT
public:
    // A changed record reaches the file within about this delay.
    static constexpr int PersistDelayMs = 1000;
    // One batch: at most this many records and action-log rows.
    static constexpr int BatchMaxRecords = 10000;
    static constexpr int BatchMaxLogRows = 20000;
    // Action-log rows waiting for the file; past this, new rows are dropped
    // (counted and logged). Changed records always wait: they are the records.
    static constexpr int MaxWaitingLogRows = 1000000;
    // Retries of a failed write or load: first after this, doubling up to the cap.
    static constexpr int RetryFirstMs = 500;
    static constexpr int RetryMaxMs = 4000;
    // Waits for another connection's lock: at start-up, and for each write.
    static constexpr int StartLockWaitMs = 3000;
    static constexpr int WriteLockWaitMs = 2000;

    explicit ParamsPersistence(ParamsRecordSource* source, Clock* clock, QObject* parent = nullptr,
                               const QString& fileName = ParamsDatabase::DefaultFileName);
    ~ParamsPersistence() override;

    // Opens the file and reads table desc (waiting at most lockWaitMs for a lock),
    // handing the rows to the source as they are read (the reading itself runs on
    // the writer thread). A damaged file is moved aside and a fresh one is seeded
    // with what was readable; a file that cannot be read now is read again later
    // (the records are written only after that). Returns the rows read.
    int load(int maxSetSize, int lockWaitMs = StartLockWaitMs);

    void markDirty(quint32 code);
    // Queues an action-log row stamped with the current local time.
    void logAction(quint32 uoo, int message, const QString& remark = QString());
    // Writes the code's record now, after every batch already under way; true when
    // it is in the file.
    bool writeNow(quint32 code);
    // Writes everything not yet written and closes the file (also at destruction).
    void finish();

    bool isLoaded() const { return m_loaded; }
    bool isWriteFailing() const { return m_failing; }
    // Records changed and not yet in the file (including a batch under way).
    int unsavedRecords() const;
    // Action-log rows not yet in the file.
    int unsavedLogRows() const { return static_cast<int>(m_log.size()); }
    // Failed write attempts since start-up, and action-log rows dropped.
    quint64 writeFailures() const { return m_writeFailures; }
    quint64 droppedLogRows() const { return m_droppedLogRows; }
    // Where the last damaged file was moved to; empty when none was.
    QString movedAsideFile() const { return m_movedAside; }

private slots:
    void flush();

private:
    enum class LoadOutcome { Complete, Unavailable, Replaced };

    LoadOutcome tryLoad(int lockWaitMs, int* rowsRead, bool quiet);
    ParamsDatabase::ReadReport readInto(int lockWaitMs);
    bool replaceDamagedFile(bool seed);
    bool startWriter();
    void stopWriter();
    void schedule(int delayMs);
    void batchDone(const ParamsDatabase::WriteReport& report, int logRows);
    QVector<ParamsRow> snapshot(const QVector<quint32>& codes) const;
    QVector<ParamsLogRow> logRows(int count) const;
    void noteFailure(const ParamsDatabase::WriteReport& report);

    ParamsRecordSource* m_source = nullptr;
    Clock* m_clock = nullptr;
    QString m_fileName;
    int m_maxSetSize = 0;
    std::unique_ptr<ParamsDatabase> m_mainDb;
    // Used only on m_thread, through m_writerContext.
    std::unique_ptr<ParamsDatabase> m_writerDb;
    QThread* m_thread = nullptr;
    QObject* m_writerContext = nullptr;
    bool m_writerOpen = false;
    bool m_loaded = false;
    bool m_finished = false;
    QSet<quint32> m_dirty;
    std::deque<ParamsLogRow> m_log;
    QTimer m_timer;
    bool m_inFlight = false;
    QVector<quint32> m_inFlightCodes;
    bool m_failing = false;
    int m_retryMs = RetryFirstMs;
    quint64 m_writeFailures = 0;
    quint64 m_droppedLogRows = 0;
    bool m_loadFailureLogged = false;
    bool m_damageReported = false;
    QString m_movedAside;
};
