#include "pgparamsdatabase.h"

#include "leasefence.h"
#include "pgcopybuffer.h"
#include "pglease.h"

#include <QDebug>
#include <QtEndian>

#include <limits>

namespace {

// The read: rows of desc, streamed. Sets larger than %1 bytes are not sent,
// only flagged. The start-up read takes every row in ascending key order; a
// pair's standby follows the rows changed after a change number, in the order
// of their changes, with that number as the last column.
#define DESC_READ_COLUMNS                                                                         \
    "SELECT uoo, state, writeleft, lefttosend, device, pversion, uootime, uootimetemp, "          \
    "\"localtime\", CASE WHEN length(uooparams) > %1 THEN NULL ELSE uooparams END, "              \
    "CASE WHEN length(localparams) > %1 THEN NULL ELSE localparams END, "                         \
    "coalesce(length(uooparams) > %1, false), coalesce(length(localparams) > %1, false)"
const char* const CopyDescOut =
    "COPY (" DESC_READ_COLUMNS " FROM \"desc\" ORDER BY uoo) TO STDOUT (FORMAT binary)";
const char* const CopyDescChanges =
    "COPY (" DESC_READ_COLUMNS ", change FROM \"desc\" WHERE change > %2 ORDER BY change LIMIT %3) "
    "TO STDOUT (FORMAT binary)";
#undef DESC_READ_COLUMNS
// Committed rows only (the sequence itself also counts changes still in flight).
const char* const SelectLastChange = "SELECT coalesce(max(change), 0) FROM \"desc\"";
constexpr int ReadColumns = 13;
constexpr int ChangeColumn = ReadColumns; // of CopyDescChanges
// No row, only the columns of the read with their types.
const char* const SelectDescShape =
    "SELECT uoo, state, writeleft, lefttosend, device, pversion, uootime, uootimetemp, "
    "\"localtime\", uooparams, localparams, false, false FROM \"desc\" LIMIT 0";
// A batch of records goes into a temporary table of the connection (emptied at
// the end of every transaction, committed or not) with COPY, then into desc with
// one statement: UpsertDesc, the only statement that writes desc.
const char* const CreateDescBatch =
    "CREATE TEMPORARY TABLE IF NOT EXISTS desc_batch (uoo integer, state integer, "
    "writeleft integer, lefttosend integer, device text, pversion text, uootime timestamp, "
    "uootimetemp timestamp, \"localtime\" timestamp, uooparams bytea, localparams bytea) "
    "ON COMMIT DELETE ROWS";
const char* const CopyDescBatch =
    "COPY desc_batch (uoo, state, writeleft, lefttosend, device, pversion, uootime, "
    "uootimetemp, \"localtime\", uooparams, localparams) FROM STDIN (FORMAT binary)";
const char* const UpsertDesc =
    "INSERT INTO \"desc\" (uoo, state, writeleft, lefttosend, device, pversion, uootime, "
    "uootimetemp, \"localtime\", uooparams, localparams) "
    "SELECT uoo, state, writeleft, lefttosend, device, pversion, uootime, uootimetemp, "
    "\"localtime\", uooparams, localparams FROM desc_batch "
    "ON CONFLICT (uoo) DO UPDATE SET state = EXCLUDED.state, writeleft = EXCLUDED.writeleft, "
    "lefttosend = EXCLUDED.lefttosend, device = EXCLUDED.device, pversion = EXCLUDED.pversion, "
    "uootime = EXCLUDED.uootime, uootimetemp = EXCLUDED.uootimetemp, "
    "\"localtime\" = EXCLUDED.\"localtime\", uooparams = EXCLUDED.uooparams, "
    "localparams = EXCLUDED.localparams, change = nextval('desc_change')";
const char* const CopyLog =
    "COPY log (message, uoo, \"time\", remark) FROM STDIN (FORMAT binary)";
constexpr int DescColumns = 11;
constexpr int LogColumns = 4;

using Param = PgConnection::Param;

// Binary values of the read, in place: integers big-endian, a timestamp as
// microseconds since 2000-01-01 00:00 (a wall-clock time: the server's local
// time), text and bytea as they are, a boolean as one byte.
class BinaryRow
{
public:
    explicit BinaryRow(const PgCopyBuffer::Field* fields) : fields(fields) {}
    bool isNull(int column) const { return fields[column].data == nullptr; }
    int integer(int column) const
    {
        const PgCopyBuffer::Field& f = fields[column];
        return f.length == 4 ? qFromBigEndian<qint32>(f.data) : 0;
    }
    qint64 bigint(int column) const
    {
        const PgCopyBuffer::Field& f = fields[column];
        return f.length == 8 ? qFromBigEndian<qint64>(f.data) : 0;
    }
    QByteArray bytes(int column) const
    {
        const PgCopyBuffer::Field& f = fields[column];
        return f.data == nullptr ? QByteArray() : QByteArray(f.data, f.length);
    }
    // A text repeated from the row before is shared, not copied: a fleet's rows
    // mostly repeat their device name and parameter version.
    QString text(int column, QString* last) const
    {
        const PgCopyBuffer::Field& f = fields[column];
        if (f.data == nullptr) {
            return QString();
        }
        if (last->isNull() || !sameLatin1(*last, f)) {
            *last = QString::fromUtf8(f.data, f.length);
        }
        return *last;
    }
    bool boolean(int column) const
    {
        const PgCopyBuffer::Field& f = fields[column];
        return f.length == 1 && f.data[0] != 0;
    }
    QDateTime time(int column) const
    {
        const PgCopyBuffer::Field& f = fields[column];
        if (f.length != 8) {
            return QDateTime();
        }
        constexpr qint64 UsPerDay = 86400LL * 1000000;
        constexpr qint64 JulianDay2000 = 2451545;
        const qint64 us = qFromBigEndian<qint64>(f.data);
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
    // The text equals this UTF-8 value, compared as ASCII (anything else is
    // taken as different).
    static bool sameLatin1(const QString& text, const PgCopyBuffer::Field& f)
    {
        if (text.size() != f.length) {
            return false;
        }
        const QChar* chars = text.constData();
        for (int i = 0; i < f.length; ++i) {
            const uchar c = static_cast<uchar>(f.data[i]);
            if (c >= 0x80 || chars[i].unicode() != c) {
                return false;
            }
        }
        return true;
    }
    const PgCopyBuffer::Field* fields;
};

// The column types the binary read decodes (PostgreSQL's type OIDs), in the
// order of CopyDescOut (and of SelectDescShape). A column of another type would decode as nonsense:
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

// Makes records of the rows of the read as they arrive; with the change
// number column (a standby's following), notes the last one.
class DescReceiver final : public PgCopyReceiver
{
public:
    using Finish = void (*)(ParamsRow&, bool, bool, bool, ParamsStore::ReadReport*, int*);
    DescReceiver(ParamsStore::ReadReport* report, ParamsRowSink* sink, int chunkRows,
                 Finish finish, bool withChange = false)
        : report(report), sink(sink), chunkRows(chunkRows), finish(finish),
          columns(withChange ? ReadColumns + 1 : ReadColumns)
    {
    }

    void copyRow(const char* data, int length) override
    {
        PgCopyBuffer::Field fields[ReadColumns + 1];
        const int count = PgCopyBuffer::splitRow(data, length, fields, columns);
        if (count == -1) {
            return;
        }
        if (count != columns || fields[0].length != 4 ||
            (columns > ChangeColumn && fields[ChangeColumn].length != 8)) {
            // Not what the statement sends: nothing is made of it.
            malformed = true;
            return;
        }
        const BinaryRow value(fields);
        if (columns > ChangeColumn) {
            lastChange = value.bigint(ChangeColumn);
        }
        ParamsRow row;
        row.uoo = static_cast<quint32>(value.integer(0));
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
        record.device = value.text(4, &lastDevice);
        record.pversion = value.text(5, &lastVersion);
        record.uootime = value.time(6);
        record.uootimetemp = value.time(7);
        record.localtime = value.time(8);
        record.uooparams = value.bytes(9);
        record.localparams = value.bytes(10);
        record.leftToSend = orRepaired(3, record.localparams.size());
        finish(row, repaired, value.boolean(11), value.boolean(12), report, &messages);
        rows.append(std::move(row));
        ++report->rowsRead;
        if (sink != nullptr && rows.size() >= chunkRows) {
            sink->takeRows(rows);
            rows.clear();
        }
    }

    QVector<ParamsRow> rows;
    bool malformed = false;
    qint64 lastChange = 0;

private:
    ParamsStore::ReadReport* report;
    ParamsRowSink* sink;
    int chunkRows;
    Finish finish;
    int columns;
    int messages = 0;
    QString lastDevice;
    QString lastVersion;
};

// The records as COPY rows of desc_batch.
QByteArray descCopyData(const QVector<ParamsRow>& records)
{
    PgCopyBuffer copy(records.size() * 160);
    for (const ParamsRow& row : records) {
        const UooRParamsDesc& r = row.record;
        copy.startRow(DescColumns);
        copy.addInt4(static_cast<qint32>(row.uoo));
        copy.addInt4(r.state);
        copy.addInt4(r.writeLeft);
        copy.addInt4(r.leftToSend);
        // A null text or byte array is stored as the empty one, as Qt's SQLite
        // driver does.
        copy.addText(r.device);
        copy.addText(r.pversion);
        copy.addTimestamp(r.uootime);
        copy.addTimestamp(r.uootimetemp);
        copy.addTimestamp(r.localtime);
        copy.addBytes(r.uooparams);
        copy.addBytes(r.localparams);
    }
    copy.finish();
    return copy.data();
}

QByteArray logCopyData(const QVector<ParamsLogRow>& log)
{
    PgCopyBuffer copy(log.size() * 40);
    for (const ParamsLogRow& row : log) {
        copy.startRow(LogColumns);
        copy.addInt4(row.message);
        copy.addInt4(static_cast<qint32>(row.uoo));
        copy.addTimestamp(row.time);
        copy.addText(row.remark);
    }
    copy.finish();
    return copy.data();
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
        // server ends such a session, idle or in the middle of a COPY.
        connection.exec("SELECT set_config('idle_in_transaction_session_timeout', $1, false), "
                        "set_config('statement_timeout', $2, false)",
                        {{QByteArray::number(FencedIdleTimeoutMs)},
                         {QByteArray::number(FencedStatementTimeoutMs)}});
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
    *report = ReadReport();
    if (!reconnect(&report->failure, &report->error)) {
        return {};
    }
    // The columns' types first: a column of another type would decode as
    // nonsense, and the table is then of another shape, not read.
    const PgConnection::Result shape = connection.exec(SelectDescShape, {}, true);
    if (shape.failure != PgConnection::Failure::None) {
        report->failure = storeFailure(shape.failure);
        report->error = shape.error;
        return {};
    }
    const int wrongColumn = unexpectedColumn(shape);
    if (wrongColumn >= 0) {
        report->failure = Failure::Damaged;
        report->error = QStringLiteral("column %1 of table desc is of type %2")
                            .arg(QLatin1String(DescReadColumns[wrongColumn]))
                            .arg(PgConnection::columnType(shape, wrongColumn));
        return {};
    }
    // COPY takes no bound values; the number is our own.
    const QByteArray statement =
        QString::fromLatin1(CopyDescOut).arg(maxSetSize).toLatin1();
    DescReceiver receiver(report, sink, chunkRows, &ParamsStore::finishReadRow);
    const PgConnection::Result result = connection.copyOut(statement, &receiver);
    if (result.failure != PgConnection::Failure::None) {
        report->failure = storeFailure(result.failure);
        report->error = result.error;
    } else if (receiver.malformed) {
        report->failure = Failure::Damaged;
        report->error = QStringLiteral("rows of another shape in desc");
    }
    if (sink != nullptr && !receiver.rows.isEmpty()) {
        sink->takeRows(receiver.rows);
        receiver.rows.clear();
    }
    return std::move(receiver.rows);
}

QVector<ParamsRow> PgParamsDatabase::readChanges(qint64 after, int maxSetSize, int maxRows,
                                                 qint64* last, ReadReport* report)
{
    *report = ReadReport();
    *last = after;
    if (!reconnect(&report->failure, &report->error)) {
        return {};
    }
    // COPY takes no bound values; the numbers are our own.
    const QByteArray statement =
        QString::fromLatin1(CopyDescChanges).arg(maxSetSize).arg(after).arg(maxRows).toLatin1();
    DescReceiver receiver(report, nullptr, 0, &ParamsStore::finishReadRow, true);
    const PgConnection::Result result = connection.copyOut(statement, &receiver);
    if (result.failure != PgConnection::Failure::None) {
        report->failure = storeFailure(result.failure);
        report->error = result.error;
        return {};
    }
    if (receiver.malformed) {
        report->failure = Failure::Damaged;
        report->error = QStringLiteral("rows of another shape in desc");
        return {};
    }
    if (!receiver.rows.isEmpty()) {
        *last = receiver.lastChange;
    }
    return std::move(receiver.rows);
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
    // Encoded before the transaction begins: it holds no lock meanwhile.
    const QByteArray descData = records.isEmpty() ? QByteArray() : descCopyData(records);
    const QByteArray logData = log.isEmpty() ? QByteArray() : logCopyData(log);
    PgConnection::Result result = connection.exec("BEGIN");
    if (fence && result.failure == PgConnection::Failure::None) {
        result.failure = PgLease::fence(connection, fence->node, fence->term.load(), &result.error);
    }
    if (result.failure == PgConnection::Failure::None && !records.isEmpty()) {
        result = connection.exec(CreateDescBatch);
        if (result.failure == PgConnection::Failure::None) {
            result = connection.copyIn(CopyDescBatch, descData);
        }
        if (result.failure == PgConnection::Failure::None) {
            result = connection.exec(UpsertDesc);
        }
    }
    const bool recordsFailed = result.failure != PgConnection::Failure::None;
    if (result.failure == PgConnection::Failure::None && !log.isEmpty()) {
        result = connection.copyIn(CopyLog, logData);
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
