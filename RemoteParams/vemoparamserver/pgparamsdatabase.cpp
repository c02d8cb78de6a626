#include "pgparamsdatabase.h"

#include <QDebug>

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
// Per-row messages of a read stop after this many; the caller logs the totals.
constexpr int MaxRowMessages = 10;

using Param = PgConnection::Param;

QByteArray timeText(const QDateTime& time)
{
    if (!time.isValid()) {
        return QByteArray();
    }
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1();
}

QDateTime timeValue(const QByteArray& text)
{
    if (text.isNull()) {
        return QDateTime();
    }
    QString iso = QString::fromLatin1(text);
    iso[10] = QLatin1Char('T');
    return QDateTime::fromString(iso, Qt::ISODateWithMs);
}

QByteArray byteaValue(const QByteArray& text)
{
    // Text output of bytea: \x and two hex digits a byte.
    return text.startsWith("\\x") ? QByteArray::fromHex(text.mid(2)) : text;
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
            connection.exec(SelectDescPage, {{QByteArray::number(from)}, {maxSet}, {limit}});
        if (page.failure != PgConnection::Failure::None) {
            report->failure = storeFailure(page.failure);
            report->error = page.error;
            break;
        }
        for (const QVector<QByteArray>& value : page.rows) {
            ParamsRow row;
            from = value[0].toLongLong();
            row.uoo = static_cast<quint32>(static_cast<qint32>(from));
            UooRParamsDesc& record = row.record;
            bool repaired = false;
            record.uoo = row.uoo;
            const auto intValue = [&repaired](const QByteArray& text, int fallback) {
                if (text.isNull()) {
                    repaired = true;
                    return fallback;
                }
                return text.toInt();
            };
            record.state = intValue(value[1], UooRParamsDesc::PAR_STATE_WAIT_SEND);
            record.writeLeft = intValue(value[2], 0);
            record.device = QString::fromUtf8(value[4]);
            record.pversion = QString::fromUtf8(value[5]);
            record.uootime = timeValue(value[6]);
            record.uootimetemp = timeValue(value[7]);
            record.localtime = timeValue(value[8]);
            record.uooparams = byteaValue(value[9]);
            record.localparams = byteaValue(value[10]);
            record.leftToSend = intValue(value[3], record.localparams.size());
            if (value[11] == "t") {
                // The device's set as stored is larger than any upload: ask again.
                repaired = true;
                record.uooparams.clear();
                record.state = UooRParamsDesc::PAR_STATE_WAIT_SEND;
            }
            if (value[12] == "t") {
                // A new set larger than any device takes is given up.
                repaired = true;
                record.localparams.clear();
                record.localtime = QDateTime();
                record.writeLeft = 0;
                record.leftToSend = 0;
                if (record.state > UooRParamsDesc::PAR_STATE_IDLE) {
                    record.state = UooRParamsDesc::PAR_STATE_IDLE;
                }
            }
            if (repaired) {
                ++report->rowsRepaired;
                if (messages++ < MaxRowMessages) {
                    qCritical().noquote().nospace()
                        << "ERROR: Запись УОО " << QString::number(row.uoo)
                        << " в таблице desc содержит недопустимые значения; загружена с "
                           "исправлениями";
                }
            }
            rows.append(std::move(row));
            ++report->rowsRead;
            if (sink != nullptr && rows.size() >= chunkRows) {
                sink->takeRows(rows);
                rows.clear();
            }
        }
        if (page.rows.size() < ReadPageRows) {
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
