#pragma once

#include "paramsstore.h"

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

// Keeps the store of the records (params_upd.db by default) in step with the records: loads them at start-up, writes
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
                               const StorageSettings& storage = StorageSettings());
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

    bool isLoaded() const { return loaded; }
    bool isWriteFailing() const { return failing; }
    // Records changed and not yet in the file (including a batch under way).
    int unsavedRecords() const;
    // Action-log rows not yet in the file.
    int unsavedLogRows() const { return static_cast<int>(logQueue.size()); }
    // Failed write attempts since start-up, and action-log rows dropped.
    quint64 writeFailures() const { return failedWrites; }
    quint64 droppedLogRows() const { return droppedLog; }
    // A write was refused because another node of the pair holds a newer lease
    // term: nothing is written any more (it would overwrite the newer term's
    // records); what waits stays unwritten.
    bool isFenced() const { return fenced; }

signals:
    void writeFenced();

private slots:
    void flush();

private:
    enum class LoadOutcome { Complete, Unavailable, Replaced };

    LoadOutcome tryLoad(int lockWaitMs, int* rowsRead, bool quiet);
    ParamsStore::ReadReport readInto(int lockWaitMs);
    bool replaceDamagedFile(bool seed);
    bool startWriter();
    void stopWriter();
    void schedule(int delayMs);
    void batchDone(const ParamsStore::WriteReport& report, int logRows);
    QVector<ParamsRow> snapshot(const QVector<quint32>& codes) const;
    QVector<ParamsLogRow> logRows(int count) const;
    void noteFailure(const ParamsStore::WriteReport& report);
    void noteFenced(const ParamsStore::WriteReport& report);

    ParamsRecordSource* source = nullptr;
    Clock* clock = nullptr;
    StorageSettings storage;
    int setSizeLimit = 0;
    std::unique_ptr<ParamsStore> mainStore;
    // Used only on writerThread, through writerContext.
    std::unique_ptr<ParamsStore> writerStore;
    QThread* writerThread = nullptr;
    QObject* writerContext = nullptr;
    bool writerOpen = false;
    bool loaded = false;
    bool finished = false;
    QSet<quint32> dirty;
    std::deque<ParamsLogRow> logQueue;
    QTimer timer;
    bool inFlight = false;
    QVector<quint32> inFlightCodes;
    bool failing = false;
    int retryMs = RetryFirstMs;
    quint64 failedWrites = 0;
    quint64 droppedLog = 0;
    bool loadFailureLogged = false;
    bool damageReported = false;
    bool fenced = false;
};
