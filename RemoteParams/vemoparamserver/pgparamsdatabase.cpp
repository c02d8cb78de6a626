#include "pgparamsdatabase.h"

#include <QDebug>
#include <QtEndian>

#include <limits>

namespace {

const char* const SelectDescPage =
    "SELECT uoo, state, writeleft, lefttosend, device, pversion, uootime, uootimetemp, "
    "\"localtime\", CASE WHEN length(uooparams) > $2 THEN NULL ELSE uooparams END, "
    "CASE WHEN length(localparams) > $2 THEN NULL ELSE localparams END, "
    "coalesce(length(uooparams) > $2, false), coalesce(length(localparams) > $2, false) "
    "FROM \"desc\" WHERE uoo > $1::bigint ORDER BY uoo LIMIT $3";
const char* const InsertDescHead =
    "INSERT INTO \"desc\" (uoo, state, writeleft, lefttosend, device, pversion, uootime, "
    "uootimetemp, \"localtime\", uooparams, localparams) VALUES ";
const char* const InsertDescTail =
    " ON CONFLICT (uoo) DO UPDATE SET state = EXCLUDED.state, writeleft = EXCLUDED.writeleft, "
    "lefttosend = EXCLUDED.lefttosend, device = EXCLUDED.device, pversion = EXCLUDED.pversion, "
    "uootime = EXCLUDED.uootime, uootimetemp = EXCLUDED.uootimetemp, "
    "\"localtime\" = EXCLUDED.\"localtime\", uooparams = EXCLUDED.uooparams, "
    "localparams = EXCLUDED.localparams";
const char* const InsertLogHead = "INSERT INTO log (message, uoo, \"time\", remark) VALUES ";
constexpr int DescColumns = 11;
constexpr int LogColumns = 4;

using Param = PgConnection::Param;

QByteArray timeText(const QDateTime& time)
{
    if (!time.isValid()) {
        return QByteArray();
    }
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1();
}

// Binary values of the read, in place: integers big-endian, a timestamp as
// microseconds since 2000-01-01 00:00 (a wall-clock time: the server's local
// time), text and bytea as they are, a boolean as one byte.
class BinaryRow
{
public:
    BinaryRow(const PgConnection::Result& result, int row) : result(result), row(row) {}
    bool isNull(int column) const { return data(column) == nullptr; }
    int integer(int column) const
    {
        int length = 0;
        const char* value = PgConnection::value(result, row, column, &length);
        return length == 4 ? qFromBigEndian<qint32>(value) : 0;
    }
    QByteArray bytes(int column) const
    {
        int length = 0;
        const char* value = PgConnection::value(result, row, column, &length);
        return value == nullptr ? QByteArray() : QByteArray(value, length);
    }
    QString text(int column) const
    {
        int length = 0;
        const char* value = PgConnection::value(result, row, column, &length);
        return QString::fromUtf8(value, length);
    }
    bool boolean(int column) const
    {
        int length = 0;
        const char* value = PgConnection::value(result, row, column, &length);
        return length == 1 && value[0] != 0;
    }
    QDateTime time(int column) const
    {
        int length = 0;
        const char* value = PgConnection::value(result, row, column, &length);
        if (length != 8) {
            return QDateTime();
        }
        constexpr qint64 UsPerDay = 86400LL * 1000000;
        constexpr qint64 JulianDay2000 = 2451545;
        const qint64 us = qFromBigEndian<qint64>(value);
        qint64 days = us / UsPerDay;
        qint64 rest = us % UsPerDay;
        if (rest < 0) {
            rest += UsPerDay;
            --days;
        }
        return QDateTime(QDate::fromJulianDay(JulianDay2000 + days),
                         QTime::fromMSecsSinceStartOfDay(static_cast<int>(rest / 1000)));
    }

private:
    const char* data(int column) const
    {
        int length = 0;
        return PgConnection::value(result, row, column, &length);
    }
    const PgConnection::Result& result;
    int row;
};

// The column types the binary read decodes (PostgreSQL's type OIDs), in the
// order of SelectDescPage. A column of another type would decode as nonsense:
// the table is then of another shape, and is not read.
constexpr unsigned Int4Type = 23;
constexpr unsigned TextType = 25;
constexpr unsigned VarcharType = 1043;
constexpr unsigned TimestampType = 1114;
constexpr unsigned ByteaType = 17;
constexpr unsigned BoolType = 16;
const unsigned DescReadTypes[] = {Int4Type,  Int4Type,      Int4Type,      Int4Type,      TextType,
                                  TextType,  TimestampType, TimestampType, TimestampType, ByteaType,
                                  ByteaType, BoolType,      BoolType};
const char* const DescReadColumns[] = {
    "uoo",         "state",     "writeleft", "lefttosend",  "device",    "pversion",   "uootime",
    "uootimetemp", "localtime", "uooparams", "localparams", "uooparams", "localparams"};

// The first column of a read whose type the decoding does not know; -1 if none.
int unexpectedColumn(const PgConnection::Result& page)
{
    for (int column = 0; column < int(sizeof(DescReadTypes) / sizeof(DescReadTypes[0])); ++column) {
        const unsigned type = PgConnection::columnType(page, column);
        const unsigned expected = DescReadTypes[column];
        if (type != expected && !(expected == TextType && type == VarcharType)) {
            return column;
        }
    }
    return -1;
}

// "$n, $n+1, ..." as one row of a VALUES list.
void appendPlaceholders(QByteArray* statement, int first, int count)
{
    statement->append('(');
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            statement->append(',');
        }
        statement->append('$').append(QByteArray::number(first + i));
    }
    statement->append(')');
}

QByteArray textParam(const QString& text)
{
    // A null text is stored as the empty one, as Qt's SQLite driver does.
    return text.isNull() ? QByteArray("") : text.toUtf8();
}

QByteArray binaryParam(const QByteArray& bytes)
{
    return bytes.isNull() ? QByteArray("") : bytes;
}

} // namespace

PgParamsDatabase::PgParamsDatabase(const QString& connectionName, const QString& connectionString)
    : connection(connectionName, connectionString)
{
}

QString PgParamsDatabase::location() const
{
    return connection.connectionString();
}

ParamsStore::Failure PgParamsDatabase::storeFailure(PgConnection::Failure failure)
{
    switch (failure) {
    case PgConnection::Failure::None:
        return Failure::None;
    case PgConnection::Failure::Locked:
        return Failure::Locked;
    case PgConnection::Failure::Damaged:
        return Failure::Damaged;
    case PgConnection::Failure::Unreachable:
    case PgConnection::Failure::Refused:
        break;
    }
    return Failure::Transient;
}

bool PgParamsDatabase::reconnect(Failure* failure, QString* error)
{
    PgConnection::Failure pgFailure = PgConnection::Failure::None;
    if (!connection.ensureOpen(&pgFailure, error)) {
        *failure = storeFailure(pgFailure);
        return false;
    }
    if (lockTimeoutMs > 0) {
        connection.setLockTimeoutMs(lockTimeoutMs);
    }
    return true;
}

bool PgParamsDatabase::openConnection(bool quiet)
{
    Failure failure = Failure::None;
    QString error;
    if (!reconnect(&failure, &error)) {
        if (!quiet) {
            qCritical().noquote().nospace() << "ERROR: Storage/Connection: " << error;
        }
        return false;
    }
    return true;
}

ParamsStore::Failure PgParamsDatabase::prepareFile(QString* error)
{
    Failure failure = Failure::None;
    if (!reconnect(&failure, error)) {
        return failure;
    }
    return storeFailure(connection.ensureSchema(error));
}

void PgParamsDatabase::setBusyTimeoutMs(int ms)
{
    lockTimeoutMs = qMax(1, ms);
    if (connection.isOpen()) {
        connection.setLockTimeoutMs(lockTimeoutMs);
    }
}

bool PgParamsDatabase::checkDataConsistency()
{
    QString error;
    return prepareFile(&error) == Failure::None;
}

QVector<ParamsRow> PgParamsDatabase::readRecords(int maxSetSize, ReadReport* report,
                                                 ParamsRowSink* sink, int chunkRows)
{
    QVector<ParamsRow> rows;
    *report = ReadReport();
    if (!reconnect(&report->failure, &report->error)) {
        return rows;
    }
    qint64 from = qint64(std::numeric_limits<qint32>::min()) - 1;
    const QByteArray limit = QByteArray::number(ReadPageRows);
    const QByteArray maxSet = QByteArray::number(maxSetSize);
    int messages = 0;
    for (;;) {
        const PgConnection::Result page =
            connection.exec(SelectDescPage, {{QByteArray::number(from)}, {maxSet}, {limit}}, true);
        if (page.failure != PgConnection::Failure::None) {
            report->failure = storeFailure(page.failure);
            report->error = page.error;
            break;
        }
        const int wrongColumn = unexpectedColumn(page);
        if (wrongColumn >= 0) {
            report->failure = Failure::Damaged;
            report->error = QStringLiteral("column %1 of table desc is of type %2")
                                .arg(QLatin1String(DescReadColumns[wrongColumn]))
                                .arg(PgConnection::columnType(page, wrongColumn));
            break;
        }
        const int pageRows = PgConnection::rowCount(page);
        for (int n = 0; n < pageRows; ++n) {
            const BinaryRow value(page, n);
            ParamsRow row;
            from = value.integer(0);
            row.uoo = static_cast<quint32>(static_cast<qint32>(from));
            UooRParamsDesc& record = row.record;
            bool repaired = false;
            record.uoo = row.uoo;
            const auto orRepaired = [&repaired, &value](int column, int fallback) {
                if (value.isNull(column)) {
                    repaired = true;
                    return fallback;
                }
                return value.integer(column);
            };
            record.state = orRepaired(1, UooRParamsDesc::PAR_STATE_WAIT_SEND);
            record.writeLeft = orRepaired(2, 0);
            record.device = value.text(4);
            record.pversion = value.text(5);
            record.uootime = value.time(6);
            record.uootimetemp = value.time(7);
            record.localtime = value.time(8);
            record.uooparams = value.bytes(9);
            record.localparams = value.bytes(10);
            record.leftToSend = orRepaired(3, record.localparams.size());
            finishReadRow(row, repaired, value.boolean(11), value.boolean(12), report, &messages);
            rows.append(std::move(row));
            ++report->rowsRead;
            if (sink != nullptr && rows.size() >= chunkRows) {
                sink->takeRows(rows);
                rows.clear();
            }
        }
        if (pageRows < ReadPageRows) {
            break;
        }
    }
    if (sink != nullptr && !rows.isEmpty()) {
        sink->takeRows(rows);
        rows.clear();
    }
    return rows;
}

ParamsStore::WriteReport PgParamsDatabase::writeBatch(const QVector<ParamsRow>& records,
                                                      const QVector<ParamsLogRow>& log)
{
    bool missingTable = false;
    WriteReport report = writeOnce(records, log, &missingTable);
    // A table dropped by hand is made again, and the batch written into it.
    QString error;
    if (missingTable && connection.restoreMissingTables(&error) > 0) {
        report = writeOnce(records, log, &missingTable);
    }
    if (report.failure == Failure::None) {
        report.recordsTableRecreated =
            connection.takeRestoredTables().contains(QStringLiteral("desc"));
    }
    return report;
}

ParamsStore::WriteReport PgParamsDatabase::writeOnce(const QVector<ParamsRow>& records,
                                                     const QVector<ParamsLogRow>& log,
                                                     bool* missingTable)
{
    WriteReport report;
    if (!reconnect(&report.failure, &report.error)) {
        return report;
    }
    PgConnection::Result result = connection.exec("BEGIN");
    for (int start = 0; result.failure == PgConnection::Failure::None && start < records.size();
         start += WriteStatementRows) {
        const int count = qMin(WriteStatementRows, records.size() - start);
        QByteArray statement(InsertDescHead);
        QVector<Param> params;
        params.reserve(count * DescColumns);
        for (int i = 0; i < count; ++i) {
            const ParamsRow& row = records[start + i];
            const UooRParamsDesc& r = row.record;
            if (i > 0) {
                statement.append(',');
            }
            appendPlaceholders(&statement, params.size() + 1, DescColumns);
            params.append(Param{QByteArray::number(static_cast<qint32>(row.uoo))});
            params.append(Param{QByteArray::number(r.state)});
            params.append(Param{QByteArray::number(r.writeLeft)});
            params.append(Param{QByteArray::number(r.leftToSend)});
            params.append(Param{textParam(r.device)});
            params.append(Param{textParam(r.pversion)});
            params.append(Param{timeText(r.uootime)});
            params.append(Param{timeText(r.uootimetemp)});
            params.append(Param{timeText(r.localtime)});
            params.append(Param{binaryParam(r.uooparams), true});
            params.append(Param{binaryParam(r.localparams), true});
        }
        statement.append(InsertDescTail);
        result = connection.exec(statement, params);
    }
    const bool recordsFailed = result.failure != PgConnection::Failure::None;
    for (int start = 0; result.failure == PgConnection::Failure::None && start < log.size();
         start += WriteStatementRows) {
        const int count = qMin(WriteStatementRows, log.size() - start);
        QByteArray statement(InsertLogHead);
        QVector<Param> params;
        params.reserve(count * LogColumns);
        for (int i = 0; i < count; ++i) {
            const ParamsLogRow& row = log[start + i];
            if (i > 0) {
                statement.append(',');
            }
            appendPlaceholders(&statement, params.size() + 1, LogColumns);
            params.append(Param{QByteArray::number(row.message)});
            params.append(Param{QByteArray::number(static_cast<qint32>(row.uoo))});
            params.append(Param{timeText(row.time)});
            params.append(Param{textParam(row.remark)});
        }
        result = connection.exec(statement, params);
    }
    const bool logFailed = !recordsFailed && result.failure != PgConnection::Failure::None;
    if (result.failure == PgConnection::Failure::None) {
        result = connection.exec("COMMIT");
    }
    if (result.failure != PgConnection::Failure::None) {
        *missingTable = PgConnection::isMissingTable(result);
        connection.exec("ROLLBACK");
        report.failure = storeFailure(result.failure);
        report.error = result.error;
        report.logRowsFailed = logFailed;
    }
    return report;
}

bool PgParamsDatabase::setAside(const QString& stamp, QString* aside)
{
    Q_UNUSED(stamp)
    *aside = location();
    return false;
}

int PgParamsDatabase::copyLogFrom(const QString& aside)
{
    Q_UNUSED(aside)
    return -1;
}
