#include "paramspersistence.h"

#include "clock.h"
#include "paramsrowqueue.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QThread>

#include <algorithm>

namespace {

const char* const MainConnectionName = "vemo_params";
const char* const WriterConnectionName = "vemo_params_writer";
const char* const ReaderConnectionName = "vemo_params_reader";
// Rows handed over from the reading thread at a time.
constexpr int ReadChunkRows = 16384;
// A load retried while the server runs waits only this long for a lock. That
// bounds only the wait: once the file is free, the rows are read on the writer
// thread but taken in here as they come, so the main thread is held until the
// whole table has been read, as long as the start-up read of the same file.
constexpr int RetryLockWaitMs = 50;

} // namespace

ParamsPersistence::ParamsPersistence(ParamsRecordSource* source, Clock* clock, QObject* parent,
                                     const StorageSettings& storage)
    : QObject(parent), source(source), clock(clock != nullptr ? clock : Clock::system()),
      storage(storage)
{
    mainStore = ParamsStore::create(storage, QString::fromLatin1(MainConnectionName));
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &ParamsPersistence::flush);
    writerThread = new QThread(this);
    writerThread->setObjectName(QStringLiteral("params writer"));
    writerContext = new QObject;
    writerContext->moveToThread(writerThread);
    writerThread->start();
}

ParamsPersistence::~ParamsPersistence()
{
    finish();
}

// ---- loading -------------------------------------------------------------------

int ParamsPersistence::load(int maxSetSize, int lockWaitMs)
{
    setSizeLimit = maxSetSize;
    int rowsRead = 0;
    if (tryLoad(lockWaitMs, &rowsRead, false) == LoadOutcome::Unavailable) {
        schedule(retryMs);
        return rowsRead;
    }
    loaded = true;
    startWriter();
    return rowsRead;
}

// Reads table desc on the writer thread with a connection of its own, and merges
// the rows into the source here as they come: reading and taking in overlap.
ParamsStore::ReadReport ParamsPersistence::readInto(int lockWaitMs)
{
    ParamsStore::ReadReport read;
    if (writerThread == nullptr || !writerThread->isRunning()) {
        // No writer thread (at the very end): read here.
        QVector<ParamsRow> rows = mainStore->readRecords(setSizeLimit, &read);
        source->mergeStoredRows(rows);
        return read;
    }
    ParamsRowQueue queue;
    const int maxSetSize = setSizeLimit;
    const StorageSettings settings = storage;
    QMetaObject::invokeMethod(
        writerContext,
        [&queue, maxSetSize, settings, lockWaitMs] {
            const std::unique_ptr<ParamsStore> reader =
                ParamsStore::create(settings, QString::fromLatin1(ReaderConnectionName));
            ParamsStore::ReadReport result;
            if (reader->openConnection(true)) {
                reader->setBusyTimeoutMs(lockWaitMs);
                reader->readRecords(maxSetSize, &result, &queue, ReadChunkRows);
            } else {
                result.failure = ParamsStore::Failure::Transient;
                result.error = QStringLiteral("not open");
            }
            queue.close(result);
        },
        Qt::QueuedConnection);
    QVector<ParamsRow> chunk;
    while (queue.next(&chunk)) {
        source->mergeStoredRows(chunk);
    }
    return queue.report();
}

ParamsPersistence::LoadOutcome ParamsPersistence::tryLoad(int lockWaitMs, int* rowsRead,
                                                          bool quiet)
{
    *rowsRead = 0;
    const bool report = !quiet || !loadFailureLogged;
    if (!mainStore->isOpen() && !mainStore->openConnection(!report)) {
        if (report) {
            qCritical().noquote().nospace()
                << "ERROR: БД параметров не загружена: файл не открывается; "
                   "записи будут сохраняться, когда файл откроется и будет "
                   "прочитан";
            loadFailureLogged = true;
        }
        return LoadOutcome::Unavailable;
    }
    mainStore->setBusyTimeoutMs(lockWaitMs);
    ParamsStore::ReadReport read;
    QString error;
    const ParamsStore::Failure prepared = mainStore->prepareFile(&error);
    if (prepared == ParamsStore::Failure::None) {
        read = readInto(lockWaitMs);
        *rowsRead = read.rowsRead;
    } else {
        read.failure = prepared;
        read.error = error;
    }
    mainStore->setBusyTimeoutMs(WriteLockWaitMs);

    if ((read.rowsRepaired > 0 || read.rowsSkipped > 0) &&
        (report || read.failure == ParamsStore::Failure::None)) {
        qCritical().noquote().nospace() << "ERROR: При загрузке БД параметров исправлено записей: "
                                        << QString::number(read.rowsRepaired)
                                        << ", оставлено без изменений строк не с номером УОО: "
                                        << QString::number(read.rowsSkipped);
    }
    switch (read.failure) {
    case ParamsStore::Failure::None:
        return LoadOutcome::Complete;
    case ParamsStore::Failure::Damaged:
        if (damageReported) {
            return LoadOutcome::Unavailable; // could not be moved aside before
        }
        damageReported = true;
        if (!mainStore->canSetAside()) {
            // Tables on a database server are not renamed, replaced nor emptied:
            // whatever is in them waits there for the administrator.
            qCritical().noquote().nospace()
                << "ERROR: БД параметров PostgreSQL прочитана не полностью, таблицы не "
                   "такого вида, как ожидалось: "
                << read.error << "; прочитано записей: " << QString::number(read.rowsRead)
                << ", исправлено: " << QString::number(read.rowsRepaired)
                << ", пропущено: " << QString::number(read.rowsSkipped)
                << ". Ничего не переименовано и не удалено, строки оставлены в базе как есть; "
                   "работа продолжается с прочитанными записями, они не записываются, "
                   "пока таблицы не исправлены";
            loadFailureLogged = true;
            return LoadOutcome::Unavailable;
        }
        qCritical().noquote().nospace()
            << "ERROR: БД параметров повреждена: " << read.error
            << "; прочитано записей: " << QString::number(read.rowsRead)
            << ", пропущено повреждённых участков: " << QString::number(read.unreadableRanges);
        if (replaceDamagedFile(true)) {
            return LoadOutcome::Replaced;
        }
        loadFailureLogged = true;
        return LoadOutcome::Unavailable;
    case ParamsStore::Failure::Locked:
    case ParamsStore::Failure::Transient:
    case ParamsStore::Failure::Fenced: // reads are never fenced
        break;
    }
    if (report) {
        qCritical().noquote().nospace()
            << "ERROR: Загрузка БД параметров не завершена: " << read.error
            << "; прочитано записей: " << QString::number(read.rowsRead)
            << ". Записи будут сохраняться после полного чтения файла; "
               "повтор каждые несколько секунд";
        loadFailureLogged = true;
    }
    return LoadOutcome::Unavailable;
}

// With seed, the fresh file is written with the records as they stand (they hold
// every row that could be read) before the log rows are copied.
bool ParamsPersistence::replaceDamagedFile(bool seed)
{
    const QString stamp = clock->currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside;
    if (!mainStore->setAside(stamp, &aside)) {
        qCritical().noquote().nospace()
            << "ERROR: Повреждённый файл БД параметров не удалось переименовать в " << aside
            << "; работа продолжается с прочитанными записями";
        mainStore->openConnection(true);
        return false;
    }
    QString error;
    if (!mainStore->openConnection(false) ||
        mainStore->prepareFile(&error) != ParamsStore::Failure::None) {
        qCritical().noquote().nospace() << "ERROR: Новый файл БД параметров не создан: " << error;
        return false;
    }
    mainStore->setBusyTimeoutMs(WriteLockWaitMs);
    const QVector<ParamsRow> rows =
        seed ? snapshot(source->persistedCodes()) : QVector<ParamsRow>();
    const ParamsStore::WriteReport seeded = mainStore->writeBatch(rows, {});
    if (seeded.failure != ParamsStore::Failure::None) {
        // The rows wait in memory like any other unwritten change.
        for (const ParamsRow& row : rows) {
            dirty.insert(row.uoo);
        }
    }
    const int logCopied = mainStore->copyLogFrom(aside);
    qCritical().noquote().nospace()
        << "ERROR: Повреждённый файл БД параметров сохранён как " << aside
        << "; новый файл создан, в него записано записей: "
        << QString::number(seeded.failure == ParamsStore::Failure::None ? rows.size() : 0)
        << ", строк журнала: " << QString::number(qMax(0, logCopied));
    return true;
}

// ---- the writer thread -----------------------------------------------------------

bool ParamsPersistence::startWriter()
{
    if (writerOpen) {
        return true;
    }
    bool opened = false;
    QMetaObject::invokeMethod(
        writerContext,
        [this, &opened] {
            if (!writerStore) {
                writerStore =
                    ParamsStore::create(storage, QString::fromLatin1(WriterConnectionName));
            }
            opened = writerStore->openConnection(true);
            if (opened) {
                writerStore->setBusyTimeoutMs(WriteLockWaitMs);
            }
        },
        Qt::BlockingQueuedConnection);
    writerOpen = opened;
    return opened;
}

void ParamsPersistence::stopWriter()
{
    if (writerThread == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        writerContext, [this] { writerStore.reset(); }, Qt::BlockingQueuedConnection);
    writerOpen = false;
    writerThread->quit();
    writerThread->wait();
    delete writerContext;
    writerContext = nullptr;
    delete writerThread;
    writerThread = nullptr;
}

// ---- changes ---------------------------------------------------------------------

void ParamsPersistence::markDirty(quint32 code)
{
    if (finished) {
        return;
    }
    dirty.insert(code);
    if (!timer.isActive() && !inFlight) {
        timer.start(PersistDelayMs);
    }
}

void ParamsPersistence::logAction(quint32 uoo, int message, const QString& remark)
{
    if (finished) {
        return;
    }
    if (logQueue.size() >= static_cast<size_t>(MaxWaitingLogRows)) {
        if (droppedLog++ == 0) {
            qCritical().noquote().nospace()
                << "ERROR: Журнал действий: ждут записи в БД параметров "
                << QString::number(MaxWaitingLogRows)
                << " строк; новые строки отбрасываются до восстановления записи";
        }
        return;
    }
    logQueue.push_back({uoo, message, clock->currentDateTime(), remark});
    if (!timer.isActive() && !inFlight) {
        timer.start(PersistDelayMs);
    }
}

int ParamsPersistence::unsavedRecords() const
{
    return dirty.size() + inFlightCodes.size();
}

void ParamsPersistence::schedule(int delayMs)
{
    if (!finished) {
        timer.start(delayMs);
    }
}

QVector<ParamsRow> ParamsPersistence::snapshot(const QVector<quint32>& codes) const
{
    QVector<ParamsRow> rows;
    rows.reserve(codes.size());
    for (quint32 code : codes) {
        if (const UooRParamsDesc* record = source->persistedRecord(code)) {
            rows.append({code, *record});
        }
    }
    return rows;
}

QVector<ParamsLogRow> ParamsPersistence::logRows(int count) const
{
    QVector<ParamsLogRow> rows;
    rows.reserve(count);
    std::copy(logQueue.begin(), logQueue.begin() + count, std::back_inserter(rows));
    return rows;
}

void ParamsPersistence::flush()
{
    if (finished || fenced) {
        return;
    }
    if (!loaded) {
        int rowsRead = 0;
        const LoadOutcome outcome = tryLoad(RetryLockWaitMs, &rowsRead, true);
        if (outcome == LoadOutcome::Unavailable) {
            schedule(retryMs);
            retryMs = qMin(retryMs * 2, RetryMaxMs);
            return;
        }
        // A replaced file was seeded with every record as it stands.
        loaded = true;
        retryMs = RetryFirstMs;
        qCritical().noquote().nospace()
            << "БД параметров прочитана: записей " << QString::number(rowsRead)
            << "; ждут записи: записей " << QString::number(unsavedRecords()) << ", строк журнала "
            << QString::number(unsavedLogRows());
    }
    if (inFlight) {
        return; // the batch under way schedules the next
    }
    if (!writerOpen && !startWriter()) {
        ParamsStore::WriteReport report;
        report.failure = ParamsStore::Failure::Transient;
        report.error = QStringLiteral("файл не открывается");
        ++failedWrites;
        noteFailure(report);
        schedule(retryMs);
        retryMs = qMin(retryMs * 2, RetryMaxMs);
        return;
    }
    if (dirty.isEmpty() && logQueue.empty()) {
        return;
    }
    QVector<quint32> codes;
    codes.reserve(qMin(dirty.size(), BatchMaxRecords));
    for (auto it = dirty.begin(); it != dirty.end() && codes.size() < BatchMaxRecords;) {
        codes.append(*it);
        it = dirty.erase(it);
    }
    std::sort(codes.begin(), codes.end());
    QVector<ParamsRow> records = snapshot(codes);
    const int logCount = static_cast<int>(qMin(logQueue.size(), size_t(BatchMaxLogRows)));
    QVector<ParamsLogRow> log = logRows(logCount);
    inFlight = true;
    inFlightCodes = std::move(codes);
    const bool recheckTables = failing;
    QMetaObject::invokeMethod(
        writerContext,
        [this, records = std::move(records), log = std::move(log), recheckTables, logCount] {
            if (recheckTables) {
                // A table removed by hand comes back before the retry.
                writerStore->checkDataConsistency();
            }
            const ParamsStore::WriteReport report = writerStore->writeBatch(records, log);
            QMetaObject::invokeMethod(
                this, [this, report, logCount] { batchDone(report, logCount); },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void ParamsPersistence::batchDone(const ParamsStore::WriteReport& report, int logRows)
{
    inFlight = false;
    if (report.failure == ParamsStore::Failure::None) {
        const int waitingRecords = unsavedRecords();
        const int waitingLog = unsavedLogRows();
        logQueue.erase(logQueue.begin(), logQueue.begin() + logRows);
        inFlightCodes.clear();
        if (report.recordsTableRecreated) {
            // Table desc was made again, empty: every record goes into it.
            for (quint32 code : source->persistedCodes()) {
                dirty.insert(code);
            }
        }
        if (failing) {
            failing = false;
            qCritical().noquote().nospace()
                << "БД параметров снова записывается; ждали записи: записей "
                << QString::number(waitingRecords) << ", строк журнала "
                << QString::number(waitingLog) << ", отброшено строк журнала "
                << QString::number(droppedLog);
        }
        retryMs = RetryFirstMs;
        if (dirty.size() >= BatchMaxRecords || logQueue.size() >= size_t(BatchMaxLogRows)) {
            schedule(0); // a backlog: the next batch at once
        } else if (!dirty.isEmpty() || !logQueue.empty()) {
            schedule(PersistDelayMs);
        }
        return;
    }
    for (quint32 code : qAsConst(inFlightCodes)) {
        dirty.insert(code);
    }
    inFlightCodes.clear();
    ++failedWrites;
    if (report.failure == ParamsStore::Failure::Fenced) {
        noteFenced(report);
        return; // never retried
    }
    noteFailure(report);
    if (report.fileDamaged && !finished) {
        // The file went bad under us: keep it aside and write everything afresh.
        QMetaObject::invokeMethod(
            writerContext, [this] { writerStore->close(); }, Qt::BlockingQueuedConnection);
        writerOpen = false;
        if (replaceDamagedFile(false)) {
            for (quint32 code : source->persistedCodes()) {
                dirty.insert(code);
            }
        }
        startWriter();
    }
    schedule(retryMs);
    retryMs = qMin(retryMs * 2, RetryMaxMs);
}

void ParamsPersistence::noteFenced(const ParamsStore::WriteReport& report)
{
    if (fenced) {
        return;
    }
    fenced = true;
    timer.stop();
    qCritical().noquote().nospace()
        << "ERROR: Запись в БД параметров отклонена: " << report.error
        << "; не записаны записей: " << QString::number(unsavedRecords()) << ", строк журнала: "
        << QString::number(unsavedLogRows());
    emit writeFenced();
}

void ParamsPersistence::noteFailure(const ParamsStore::WriteReport& report)
{
    if (failing) {
        return;
    }
    failing = true;
    qCritical().noquote().nospace()
        << "Ошибка записи в БД параметров: " << report.error
        << "; запись повторяется, ждут записи: записей " << QString::number(unsavedRecords())
        << ", строк журнала " << QString::number(unsavedLogRows());
    if (report.logRowsFailed) {
        qWarning().noquote() << "SQL error in logParamAction: " << report.error;
    }
}

// ---- operator actions and the stop ----------------------------------------------------

bool ParamsPersistence::writeNow(quint32 code)
{
    const UooRParamsDesc* record = source->persistedRecord(code);
    if (finished || record == nullptr) {
        return false;
    }
    if (!loaded || fenced || (!writerOpen && !startWriter())) {
        qCritical().noquote().nospace() << "ERROR: Операция с УОО " << QString::number(code)
                                        << " не принята: БД параметров недоступна для записи";
        return false;
    }
    const QVector<ParamsRow> rows{{code, *record}};
    ParamsStore::WriteReport report;
    // Queued behind a batch under way, so that an older copy of the record
    // cannot be written after this one.
    QMetaObject::invokeMethod(
        writerContext, [this, &rows, &report] { report = writerStore->writeBatch(rows, {}); },
        Qt::BlockingQueuedConnection);
    if (report.failure != ParamsStore::Failure::None) {
        ++failedWrites;
        qCritical().noquote().nospace()
            << "ERROR: Операция с УОО " << QString::number(code)
            << " не принята: ошибка записи в БД параметров: " << report.error;
        if (report.failure == ParamsStore::Failure::Fenced) {
            noteFenced(report);
        }
        return false;
    }
    return true;
}

void ParamsPersistence::finish()
{
    if (finished) {
        return;
    }
    finished = true;
    timer.stop();
    if (writerThread != nullptr) {
        // Let a batch under way end and take its result.
        QMetaObject::invokeMethod(
            writerContext, [] {}, Qt::BlockingQueuedConnection);
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    if (!loaded) {
        int rowsRead = 0;
        const LoadOutcome outcome = tryLoad(WriteLockWaitMs, &rowsRead, true);
        if (outcome != LoadOutcome::Unavailable) {
            loaded = true; // a replaced file was seeded with every record
        }
    }
    const int records = unsavedRecords();
    const int logCount = unsavedLogRows();
    if (records > 0 || logCount > 0) {
        ParamsStore::WriteReport report;
        if (loaded && startWriter()) {
            QVector<quint32> codes(dirty.begin(), dirty.end());
            std::sort(codes.begin(), codes.end());
            const QVector<ParamsRow> rows = snapshot(codes);
            const QVector<ParamsLogRow> log = logRows(logCount);
            QMetaObject::invokeMethod(
                writerContext,
                [this, &rows, &log, &report] {
                    writerStore->checkDataConsistency();
                    report = writerStore->writeBatch(rows, log);
                },
                Qt::BlockingQueuedConnection);
        } else {
            report.failure = ParamsStore::Failure::Transient;
            report.error = QStringLiteral("файл не прочитан");
        }
        if (report.failure == ParamsStore::Failure::None) {
            dirty.clear();
            logQueue.clear();
        } else {
            ++failedWrites;
            qCritical().noquote() << "Ошибка записи в БД параметров: " << report.error;
            qCritical().noquote().nospace()
                << "ERROR: При остановке не записаны в БД параметров записей: "
                << QString::number(records) << ", строк журнала: " << QString::number(logCount);
        }
    }
    stopWriter();
    mainStore->close();
}
