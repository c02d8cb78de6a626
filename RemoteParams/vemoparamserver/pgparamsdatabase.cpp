#include "pgparamsdatabase.h"

#include "leasefence.h"
#include "pglease.h"

#include <QDebug>
#include <QtEndian>

#include <limits>

namespace {

// The columns of a read; the last one is the row's change number.
#define SELECT_DESC_COLUMNS                                                                       \
    "SELECT uoo, state, writeleft, lefttosend, device, pversion, uootime, uootimetemp, "          \
    "\"localtime\", CASE WHEN length(uooparams) > $2 THEN NULL ELSE uooparams END, "               \
    "CASE WHEN length(localparams) > $2 THEN NULL ELSE localparams END, "                         \
    "coalesce(length(uooparams) > $2, false), coalesce(length(localparams) > $2, false), "       \
    "change FROM \"desc\" "
const char* const SelectDescPage =
    SELECT_DESC_COLUMNS "WHERE uoo > $1::bigint ORDER BY uoo LIMIT $3";
const char* const SelectDescChanges =
    SELECT_DESC_COLUMNS "WHERE change > $1::bigint ORDER BY change LIMIT $3";
#undef SELECT_DESC_COLUMNS
// Committed rows only (the sequence itself also counts changes still in flight).
const char* const SelectLastChange = "SELECT coalesce(max(change), 0) FROM \"desc\"";
const char* const InsertDescHead =
    "INSERT INTO \"desc\" (uoo, state, writeleft, lefttosend, device, pversion, uootime, "
    "uootimetemp, \"localtime\", uooparams, localparams) VALUES ";
const char* const InsertDescTail =
    " ON CONFLICT (uoo) DO UPDATE SET state = EXCLUDED.state, writeleft = EXCLUDED.writeleft, "
    "lefttosend = EXCLUDED.lefttosend, device = EXCLUDED.device, pversion = EXCLUDED.pversion, "
    "uootime = EXCLUDED.uootime, uootimetemp = EXCLUDED.uootimetemp, "
    "\"localtime\" = EXCLUDED.\"localtime\", uooparams = EXCLUDED.uooparams, "
    "localparams = EXCLUDED.localparams, change = nextval('desc_change')";
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
    qint64 bigint(int column) const
    {
        int length = 0;
        const char* value = PgConnection::value(result, row, column, &length);
        return length == 8 ? qFromBigEndian<qint64>(value) : 0;
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

PgParamsDatabase::PgParamsDatabase(const QString& connectionName, const QString& connectionString,
                                   std::shared_ptr<LeaseFence> fence)
    : connection(connectionName, connectionString), fence(std::move(fence))
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
    case PgConnection::Failure::Fenced:
        return Failure::Fenced;
    case PgConnection::Failure::Unreachable:
    case PgConnection::Failure::Refused:
        break;
    }
    return Failure::Transient;
}

bool PgParamsDatabase::reconnect(Failure* failure, QString* error)
{
    PgConnection::Failure pgFailure = PgConnection::Failure::None;
    const bool wasOpen = connection.isOpen();
    if (!connection.ensureOpen(&pgFailure, error)) {
        *failure = storeFailure(pgFailure);
        return false;
    }
    if (!wasOpen && fence) {
        // A node held up inside a write transaction (paused, cut off) would
        // hold its lease row, and with it the other node's takeover: the
        // server ends such a session.
        connection.exec("SELECT set_config('idle_in_transaction_session_timeout', $1, false)",
                        {{QByteArray::number(FencedIdleTimeoutMs)}});
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

void PgParamsDatabase::takeRows(const PgConnection::Result& page, QVector<ParamsRow>* rows,
                                ReadReport* report, int* messages, qint64* lastKey,
                                qint64* lastChange, ParamsRowSink* sink, int chunkRows)
{
    const int pageRows = PgConnection::rowCount(page);
    for (int n = 0; n < pageRows; ++n) {
        const BinaryRow value(page, n);
        ParamsRow row;
        *lastKey = value.integer(0);
        *lastChange = value.bigint(13);
        row.uoo = static_cast<quint32>(static_cast<qint32>(*lastKey));
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
        finishReadRow(row, repaired, value.boolean(11), value.boolean(12), report, messages);
        rows->append(std::move(row));
        ++report->rowsRead;
        if (sink != nullptr && rows->size() >= chunkRows) {
            sink->takeRows(*rows);
            rows->clear();
        }
    }
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
    qint64 change = 0;
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
        takeRows(page, &rows, report, &messages, &from, &change, sink, chunkRows);
        if (PgConnection::rowCount(page) < ReadPageRows) {
            break;
        }
    }
    if (sink != nullptr && !rows.isEmpty()) {
        sink->takeRows(rows);
        rows.clear();
    }
    return rows;
}

QVector<ParamsRow> PgParamsDatabase::readChanges(qint64 after, int maxSetSize, int maxRows,
                                                 qint64* last, ReadReport* report)
{
    QVector<ParamsRow> rows;
    *report = ReadReport();
    *last = after;
    if (!reconnect(&report->failure, &report->error)) {
        return rows;
    }
    const PgConnection::Result page =
        connection.exec(SelectDescChanges,
                        {{QByteArray::number(after)}, {QByteArray::number(maxSetSize)},
                         {QByteArray::number(maxRows)}},
                        true);
    if (page.failure != PgConnection::Failure::None) {
        report->failure = storeFailure(page.failure);
        report->error = page.error;
        return rows;
    }
    int messages = 0;
    qint64 key = 0;
    takeRows(page, &rows, report, &messages, &key, last, nullptr, 0);
    return rows;
}

bool PgParamsDatabase::lastChange(qint64* last, QString* error)
{
    Failure failure = Failure::None;
    if (!reconnect(&failure, error)) {
        return false;
    }
    const PgConnection::Result result = connection.exec(SelectLastChange);
    if (result.failure != PgConnection::Failure::None) {
        *error = result.error;
        return false;
    }
    *last = result.rows.value(0).value(0).toLongLong();
    return true;
}

ParamsStore::WriteReport PgParamsDatabase::writeBatch(const QVector<ParamsRow>& records,
                                                      const QVector<ParamsLogRow>& log)
{
    WriteReport report;
    if (!reconnect(&report.failure, &report.error)) {
        return report;
    }
    PgConnection::Result result = connection.exec("BEGIN");
    if (fence && result.failure == PgConnection::Failure::None) {
        result.failure = PgLease::fence(connection, fence->node, fence->term.load(), &result.error);
    }
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
