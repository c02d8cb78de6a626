#include "paramsdatabase.h"

#include <QDebug>
#include <QFile>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#ifdef VEMO_NATIVE_SQLITE
#include <sqlite3.h>
#endif

#include <cstring>
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

// One pass of a read through Qt's API: the prepared statement with ":from".
class QtPass
{
public:
    explicit QtPass(QSqlQuery& query) : query(query) {}
    bool exec(qint64 from)
    {
        query.bindValue(QStringLiteral(":from"), from);
        return query.exec();
    }
    bool next() { return query.next(); }
    QSqlError lastError() const { return query.lastError(); }
    void finish() { query.finish(); }
    QSqlQuery& query;
};

// Runs the pass statement from `from`; Readable when it yields a first row or
// ends cleanly.
template <typename Pass>
Probe probeFrom(Pass& pass, qint64 from, QSqlError* error)
{
    if (pass.exec(from) && (pass.next() || !pass.lastError().isValid())) {
        pass.finish();
        return Probe::Readable;
    }
    *error = pass.lastError();
    pass.finish();
    return ParamsDatabase::classify(*error) == Failure::Damaged ? Probe::Damaged : Probe::Failed;
}

// Reads a table in ascending order of its integer key with a pass (a prepared
// statement from a key on). When a pass stops at damage, the first readable key
// behind it is searched (doubling steps, then halving) and a new pass starts
// there. onRow returns the key of the row it was given.
template <typename Pass, typename OnRow>
Failure scanReadableWith(Pass& query, OnRow onRow, int* ranges, QString* errorText)
{
    constexpr qint64 KeyMax = std::numeric_limits<qint64>::max();
    qint64 from = std::numeric_limits<qint64>::min();
    Failure result = Failure::None;
    for (;;) {
        QSqlError error;
        bool readAny = false;
        qint64 last = from;
        if (query.exec(from)) {
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

template <typename OnRow>
Failure scanReadable(QSqlQuery& query, OnRow onRow, int* ranges, QString* errorText)
{
    QtPass pass(query);
    return scanReadableWith(
        pass, [&onRow](QtPass& p) { return onRow(p.query); }, ranges, errorText);
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

// The columns of a desc row as Qt's driver gives them.
class QtColumns
{
public:
    explicit QtColumns(const QSqlQuery& query) : query(query) {}
    QVariant value(int column) const { return query.value(column); }
    int integer(int column, int fallback, bool* repaired) const
    {
        return intColumn(query.value(column), std::numeric_limits<int>::min(),
                         std::numeric_limits<int>::max(), fallback, repaired);
    }
    QString text(int column, bool* repaired) const { return textColumn(query.value(column), repaired); }
    QDateTime time(int column, bool* repaired) const { return timeColumn(query.value(column), repaired); }
    QByteArray bytes(int column, bool* repaired) const
    {
        return bytesColumn(query.value(column), repaired);
    }
    bool flag(int column) const { return query.value(column).toLongLong() != 0; }

private:
    const QSqlQuery& query;
};

#ifdef VEMO_NATIVE_SQLITE
// A local date-time as Qt's driver stores it ("yyyy-MM-ddThh:mm:ss.zzz"), read
// without the general parser; false for any other text (the caller then parses
// it as before).
bool parseStoredTime(const unsigned char* text, int length, QDateTime* time)
{
    if (length != 23 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.') {
        return false;
    }
    const auto number = [text](int from, int digits, int* value) {
        *value = 0;
        for (int i = from; i < from + digits; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
            *value = *value * 10 + (text[i] - '0');
        }
        return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (!number(0, 4, &year) || !number(5, 2, &month) || !number(8, 2, &day) ||
        !number(11, 2, &hour) || !number(14, 2, &minute) || !number(17, 2, &second) ||
        !number(20, 3, &ms)) {
        return false;
    }
    const QDate date(year, month, day);
    if (year == 0 || !date.isValid() || !QTime::isValid(hour, minute, second, ms)) {
        return false;
    }
    *time = QDateTime(date, QTime(hour, minute, second, ms));
    return true;
}

// The texts of the last row read, by column: a fleet's rows mostly repeat them
// (a device name, a parameter version), and a repeated one is shared, not copied.
struct RepeatedTexts
{
    static constexpr int Columns = 6;
    QString text[Columns];
    qint64 number[Columns] = {};
    bool fromNumber[Columns] = {};
};

// The columns of a desc row straight from SQLite: the usual types directly,
// anything else as the QVariant Qt's driver would make of it, converted as in
// QtColumns (so that a row is repaired or skipped exactly as through Qt).
class NativeColumns
{
public:
    NativeColumns(sqlite3_stmt* statement, RepeatedTexts* repeated)
        : statement(statement), repeated(repeated)
    {
    }
    QVariant value(int column) const
    {
        switch (sqlite3_column_type(statement, column)) {
        case SQLITE_BLOB:
            return QByteArray(static_cast<const char*>(sqlite3_column_blob(statement, column)),
                              sqlite3_column_bytes(statement, column));
        case SQLITE_INTEGER:
            return static_cast<qlonglong>(sqlite3_column_int64(statement, column));
        case SQLITE_FLOAT:
            return sqlite3_column_double(statement, column);
        case SQLITE_NULL:
            return QVariant(QVariant::String);
        default:
            return text16(column);
        }
    }
    int integer(int column, int fallback, bool* repaired) const
    {
        if (sqlite3_column_type(statement, column) == SQLITE_INTEGER) {
            const qint64 number = sqlite3_column_int64(statement, column);
            if (number >= std::numeric_limits<int>::min() &&
                number <= std::numeric_limits<int>::max()) {
                return static_cast<int>(number);
            }
        }
        *repaired = true;
        return fallback;
    }
    QString text(int column, bool* repaired) const
    {
        QString& last = repeated->text[column];
        switch (sqlite3_column_type(statement, column)) {
        case SQLITE_TEXT: {
            const void* text = sqlite3_column_text16(statement, column);
            const int length = sqlite3_column_bytes16(statement, column) / int(sizeof(QChar));
            if (repeated->fromNumber[column] || last.isNull() || last.size() != length ||
                memcmp(last.constData(), text, size_t(length) * sizeof(QChar)) != 0) {
                last = QString(static_cast<const QChar*>(text), length);
                repeated->fromNumber[column] = false;
            }
            return last;
        }
        case SQLITE_INTEGER: {
            // A text that reads as a number is stored as one (see textColumn).
            const qint64 number = sqlite3_column_int64(statement, column);
            if (!repeated->fromNumber[column] || repeated->number[column] != number) {
                last = textColumn(value(column), repaired);
                repeated->fromNumber[column] = true;
                repeated->number[column] = number;
            }
            return last;
        }
        case SQLITE_NULL:
            return QString();
        default:
            return textColumn(value(column), repaired);
        }
    }
    QDateTime time(int column, bool* repaired) const
    {
        switch (sqlite3_column_type(statement, column)) {
        case SQLITE_NULL:
            return QDateTime();
        case SQLITE_TEXT: {
            QDateTime time;
            if (parseStoredTime(sqlite3_column_text(statement, column),
                                sqlite3_column_bytes(statement, column), &time)) {
                return time;
            }
            break;
        }
        default:
            break;
        }
        return timeColumn(value(column), repaired);
    }
    QByteArray bytes(int column, bool* repaired) const
    {
        switch (sqlite3_column_type(statement, column)) {
        case SQLITE_BLOB:
        case SQLITE_NULL:
            // As Qt's driver: an empty blob (no data pointer) is a null array.
            return QByteArray(static_cast<const char*>(sqlite3_column_blob(statement, column)),
                              sqlite3_column_bytes(statement, column));
        default:
            return bytesColumn(value(column), repaired);
        }
    }
    bool flag(int column) const { return sqlite3_column_int64(statement, column) != 0; }

private:
    QString text16(int column) const
    {
        const void* text = sqlite3_column_text16(statement, column);
        return QString(static_cast<const QChar*>(text),
                       sqlite3_column_bytes16(statement, column) / int(sizeof(QChar)));
    }
    sqlite3_stmt* statement;
    RepeatedTexts* repeated;
};

// One pass of a read straight through SQLite's statement API: the statement with
// ":from" (and other values bound once), stepped row by row.
class NativePass
{
public:
    NativePass(sqlite3* handle, const char* sql) : handle(handle)
    {
        code = sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr);
        if (code != SQLITE_OK) {
            setError(QStringLiteral("Unable to execute statement"));
        }
    }
    ~NativePass() { sqlite3_finalize(statement); }
    NativePass(const NativePass&) = delete;
    NativePass& operator=(const NativePass&) = delete;

    bool prepared() const { return statement != nullptr && code == SQLITE_OK; }
    void bind(const char* name, qint64 value)
    {
        sqlite3_bind_int64(statement, sqlite3_bind_parameter_index(statement, name), value);
    }
    bool exec(qint64 from)
    {
        sqlite3_reset(statement);
        error = QSqlError();
        bind(":from", from);
        return true;
    }
    bool next()
    {
        code = sqlite3_step(statement);
        if (code == SQLITE_ROW) {
            return true;
        }
        if (code != SQLITE_DONE) {
            setError(QStringLiteral("Unable to fetch row"));
        }
        return false;
    }
    QSqlError lastError() const { return error; }
    void finish() { sqlite3_reset(statement); }
    NativeColumns columns() { return NativeColumns(statement, &repeated); }

private:
    void setError(const QString& what)
    {
        // As Qt's driver reports it: the result code is the native error code.
        error = QSqlError(what, QString::fromUtf8(sqlite3_errmsg(handle)),
                          QSqlError::StatementError, QString::number(code));
    }
    sqlite3* handle;
    sqlite3_stmt* statement = nullptr;
    int code = SQLITE_OK;
    QSqlError error;
    RepeatedTexts repeated;
};

sqlite3* nativeHandle(const QSqlDatabase& db)
{
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        return nullptr;
    }
    return *static_cast<sqlite3* const*>(handle.data());
}
#endif

// Builds the record of a desc row and hands it on; the row's key.
struct DescRowReader
{
    QVector<ParamsRow>* rows;
    ParamsStore::ReadReport* report;
    ParamsRowSink* sink;
    int chunkRows;
    int* messages;
    int maxRowMessages;
    void (*finish)(ParamsRow&, bool, bool, bool, ParamsStore::ReadReport*, int*);

    template <typename Columns>
    qint64 operator()(const Columns& columns) const
    {
        const QVariant keyValue = columns.value(0);
        const qint64 key = keyValue.toLongLong();
        // Keys are stored as signed 32-bit numbers; anything else is no UOO
        // number this server wrote, and is left alone.
        if (!isInteger(keyValue) || key < std::numeric_limits<qint32>::min() ||
            key > std::numeric_limits<qint32>::max()) {
            ++report->rowsSkipped;
            if ((*messages)++ < maxRowMessages) {
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
        record.state = columns.integer(1, UooRParamsDesc::PAR_STATE_WAIT_SEND, &repaired);
        record.writeLeft = columns.integer(2, 0, &repaired);
        record.device = columns.text(4, &repaired);
        record.pversion = columns.text(5, &repaired);
        record.uootime = columns.time(6, &repaired);
        record.uootimetemp = columns.time(7, &repaired);
        record.localtime = columns.time(8, &repaired);
        record.uooparams = columns.bytes(9, &repaired);
        record.localparams = columns.bytes(10, &repaired);
        record.leftToSend = columns.integer(3, record.localparams.size(), &repaired);
        finish(row, repaired, columns.flag(11), columns.flag(12), report, messages);
        rows->append(std::move(row));
        ++report->rowsRead;
        if (sink != nullptr && rows->size() >= chunkRows) {
            sink->takeRows(*rows);
            rows->clear();
        }
        return key;
    }
};

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
    int messages = 0;
    const DescRowReader readRow{&rows, report, sink, chunkRows, &messages, MaxRowMessages,
                                &ParamsStore::finishReadRow};
    const char* const maxNames[] = {":max1", ":max2", ":max3", ":max4"};
#ifdef VEMO_NATIVE_SQLITE
    // Straight through SQLite on the driver's own connection: Qt's per-value
    // copies and its date-time parser cost more than the read itself.
    if (sqlite3* handle = nativeHandle(db)) {
        NativePass pass(handle, SelectDescFrom);
        if (!pass.prepared()) {
            report->failure = classify(pass.lastError());
            report->error = pass.lastError().text();
            return rows;
        }
        for (const char* name : maxNames) {
            pass.bind(name, maxSetSize);
        }
        report->failure = scanReadableWith(
            pass, [&readRow](NativePass& p) { return readRow(p.columns()); },
            &report->unreadableRanges, &report->error);
        if (sink != nullptr && !rows.isEmpty()) {
            sink->takeRows(rows);
            rows.clear();
        }
        return rows;
    }
#endif
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QString::fromLatin1(SelectDescFrom))) {
        report->failure = classify(query.lastError());
        report->error = query.lastError().text();
        return rows;
    }
    for (const char* name : maxNames) {
        query.bindValue(QString::fromLatin1(name), maxSetSize);
    }
    report->failure =
        scanReadable(query, [&readRow](QSqlQuery& q) { return readRow(QtColumns(q)); },
                     &report->unreadableRanges, &report->error);
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
