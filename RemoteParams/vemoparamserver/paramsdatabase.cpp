#include "paramsdatabase.h"

#include <QDebug>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <limits>

namespace {

const char* const CreateLog = "CREATE TABLE log (id INTEGER PRIMARY KEY, message INTEGER, uoo "
                              "INTEGER, time INTEGER, remark INTEGER)";
const char* const CreateDesc =
    "CREATE TABLE desc (uoo INTEGER PRIMARY KEY, state INTEGER, writeLeft INTEGER, leftToSend "
    "INTEGER, device INTEGER, pversion INTEGER, uootime INTEGER, uootimetemp "
    "INTEGER,localtime INTEGER, uooparams INTEGER, localparams INTEGER)";
const char* const SelectDesc = "SELECT uoo, state, writeLeft, leftToSend, device, pversion, "
                               "uootime, uootimetemp, localtime, uooparams, localparams FROM desc";
const char* const DescColumns =
    "desc (uoo, state, writeLeft, leftToSend, device, pversion, uootime, uootimetemp, "
    "localtime, uooparams, localparams) VALUES (:uoo, :state, :writeLeft, :leftToSend, "
    ":device, :pversion, :uootime, :uootimetemp, :localtime, :uooparams, :localparams)";
const char* const InsertLog = "INSERT INTO log (message, uoo, time, remark) VALUES              "
                              "   (:message, :uoo, :time,:remark)";
// Reading for the load: sets larger than any device could send are not fetched,
// only flagged; :from is the lowest key of the pass (damaged stretches are
// stepped over by starting a new pass behind them).
const char* const SelectDescFrom =
    "SELECT uoo, state, writeLeft, leftToSend, device, pversion, uootime, uootimetemp, "
    "localtime, CASE WHEN length(uooparams) > :max1 THEN NULL ELSE uooparams END, "
    "CASE WHEN length(localparams) > :max2 THEN NULL ELSE localparams END, "
    "length(uooparams) > :max3, length(localparams) > :max4 FROM desc WHERE uoo >= :from "
    "ORDER BY uoo";
const char* const SelectLogFrom =
    "SELECT id, message, uoo, time, remark FROM log WHERE id >= :from ORDER BY id";
const char* const CopyLogRow =
    "INSERT OR IGNORE INTO log (id, message, uoo, time, remark) VALUES (:id, :message, :uoo, "
    ":time, :remark)";

// A file with more damaged stretches than this is not searched further.
constexpr int MaxUnreadableRanges = 10000;

using Failure = ParamsDatabase::Failure;

enum class Probe { Readable, Damaged, Failed };

// Runs the prepared pass statement from `from`; Readable when it yields a first
// row or ends cleanly.
Probe probeFrom(QSqlQuery& query, qint64 from, QSqlError* error)
{
    query.bindValue(QStringLiteral(":from"), from);
    if (query.exec() && (query.next() || !query.lastError().isValid())) {
        query.finish();
        return Probe::Readable;
    }
    *error = query.lastError();
    query.finish();
    return ParamsDatabase::classify(*error) == Failure::Damaged ? Probe::Damaged : Probe::Failed;
}

// Reads a table in ascending order of its integer key with the prepared pass
// statement (which has a ":from" bound). When a pass stops at damage, the first
// readable key behind it is searched (doubling steps, then halving) and a new
// pass starts there. onRow returns the key of the row it was given.
template <typename OnRow>
Failure scanReadable(QSqlQuery& query, OnRow onRow, int* ranges, QString* errorText)
{
    constexpr qint64 KeyMax = std::numeric_limits<qint64>::max();
    qint64 from = std::numeric_limits<qint64>::min();
    Failure result = Failure::None;
    for (;;) {
        QSqlError error;
        bool readAny = false;
        qint64 last = from;
        query.bindValue(QStringLiteral(":from"), from);
        if (query.exec()) {
            while (query.next()) {
                last = onRow(query);
                readAny = true;
            }
            if (!query.lastError().isValid()) {
                query.finish();
                return result;
            }
        }
        error = query.lastError();
        query.finish();
        const Failure failure = ParamsDatabase::classify(error);
        *errorText = error.text();
        if (failure != Failure::Damaged) {
            return failure;
        }
        result = Failure::Damaged;
        if (++*ranges > MaxUnreadableRanges || (readAny && last == KeyMax)) {
            return result;
        }
        // `bad` is a key known (or taken) to lead into the damage.
        qint64 bad = readAny ? last + 1 : from;
        qint64 step = 1;
        qint64 good = 0;
        bool found = false;
        while (step <= KeyMax - bad) {
            const qint64 key = bad + step;
            const Probe probe = probeFrom(query, key, &error);
            if (probe == Probe::Failed) {
                *errorText = error.text();
                return ParamsDatabase::classify(error);
            }
            if (probe == Probe::Readable) {
                good = key;
                found = true;
                break;
            }
            bad = key;
            step = step > KeyMax / 2 ? KeyMax : step * 2;
        }
        if (!found) {
            return result;
        }
        while (good - bad > 1) {
            const qint64 mid = bad + (good - bad) / 2;
            const Probe probe = probeFrom(query, mid, &error);
            if (probe == Probe::Failed) {
                *errorText = error.text();
                return ParamsDatabase::classify(error);
            }
            (probe == Probe::Readable ? good : bad) = mid;
        }
        from = good;
    }
}

bool isInteger(const QVariant& value)
{
    return !value.isNull() &&
           (value.type() == QVariant::LongLong || value.type() == QVariant::Int ||
            value.type() == QVariant::ULongLong || value.type() == QVariant::UInt);
}

// An integer column within [low, high], or `fallback` (and *repaired) otherwise.
int intColumn(const QVariant& value, int low, int high, int fallback, bool* repaired)
{
    if (isInteger(value)) {
        const qint64 number = value.toLongLong();
        if (number >= low && number <= high) {
            return static_cast<int>(number);
        }
    }
    *repaired = true;
    return fallback;
}

QString textColumn(const QVariant& value, bool* repaired)
{
    // The columns are declared INTEGER: a text that reads as a number (a
    // parameter version "1", say) is stored as that number, and comes back as it.
    switch (static_cast<int>(value.type())) {
    case QVariant::String:
    case QVariant::Int:
    case QVariant::LongLong:
    case QVariant::Double:
        break;
    default:
        *repaired = *repaired || !value.isNull();
        break;
    }
    return value.toString();
}

QDateTime timeColumn(const QVariant& value, bool* repaired)
{
    // A null time is stored as NULL or as an empty text.
    if (value.isNull() || (value.type() == QVariant::String && value.toString().isEmpty())) {
        return QDateTime();
    }
    const QDateTime time = value.toDateTime();
    if (!time.isValid()) {
        *repaired = true;
        return QDateTime();
    }
    return time;
}

QByteArray bytesColumn(const QVariant& value, bool* repaired)
{
    if (!value.isNull() && value.type() != QVariant::ByteArray) {
        *repaired = true;
    }
    return value.toByteArray();
}

} // namespace

ParamsDatabase::ParamsDatabase(const QString& connection, const QString& file)
    : connectionName(connection), databaseFile(file)
{
}

ParamsDatabase::~ParamsDatabase()
{
    close();
    if (db.isValid()) {
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    }
}

bool ParamsDatabase::open()
{
    if (!openConnection()) {
        return false;
    }
    QString error;
    prepareFile(&error);
    return true;
}

bool ParamsDatabase::openConnection(bool quiet)
{
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    }
    db.setDatabaseName(databaseFile);
    if (!db.open()) {
        if (!quiet) {
            qCritical() << "ERROR: Ошибка открытия файла БД параметров";
        }
        return false;
    }
    return true;
}

ParamsDatabase::Failure ParamsDatabase::prepareFile(QString* error)
{
    QSqlQuery pragma(db);
    QString mode = QStringLiteral("DEFAULT");
    Failure failure = Failure::None;
    if (pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL;"))) {
        if (pragma.next()) {
            mode = pragma.value(0).toString();
        }
    } else {
        failure = classify(pragma.lastError());
        *error = pragma.lastError().text();
    }
    pragma.finish();
    qDebug().noquote() << "Режим журналирования БД ресурсов выставлен в " << mode;
    if (failure != Failure::None) {
        // The file cannot be read at all: the table check would only fail again.
        return failure;
    }

    // The list of tables swallows read errors; a read of the schema shows them.
    // Tables that exist must have the columns the server reads and writes; the
    // file is not changed (no table created) before that is known.
    QSqlQuery schema(db);
    if (!schema.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
        *error = schema.lastError().text();
        return classify(schema.lastError());
    }
    schema.finish();
    const QStringList existing = db.tables(QSql::Tables);
    const struct
    {
        const char* name;
        const char* probe;
    } shapes[] = {{"desc", SelectDesc}, {"log", "SELECT id, message, uoo, time, remark FROM log"}};
    for (const auto& shape : shapes) {
        if (!existing.contains(QLatin1String(shape.name))) {
            continue;
        }
        QSqlQuery probe(db);
        if (!probe.exec(QString::fromLatin1(shape.probe) + QStringLiteral(" LIMIT 0"))) {
            *error = probe.lastError().text();
            const Failure probeFailure = classify(probe.lastError());
            return probeFailure != Failure::None ? probeFailure : Failure::Damaged;
        }
    }
    if (!checkDataConsistency()) {
        qCritical() << "ERROR: Ошибка проверки целостности файлов БД параметров. Требуется "
                       "ручное восстановление.";
        QSqlQuery probe(db);
        if (!probe.exec(QStringLiteral("SELECT count(*) FROM desc WHERE 0"))) {
            *error = probe.lastError().text();
            const Failure probeFailure = classify(probe.lastError());
            return probeFailure != Failure::None ? probeFailure : Failure::Damaged;
        }
    }
    return Failure::None;
}

void ParamsDatabase::setBusyTimeoutMs(int ms)
{
    if (!isOpen()) {
        return;
    }
    // A pragma takes no bound values; the number is our own.
    QSqlQuery query(db);
    query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(qMax(0, ms)));
}

ParamsDatabase::Failure ParamsDatabase::classify(const QSqlError& error)
{
    if (!error.isValid()) {
        return Failure::None;
    }
    bool numeric = false;
    const int code = error.nativeErrorCode().toInt(&numeric) & 0xFF;
    if (!numeric) {
        return Failure::Transient;
    }
    switch (code) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return Failure::Locked;
    case 7:  // SQLITE_NOMEM
    case 8:  // SQLITE_READONLY
    case 9:  // SQLITE_INTERRUPT
    case 10: // SQLITE_IOERR
    case 13: // SQLITE_FULL
    case 14: // SQLITE_CANTOPEN
    case 15: // SQLITE_PROTOCOL
        return Failure::Transient;
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return Failure::Damaged;
    default:
        // A constraint, a schema of another shape, a missing table: the file's
        // contents are not what the server writes.
        return code == 0 ? Failure::Transient : Failure::Damaged;
    }
}

bool ParamsDatabase::isFileDamage(const QSqlError& error)
{
    bool numeric = false;
    const int code = error.nativeErrorCode().toInt(&numeric) & 0xFF;
    return numeric && (code == 11 || code == 26);
}

bool ParamsDatabase::isOpen() const
{
    return db.isValid() && db.isOpen();
}

void ParamsDatabase::close()
{
    if (isOpen()) {
        db.close();
    }
}

bool ParamsDatabase::checkDataConsistency()
{
    const QStringList existing = db.tables(QSql::Tables);
    const struct
    {
        const char* name;
        const char* statement;
    } required[] = {{"log", CreateLog}, {"desc", CreateDesc}};

    for (const auto& table : required) {
        if (existing.contains(QLatin1String(table.name))) {
            continue;
        }
        qDebug().noquote() << "Создание таблицы параметров " << table.name;
        QSqlQuery query(db);
        if (!query.exec(QString::fromLatin1(table.statement))) {
            qDebug().noquote() << "ERROR: " << query.lastError().text();
            return false;
        }
    }
    return true;
}

QVector<ParamsRow> ParamsDatabase::readRecords(int maxSetSize, ReadReport* report,
                                               ParamsRowSink* sink, int chunkRows)
{
    QVector<ParamsRow> rows;
    *report = ReadReport();
    if (!isOpen()) {
        report->failure = Failure::Transient;
        report->error = QStringLiteral("not open");
        return rows;
    }
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QString::fromLatin1(SelectDescFrom))) {
        report->failure = classify(query.lastError());
        report->error = query.lastError().text();
        return rows;
    }
    const QString max[] = {QStringLiteral(":max1"), QStringLiteral(":max2"),
                           QStringLiteral(":max3"), QStringLiteral(":max4")};
    for (const QString& name : max) {
        query.bindValue(name, maxSetSize);
    }
    int messages = 0;
    const auto onRow = [&](QSqlQuery& q) -> qint64 {
        const QVariant keyValue = q.value(0);
        const qint64 key = keyValue.toLongLong();
        // Keys are stored as signed 32-bit numbers; anything else is no UOO
        // number this server wrote, and is left alone.
        if (!isInteger(keyValue) || key < std::numeric_limits<qint32>::min() ||
            key > std::numeric_limits<qint32>::max()) {
            ++report->rowsSkipped;
            if (messages++ < MaxRowMessages) {
                qCritical().noquote().nospace()
                    << "ERROR: Строка таблицы desc с ключом " << keyValue.toString()
                    << " не является записью УОО и оставлена без изменений";
            }
            return key;
        }
        ParamsRow row;
        row.uoo = static_cast<quint32>(static_cast<qint32>(key));
        UooRParamsDesc& record = row.record;
        bool repaired = false;
        record.uoo = row.uoo;
        // Integers are taken as stored (the state machine reports a state it
        // does not know); a value that is no integer is replaced: a state by 0,
        // which asks the device for its set again (a new set stored with it is
        // kept and offered after the upload).
        record.state =
            intColumn(q.value(1), std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                      UooRParamsDesc::PAR_STATE_WAIT_SEND, &repaired);
        record.writeLeft = intColumn(q.value(2), std::numeric_limits<int>::min(),
                                     std::numeric_limits<int>::max(), 0, &repaired);
        record.device = textColumn(q.value(4), &repaired);
        record.pversion = textColumn(q.value(5), &repaired);
        record.uootime = timeColumn(q.value(6), &repaired);
        record.uootimetemp = timeColumn(q.value(7), &repaired);
        record.localtime = timeColumn(q.value(8), &repaired);
        record.uooparams = bytesColumn(q.value(9), &repaired);
        record.localparams = bytesColumn(q.value(10), &repaired);
        record.leftToSend =
            intColumn(q.value(3), std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                      record.localparams.size(), &repaired);
        finishReadRow(row, repaired, q.value(11).toLongLong() != 0, q.value(12).toLongLong() != 0,
                      report, &messages);
        rows.append(std::move(row));
        ++report->rowsRead;
        if (sink != nullptr && rows.size() >= chunkRows) {
            sink->takeRows(rows);
            rows.clear();
        }
        return key;
    };
    report->failure = scanReadable(query, onRow, &report->unreadableRanges, &report->error);
    if (sink != nullptr && !rows.isEmpty()) {
        sink->takeRows(rows);
        rows.clear();
    }
    return rows;
}

int ParamsDatabase::copyLogFrom(const QString& otherFile)
{
    if (!isOpen()) {
        return -1;
    }
    const QString name = connectionName + QStringLiteral("_copy");
    int copied = -1;
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        other.setDatabaseName(otherFile);
        if (other.open()) {
            QSqlQuery read(other);
            read.setForwardOnly(true);
            QSqlQuery insert(db);
            if (read.prepare(QString::fromLatin1(SelectLogFrom)) &&
                insert.prepare(QString::fromLatin1(CopyLogRow)) && db.transaction()) {
                copied = 0;
                int ranges = 0;
                QString error;
                const auto onRow = [&](QSqlQuery& q) -> qint64 {
                    insert.bindValue(QStringLiteral(":id"), q.value(0));
                    insert.bindValue(QStringLiteral(":message"), q.value(1));
                    insert.bindValue(QStringLiteral(":uoo"), q.value(2));
                    insert.bindValue(QStringLiteral(":time"), q.value(3));
                    insert.bindValue(QStringLiteral(":remark"), q.value(4));
                    copied += insert.exec() && insert.numRowsAffected() > 0 ? 1 : 0;
                    return q.value(0).toLongLong();
                };
                scanReadable(read, onRow, &ranges, &error);
                insert.finish();
                if (!db.commit()) {
                    db.rollback();
                    copied = -1;
                }
            }
            other.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return copied;
}

void ParamsDatabase::bindRecord(QSqlQuery& query, quint32 uoo, const UooRParamsDesc& record)
{
    query.bindValue(QStringLiteral(":uoo"), static_cast<qint32>(uoo));
    query.bindValue(QStringLiteral(":state"), record.state);
    query.bindValue(QStringLiteral(":writeLeft"), record.writeLeft);
    query.bindValue(QStringLiteral(":leftToSend"), record.leftToSend);
    query.bindValue(QStringLiteral(":device"), record.device);
    query.bindValue(QStringLiteral(":pversion"), record.pversion);
    query.bindValue(QStringLiteral(":uootime"), record.uootime);
    query.bindValue(QStringLiteral(":uootimetemp"), record.uootimetemp);
    query.bindValue(QStringLiteral(":localtime"), record.localtime);
    query.bindValue(QStringLiteral(":uooparams"), record.uooparams);
    query.bindValue(QStringLiteral(":localparams"), record.localparams);
}

void ParamsDatabase::bindLogRow(QSqlQuery& query, const ParamsLogRow& row)
{
    query.bindValue(QStringLiteral(":message"), row.message);
    query.bindValue(QStringLiteral(":uoo"), static_cast<qint32>(row.uoo));
    query.bindValue(QStringLiteral(":time"), row.time);
    query.bindValue(QStringLiteral(":remark"), row.remark);
}

ParamsDatabase::WriteReport ParamsDatabase::writeBatch(const QVector<ParamsRow>& records,
                                                       const QVector<ParamsLogRow>& log)
{
    WriteReport report;
    const auto fail = [&](const QSqlError& error, bool logRows) {
        report.failure = classify(error);
        if (report.failure == Failure::None) {
            report.failure = Failure::Transient;
        }
        report.error = error.text();
        report.logRowsFailed = logRows;
        report.fileDamaged = isFileDamage(error);
        db.rollback();
        return report;
    };
    if (!isOpen()) {
        report.failure = Failure::Transient;
        report.error = QStringLiteral("not open");
        return report;
    }
    if (!db.transaction()) {
        const QSqlError error = db.lastError();
        report.failure = classify(error);
        report.failure = report.failure == Failure::None ? Failure::Transient : report.failure;
        report.error = error.text();
        return report;
    }
    if (!records.isEmpty()) {
        QSqlQuery query(db);
        if (!query.prepare(QStringLiteral("INSERT OR REPLACE INTO ") +
                           QLatin1String(DescColumns))) {
            return fail(query.lastError(), false);
        }
        for (const ParamsRow& row : records) {
            bindRecord(query, row.uoo, row.record);
            if (!query.exec()) {
                const QSqlError error = query.lastError();
                query.finish();
                return fail(error, false);
            }
        }
    }
    if (!log.isEmpty()) {
        QSqlQuery query(db);
        if (!query.prepare(QString::fromLatin1(InsertLog))) {
            return fail(query.lastError(), true);
        }
        for (const ParamsLogRow& row : log) {
            bindLogRow(query, row);
            if (!query.exec()) {
                const QSqlError error = query.lastError();
                query.finish();
                return fail(error, true);
            }
        }
    }
    if (!db.commit()) {
        return fail(db.lastError(), false);
    }
    return report;
}

bool ParamsDatabase::readLog(QVector<ParamsLogRow>* rows)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!isOpen() || !query.prepare(QString::fromLatin1(SelectLogFrom))) {
        return false;
    }
    int ranges = 0;
    QString error;
    const auto onRow = [rows](QSqlQuery& q) -> qint64 {
        bool repaired = false;
        rows->append({static_cast<quint32>(q.value(2).toLongLong()), q.value(1).toInt(),
                      timeColumn(q.value(3), &repaired), q.value(4).toString()});
        return q.value(0).toLongLong();
    };
    const Failure failure = scanReadable(query, onRow, &ranges, &error);
    return failure == Failure::None || failure == Failure::Damaged;
}

bool ParamsDatabase::setAside(const QString& stamp, QString* aside)
{
    close();
    *aside = databaseFile + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFile::exists(*aside); ++n) {
        *aside = databaseFile + QStringLiteral(".damaged-") + stamp + QLatin1Char('-') +
                 QString::number(n);
    }
    // Renamed, never deleted: the damaged file keeps whatever could not be read.
    if (!QFile::rename(databaseFile, *aside)) {
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        const QString companion = databaseFile + QLatin1String(suffix);
        if (QFile::exists(companion) && !QFile::rename(companion, *aside + QLatin1String(suffix))) {
            qCritical().noquote().nospace()
                << "ERROR: Файл " << companion << " не удалось переименовать";
        }
    }
    return true;
}
