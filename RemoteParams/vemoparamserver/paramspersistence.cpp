#include "paramspersistence.h"

#include "clock.h"
#include "paramsrowqueue.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QThread>

#include <algorithm>

namespace {

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
                                     const QString& fileName)
    : QObject(parent), m_source(source), m_clock(clock != nullptr ? clock : Clock::system()),
      m_fileName(fileName)
{
    m_mainDb = std::make_unique<ParamsDatabase>(m_clock, ParamsDatabase::DefaultConnectionName,
                                                m_fileName);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ParamsPersistence::flush);
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("params writer"));
    m_writerContext = new QObject;
    m_writerContext->moveToThread(m_thread);
    m_thread->start();
}

ParamsPersistence::~ParamsPersistence()
{
    finish();
}

// ---- loading -------------------------------------------------------------------

int ParamsPersistence::load(int maxSetSize, int lockWaitMs)
{
    m_maxSetSize = maxSetSize;
    int rowsRead = 0;
    if (tryLoad(lockWaitMs, &rowsRead, false) == LoadOutcome::Unavailable) {
        schedule(m_retryMs);
        return rowsRead;
    }
    m_loaded = true;
    startWriter();
    return rowsRead;
}

// Reads table desc on the writer thread with a connection of its own, and merges
// the rows into the source here as they come: reading and taking in overlap.
ParamsDatabase::ReadReport ParamsPersistence::readInto(int lockWaitMs)
{
    ParamsDatabase::ReadReport read;
    if (m_thread == nullptr || !m_thread->isRunning()) {
        // No writer thread (at the very end): read here.
        QVector<ParamsRow> rows = m_mainDb->readRecords(m_maxSetSize, &read);
        m_source->mergeStoredRows(rows);
        return read;
    }
    ParamsRowQueue queue;
    const int maxSetSize = m_maxSetSize;
    Clock* clock = m_clock;
    const QString fileName = m_fileName;
    QMetaObject::invokeMethod(
        m_writerContext,
        [&queue, maxSetSize, clock, fileName, lockWaitMs] {
            ParamsDatabase reader(clock, QString::fromLatin1(ReaderConnectionName), fileName);
            ParamsDatabase::ReadReport result;
            if (reader.openConnection(true)) {
                reader.setBusyTimeoutMs(lockWaitMs);
                reader.readRecords(maxSetSize, &result, &queue, ReadChunkRows);
            } else {
                result.failure = ParamsDatabase::Failure::Transient;
                result.error = QStringLiteral("not open");
            }
            queue.close(result);
        },
        Qt::QueuedConnection);
    QVector<ParamsRow> chunk;
    while (queue.next(&chunk)) {
        m_source->mergeStoredRows(chunk);
    }
    return queue.report();
}

ParamsPersistence::LoadOutcome ParamsPersistence::tryLoad(int lockWaitMs, int* rowsRead,
                                                          bool quiet)
{
    *rowsRead = 0;
    const bool report = !quiet || !m_loadFailureLogged;
    if (!m_mainDb->isOpen() && !m_mainDb->openConnection(!report)) {
        if (report) {
            qCritical().noquote().nospace()
                << "ERROR: БД параметров не загружена: файл не открывается; "
                   "записи будут сохраняться, когда файл откроется и будет "
                   "прочитан";
            m_loadFailureLogged = true;
        }
        return LoadOutcome::Unavailable;
    }
    m_mainDb->setBusyTimeoutMs(lockWaitMs);
    ParamsDatabase::ReadReport read;
    QString error;
    const ParamsDatabase::Failure prepared = m_mainDb->prepareFile(&error);
    if (prepared == ParamsDatabase::Failure::None) {
        read = readInto(lockWaitMs);
        *rowsRead = read.rowsRead;
    } else {
        read.failure = prepared;
        read.error = error;
    }
    m_mainDb->setBusyTimeoutMs(WriteLockWaitMs);

    if ((read.rowsRepaired > 0 || read.rowsSkipped > 0) &&
        (report || read.failure == ParamsDatabase::Failure::None)) {
        qCritical().noquote().nospace() << "ERROR: При загрузке БД параметров исправлено записей: "
                                        << QString::number(read.rowsRepaired)
                                        << ", оставлено без изменений строк не с номером УОО: "
                                        << QString::number(read.rowsSkipped);
    }
    switch (read.failure) {
    case ParamsDatabase::Failure::None:
        return LoadOutcome::Complete;
    case ParamsDatabase::Failure::Damaged:
        if (m_damageReported) {
            return LoadOutcome::Unavailable; // could not be moved aside before
        }
        m_damageReported = true;
        qCritical().noquote().nospace()
            << "ERROR: БД параметров повреждена: " << read.error
            << "; прочитано записей: " << QString::number(read.rowsRead)
            << ", пропущено повреждённых участков: " << QString::number(read.unreadableRanges);
        if (replaceDamagedFile(true)) {
            return LoadOutcome::Replaced;
        }
        m_loadFailureLogged = true;
        return LoadOutcome::Unavailable;
    case ParamsDatabase::Failure::Locked:
    case ParamsDatabase::Failure::Transient:
        break;
    }
    if (report) {
        qCritical().noquote().nospace()
            << "ERROR: Загрузка БД параметров не завершена: " << read.error
            << "; прочитано записей: " << QString::number(read.rowsRead)
            << ". Записи будут сохраняться после полного чтения файла; "
               "повтор каждые несколько секунд";
        m_loadFailureLogged = true;
    }
    return LoadOutcome::Unavailable;
}

// With seed, the fresh file is written with the records as they stand (they hold
// every row that could be read) before the log rows are copied.
bool ParamsPersistence::replaceDamagedFile(bool seed)
{
    m_mainDb->close();
    const QString stamp = m_clock->currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = m_fileName + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFile::exists(aside); ++n) {
        aside = m_fileName + QStringLiteral(".damaged-") + stamp + QLatin1Char('-') +
                QString::number(n);
    }
    // Renamed, never deleted: the damaged file keeps whatever could not be read.
    if (!QFile::rename(m_fileName, aside)) {
        qCritical().noquote().nospace()
            << "ERROR: Повреждённый файл БД параметров не удалось переименовать в " << aside
            << "; работа продолжается с прочитанными записями";
        m_mainDb->openConnection(true);
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        const QString companion = m_fileName + QLatin1String(suffix);
        if (QFile::exists(companion) && !QFile::rename(companion, aside + QLatin1String(suffix))) {
            qCritical().noquote().nospace()
                << "ERROR: Файл " << companion << " не удалось переименовать";
        }
    }
    m_movedAside = aside;
    QString error;
    if (!m_mainDb->openConnection(false) ||
        m_mainDb->prepareFile(&error) != ParamsDatabase::Failure::None) {
        qCritical().noquote().nospace() << "ERROR: Новый файл БД параметров не создан: " << error;
        return false;
    }
    m_mainDb->setBusyTimeoutMs(WriteLockWaitMs);
    const QVector<ParamsRow> rows =
        seed ? snapshot(m_source->persistedCodes()) : QVector<ParamsRow>();
    const ParamsDatabase::WriteReport seeded = m_mainDb->writeBatch(rows, {});
    if (seeded.failure != ParamsDatabase::Failure::None) {
        // The rows wait in memory like any other unwritten change.
        for (const ParamsRow& row : rows) {
            m_dirty.insert(row.uoo);
        }
    }
    const int logCopied = m_mainDb->copyLogFrom(aside);
    qCritical().noquote().nospace()
        << "ERROR: Повреждённый файл БД параметров сохранён как " << aside
        << "; новый файл создан, в него записано записей: "
        << QString::number(seeded.failure == ParamsDatabase::Failure::None ? rows.size() : 0)
        << ", строк журнала: " << QString::number(qMax(0, logCopied));
    return true;
}

// ---- the writer thread -----------------------------------------------------------

bool ParamsPersistence::startWriter()
{
    if (m_writerOpen) {
        return true;
    }
    bool opened = false;
    QMetaObject::invokeMethod(
        m_writerContext,
        [this, &opened] {
            if (!m_writerDb) {
                m_writerDb = std::make_unique<ParamsDatabase>(
                    m_clock, QString::fromLatin1(WriterConnectionName), m_fileName);
            }
            opened = m_writerDb->openConnection(true);
            if (opened) {
                m_writerDb->setBusyTimeoutMs(WriteLockWaitMs);
            }
        },
        Qt::BlockingQueuedConnection);
    m_writerOpen = opened;
    return opened;
}

void ParamsPersistence::stopWriter()
{
    if (m_thread == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        m_writerContext, [this] { m_writerDb.reset(); }, Qt::BlockingQueuedConnection);
    m_writerOpen = false;
    m_thread->quit();
    m_thread->wait();
    delete m_writerContext;
    m_writerContext = nullptr;
    delete m_thread;
    m_thread = nullptr;
}

// ---- changes ---------------------------------------------------------------------

void ParamsPersistence::markDirty(quint32 code)
{
    if (m_finished) {
        return;
    }
    m_dirty.insert(code);
    if (!m_timer.isActive() && !m_inFlight) {
        m_timer.start(PersistDelayMs);
    }
}

void ParamsPersistence::logAction(quint32 uoo, int message, const QString& remark)
{
    if (m_finished) {
        return;
    }
    if (m_log.size() >= static_cast<size_t>(MaxWaitingLogRows)) {
        if (m_droppedLogRows++ == 0) {
            qCritical().noquote().nospace()
                << "ERROR: Журнал действий: ждут записи в БД параметров "
                << QString::number(MaxWaitingLogRows)
                << " строк; новые строки отбрасываются до восстановления записи";
        }
        return;
    }
    m_log.push_back({uoo, message, m_clock->currentDateTime(), remark});
    if (!m_timer.isActive() && !m_inFlight) {
        m_timer.start(PersistDelayMs);
    }
}

int ParamsPersistence::unsavedRecords() const
{
    return m_dirty.size() + m_inFlightCodes.size();
}

void ParamsPersistence::schedule(int delayMs)
{
    if (!m_finished) {
        m_timer.start(delayMs);
    }
}

QVector<ParamsRow> ParamsPersistence::snapshot(const QVector<quint32>& codes) const
{
    QVector<ParamsRow> rows;
    rows.reserve(codes.size());
    for (quint32 code : codes) {
        if (const UooRParamsDesc* record = m_source->persistedRecord(code)) {
            rows.append({code, *record});
        }
    }
    return rows;
}

QVector<ParamsLogRow> ParamsPersistence::logRows(int count) const
{
    QVector<ParamsLogRow> rows;
    rows.reserve(count);
    std::copy(m_log.begin(), m_log.begin() + count, std::back_inserter(rows));
    return rows;
}

void ParamsPersistence::flush()
{
    if (m_finished) {
        return;
    }
    if (!m_loaded) {
        int rowsRead = 0;
        const LoadOutcome outcome = tryLoad(RetryLockWaitMs, &rowsRead, true);
        if (outcome == LoadOutcome::Unavailable) {
            schedule(m_retryMs);
            m_retryMs = qMin(m_retryMs * 2, RetryMaxMs);
            return;
        }
        // A replaced file was seeded with every record as it stands.
        m_loaded = true;
        m_retryMs = RetryFirstMs;
        qCritical().noquote().nospace()
            << "БД параметров прочитана: записей " << QString::number(rowsRead)
            << "; ждут записи: записей " << QString::number(unsavedRecords()) << ", строк журнала "
            << QString::number(unsavedLogRows());
    }
    if (m_inFlight) {
        return; // the batch under way schedules the next
    }
    if (!m_writerOpen && !startWriter()) {
        ParamsDatabase::WriteReport report;
        report.failure = ParamsDatabase::Failure::Transient;
        report.error = QStringLiteral("файл не открывается");
        ++m_writeFailures;
        noteFailure(report);
        schedule(m_retryMs);
        m_retryMs = qMin(m_retryMs * 2, RetryMaxMs);
        return;
    }
    if (m_dirty.isEmpty() && m_log.empty()) {
        return;
    }
    QVector<quint32> codes;
    codes.reserve(qMin(m_dirty.size(), BatchMaxRecords));
    for (auto it = m_dirty.begin(); it != m_dirty.end() && codes.size() < BatchMaxRecords;) {
        codes.append(*it);
        it = m_dirty.erase(it);
    }
    std::sort(codes.begin(), codes.end());
    QVector<ParamsRow> records = snapshot(codes);
    const int logCount = static_cast<int>(qMin(m_log.size(), size_t(BatchMaxLogRows)));
    QVector<ParamsLogRow> log = logRows(logCount);
    m_inFlight = true;
    m_inFlightCodes = std::move(codes);
    const bool recheckTables = m_failing;
    QMetaObject::invokeMethod(
        m_writerContext,
        [this, records = std::move(records), log = std::move(log), recheckTables, logCount] {
            if (recheckTables) {
                // A table removed by hand comes back before the retry.
                m_writerDb->checkDataConsistency();
            }
            const ParamsDatabase::WriteReport report = m_writerDb->writeBatch(records, log);
            QMetaObject::invokeMethod(
                this, [this, report, logCount] { batchDone(report, logCount); },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void ParamsPersistence::batchDone(const ParamsDatabase::WriteReport& report, int logRows)
{
    m_inFlight = false;
    if (report.failure == ParamsDatabase::Failure::None) {
        const int waitingRecords = unsavedRecords();
        const int waitingLog = unsavedLogRows();
        m_log.erase(m_log.begin(), m_log.begin() + logRows);
        m_inFlightCodes.clear();
        if (m_failing) {
            m_failing = false;
            qCritical().noquote().nospace()
                << "БД параметров снова записывается; ждали записи: записей "
                << QString::number(waitingRecords) << ", строк журнала "
                << QString::number(waitingLog) << ", отброшено строк журнала "
                << QString::number(m_droppedLogRows);
        }
        m_retryMs = RetryFirstMs;
        if (m_dirty.size() >= BatchMaxRecords || m_log.size() >= size_t(BatchMaxLogRows)) {
            schedule(0); // a backlog: the next batch at once
        } else if (!m_dirty.isEmpty() || !m_log.empty()) {
            schedule(PersistDelayMs);
        }
        return;
    }
    for (quint32 code : qAsConst(m_inFlightCodes)) {
        m_dirty.insert(code);
    }
    m_inFlightCodes.clear();
    ++m_writeFailures;
    noteFailure(report);
    if (report.fileDamaged && !m_finished) {
        // The file went bad under us: keep it aside and write everything afresh.
        QMetaObject::invokeMethod(
            m_writerContext, [this] { m_writerDb->close(); }, Qt::BlockingQueuedConnection);
        m_writerOpen = false;
        if (replaceDamagedFile(false)) {
            for (quint32 code : m_source->persistedCodes()) {
                m_dirty.insert(code);
            }
        }
        startWriter();
    }
    schedule(m_retryMs);
    m_retryMs = qMin(m_retryMs * 2, RetryMaxMs);
}

void ParamsPersistence::noteFailure(const ParamsDatabase::WriteReport& report)
{
    if (m_failing) {
        return;
    }
    m_failing = true;
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
    const UooRParamsDesc* record = m_source->persistedRecord(code);
    if (m_finished || record == nullptr) {
        return false;
    }
    if (!m_loaded || (!m_writerOpen && !startWriter())) {
        qCritical().noquote().nospace() << "ERROR: Операция с УОО " << QString::number(code)
                                        << " не принята: БД параметров недоступна для записи";
        return false;
    }
    const QVector<ParamsRow> rows{{code, *record}};
    ParamsDatabase::WriteReport report;
    // Queued behind a batch under way, so that an older copy of the record
    // cannot be written after this one.
    QMetaObject::invokeMethod(
        m_writerContext, [this, &rows, &report] { report = m_writerDb->writeBatch(rows, {}); },
        Qt::BlockingQueuedConnection);
    if (report.failure != ParamsDatabase::Failure::None) {
        ++m_writeFailures;
        qCritical().noquote().nospace()
            << "ERROR: Операция с УОО " << QString::number(code)
            << " не принята: ошибка записи в БД параметров: " << report.error;
        return false;
    }
    return true;
}

void ParamsPersistence::finish()
{
    if (m_finished) {
        return;
    }
    m_finished = true;
    m_timer.stop();
    if (m_thread != nullptr) {
        // Let a batch under way end and take its result.
        QMetaObject::invokeMethod(
            m_writerContext, [] {}, Qt::BlockingQueuedConnection);
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    if (!m_loaded) {
        int rowsRead = 0;
        const LoadOutcome outcome = tryLoad(WriteLockWaitMs, &rowsRead, true);
        if (outcome != LoadOutcome::Unavailable) {
            m_loaded = true; // a replaced file was seeded with every record
        }
    }
    const int records = unsavedRecords();
    const int logCount = unsavedLogRows();
    if (records > 0 || logCount > 0) {
        ParamsDatabase::WriteReport report;
        if (m_loaded && startWriter()) {
            QVector<quint32> codes(m_dirty.begin(), m_dirty.end());
            std::sort(codes.begin(), codes.end());
            const QVector<ParamsRow> rows = snapshot(codes);
            const QVector<ParamsLogRow> log = logRows(logCount);
            QMetaObject::invokeMethod(
                m_writerContext,
                [this, &rows, &log, &report] {
                    m_writerDb->checkDataConsistency();
                    report = m_writerDb->writeBatch(rows, log);
                },
                Qt::BlockingQueuedConnection);
        } else {
            report.failure = ParamsDatabase::Failure::Transient;
            report.error = QStringLiteral("файл не прочитан");
        }
        if (report.failure == ParamsDatabase::Failure::None) {
            m_dirty.clear();
            m_log.clear();
        } else {
            ++m_writeFailures;
            qCritical().noquote() << "Ошибка записи в БД параметров: " << report.error;
            qCritical().noquote().nospace()
                << "ERROR: При остановке не записаны в БД параметров записей: "
                << QString::number(records) << ", строк журнала: " << QString::number(logCount);
        }
    }
    stopWriter();
    m_mainDb->close();
}
