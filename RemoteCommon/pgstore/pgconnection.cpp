#include "pgconnection.h"

#include <QDebug>
#include <QSqlDriver>
#include <QSqlError>
#include <QStringList>
#include <QVariant>
#include <QtEndian>

#include <libpq-fe.h>

#include <cstring>

namespace {

// The schema: the version table, then the tables with their columns and values
// as in the SQLite files. "desc", "time" and "localtime" are keywords of SQL and
// are quoted.
const char* const CreateVersionTable = "CREATE TABLE vemo_schema (version integer NOT NULL)";

struct SchemaTable
{
    const char* name;
    const char* create;
    const char* index; // or null
};

// The change number of desc: set from this sequence by every insert and
// update of a row, by which a pair's standby follows the records.
const char* const CreateChangeSequence = "CREATE SEQUENCE IF NOT EXISTS desc_change";

const SchemaTable SchemaTables[] = {
    // A record changes several times in its first minute: room on its page lets
    // PostgreSQL put the new version beside the old one without touching the
    // index (a "HOT" update), which halves the cost of writing a batch.
    {"desc",
     "CREATE TABLE \"desc\" (uoo integer PRIMARY KEY, state integer, writeleft integer, "
     "lefttosend integer, device text, pversion text, uootime timestamp, uootimetemp timestamp, "
     "\"localtime\" timestamp, uooparams bytea, localparams bytea, "
     "change bigint NOT NULL DEFAULT nextval('desc_change')) WITH (fillfactor = 70)",
     "CREATE INDEX desc_change_index ON \"desc\" (change)"},
    {"log",
     "CREATE TABLE log (id bigserial PRIMARY KEY, message integer, uoo integer, "
     "\"time\" timestamp, remark text)",
     "CREATE INDEX log_uoo ON log (uoo)"},
    // Logins are not unique in the SQLite file either: the first one counts.
    {"rpc_users",
     "CREATE TABLE rpc_users (id bigserial PRIMARY KEY, login text, pwd text, fullname text, "
     "permissions bytea, writesleft integer, lastwrite bigint)",
     "CREATE INDEX rpc_users_login ON rpc_users (login)"},
};
const char* const RecordsTable = "desc";
const char* const AccountsTable = "rpc_users";

// The lease of the two-node pair, one row (see PgLease). Never made again when
// it is missing: its terms would start over, and a fence is only as good as
// terms that never come back.
const char* const LeaseStatements[] = {
    "CREATE TABLE vemo_lease (id integer PRIMARY KEY CHECK (id = 1), node text, "
    "term bigint NOT NULL, since timestamptz, expires timestamptz NOT NULL)",
    "INSERT INTO vemo_lease (id, node, term, since, expires) VALUES (1, NULL, 0, NULL, "
    "'-infinity')",
};
// What version 2 adds to a database of version 1, besides the lease.
const char* const ChangeNumberStatements[] = {
    "CREATE SEQUENCE desc_change",
    "ALTER TABLE \"desc\" ADD COLUMN change bigint NOT NULL DEFAULT nextval('desc_change')",
    "CREATE INDEX desc_change_index ON \"desc\" (change)",
};

// Serialises the creation of missing tables between the connections and nodes
// that may find them missing at once (a transaction-scoped advisory lock).
const char* const LockTableCreation = "SELECT pg_advisory_xact_lock(1986358639, 1)";

const char* const InsertBuiltInAccount =
    "INSERT INTO rpc_users (login, pwd, permissions, fullname) VALUES ($1, $2, $3, $4)";

QString resultError(const PGresult* result, const PGconn* conn)
{
    const char* message = result != nullptr ? PQresultErrorMessage(result) : nullptr;
    if (message == nullptr || *message == '\0') {
        message = PQerrorMessage(conn);
    }
    return QString::fromUtf8(message).trimmed();
}

// The connection when it is open; null with the failure otherwise.
PGconn* usable(PGconn* conn, PgConnection::Result* out)
{
    if (conn != nullptr && PQstatus(conn) == CONNECTION_OK) {
        return conn;
    }
    out->failure = PgConnection::Failure::Unreachable;
    out->error = conn != nullptr ? resultError(nullptr, conn) : QStringLiteral("not connected");
    return nullptr;
}

// The failure of a COPY, from its result or the connection's state.
void copyFailed(PGconn* conn, PGresult* result, PgConnection::Result* out)
{
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    out->failure = PQstatus(conn) != CONNECTION_OK || state == nullptr
                       ? PgConnection::Failure::Unreachable
                       : PgConnection::classify(QString::fromLatin1(state));
    out->error = resultError(result, conn);
}

// Starts a COPY; false with the failure when the server does not enter that
// mode (and then nothing stays in COPY mode).
bool startCopy(PGconn* conn, const QByteArray& statement, ExecStatusType mode,
               PgConnection::Result* out)
{
    PGresult* started = PQexec(conn, statement.constData());
    const bool ok = PQresultStatus(started) == mode;
    if (!ok) {
        copyFailed(conn, started, out);
        if (out->failure == PgConnection::Failure::None) {
            out->failure = PgConnection::Failure::Damaged;
        }
    }
    PQclear(started);
    if (!ok) {
        while (PGresult* rest = PQgetResult(conn)) {
            PQclear(rest);
        }
    }
    return ok;
}

} // namespace

const char* const PgConnection::UntouchedBuiltInAccount =
    "login = $1 AND pwd = $2 AND permissions = $3 AND fullname = $4 AND writesleft IS NULL "
    "AND lastwrite IS NULL";

QVector<PgConnection::Param> PgConnection::builtInAccount()
{
    // The same values as the accounts file's seed (AccountStore::BuiltInLogin,
    // PublishedDigest, AllPermissions); the digest is stored lower-cased.
    return {Param{QByteArray("adminvemo")}, Param{QByteArray("5f1d0c8e2a7b4963d0e18c2f7a9b3e64")},
            Param{QByteArray(1, '\x7f'), true}, Param{QByteArray("")}};
}

PgConnection::PgConnection(const QString& connectionName, const QString& connectionString)
    : name(connectionName), conninfo(connectionString)
{
}

PgConnection::~PgConnection()
{
    close();
    if (db.isValid()) {
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
}

pg_conn* PgConnection::handle() const
{
    if (!db.isValid() || !db.isOpen()) {
        return nullptr;
    }
    const QVariant native = db.driver()->handle();
    if (!native.isValid() || qstrcmp(native.typeName(), "PGconn*") != 0) {
        return nullptr;
    }
    return *static_cast<PGconn* const*>(native.data());
}

bool PgConnection::isOpen() const
{
    PGconn* conn = handle();
    return conn != nullptr && PQstatus(conn) == CONNECTION_OK;
}

void PgConnection::close()
{
    if (db.isValid() && db.isOpen()) {
        db.close();
    }
}

bool PgConnection::ensureOpen(Failure* failure, QString* error)
{
    if (isOpen()) {
        return true;
    }
    close();
    bool bad = false;
    if (!serverAnswers(conninfo, &bad)) {
        *failure = bad ? Failure::Refused : Failure::Unreachable;
        *error = bad ? QStringLiteral("invalid connection string")
                     : QStringLiteral("no server answers");
        return false;
    }
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    }
    // Qt's driver passes its options on to libpq as they are, after its own
    // (empty) host and database; ';' separates options for it.
    QString options = conninfo;
    db.setConnectOptions(options.replace(QLatin1Char(';'), QLatin1Char(' ')));
    if (!db.open()) {
        // The server answers: what fails is the login or the database.
        *failure = Failure::Refused;
        // The server's own words, on one line (libpq's text may span several;
        // the driver's "unable to connect" adds nothing).
        const QSqlError sqlError = db.lastError();
        *error = (sqlError.databaseText().isEmpty() ? sqlError.text() : sqlError.databaseText())
                     .simplified();
        return false;
    }
    // Qt's driver asks for bytea in the escape form; the native reads decode hex.
    exec("SET bytea_output = hex");
    exec("SET client_min_messages = warning");
    // The statements are few and simple: compiling them would cost more than it
    // saves (a read of every record, a large batch).
    exec("SET jit = off");
    return true;
}

PgConnection::Failure PgConnection::ensureSchema(QString* error)
{
    Result found = exec("SELECT to_regclass('vemo_schema') IS NOT NULL");
    if (found.failure != Failure::None) {
        *error = found.error;
        return found.failure;
    }
    if (found.rows.value(0).value(0) == "t") {
        const Result version = exec("SELECT max(version) FROM vemo_schema");
        if (version.failure != Failure::None) {
            *error = version.error;
            return version.failure;
        }
        const QByteArray text = version.rows.value(0).value(0);
        if (text.toInt() == 1) {
            return migrateFromVersion1(error);
        }
        if (text.toInt() != SchemaVersion) {
            *error = QStringLiteral("schema version %1, this program uses %2")
                         .arg(text.isNull() ? QStringLiteral("none") : QString::fromLatin1(text))
                         .arg(SchemaVersion);
            return Failure::Damaged;
        }
        Failure restoreFailure = Failure::None;
        return restoreMissingTables(error, &restoreFailure) < 0 ? restoreFailure : Failure::None;
    }
    // A fresh database: every table or none (two servers creating it at once:
    // the second fails and finds the schema at its next try).
    Result result = exec("BEGIN");
    if (result.failure == Failure::None) {
        result = exec(CreateVersionTable);
    }
    if (result.failure == Failure::None) {
        result = exec(CreateChangeSequence);
    }
    for (const SchemaTable& table : SchemaTables) {
        if (result.failure == Failure::None) {
            result = exec(table.create);
        }
        if (result.failure == Failure::None && table.index != nullptr) {
            result = exec(table.index);
        }
    }
    for (const char* statement : LeaseStatements) {
        if (result.failure == Failure::None) {
            result = exec(statement);
        }
    }
    if (result.failure == Failure::None) {
        result = exec("INSERT INTO vemo_schema (version) VALUES ($1)",
                      {{QByteArray::number(SchemaVersion)}});
    }
    if (result.failure == Failure::None) {
        result = exec(InsertBuiltInAccount, builtInAccount());
    }
    if (result.failure == Failure::None) {
        result = exec("COMMIT");
    }
    if (result.failure != Failure::None) {
        exec("ROLLBACK");
        *error = result.error;
        return result.failure;
    }
    return Failure::None;
}

// In one transaction, under a lock of the version table: two servers of the new
// version starting at once migrate it once (the second finds version 2).
PgConnection::Failure PgConnection::migrateFromVersion1(QString* error)
{
    Result result = exec("BEGIN");
    if (result.failure == Failure::None) {
        result = exec("LOCK TABLE vemo_schema IN EXCLUSIVE MODE");
    }
    bool migrate = false;
    if (result.failure == Failure::None) {
        result = exec("SELECT max(version) FROM vemo_schema");
        migrate = result.failure == Failure::None && result.rows.value(0).value(0) == "1";
    }
    for (const char* statement : LeaseStatements) {
        if (migrate && result.failure == Failure::None) {
            result = exec(statement);
        }
    }
    for (const char* statement : ChangeNumberStatements) {
        if (migrate && result.failure == Failure::None) {
            result = exec(statement);
        }
    }
    if (migrate && result.failure == Failure::None) {
        result = exec("UPDATE vemo_schema SET version = $1", {{QByteArray::number(SchemaVersion)}});
    }
    if (result.failure == Failure::None) {
        result = exec("COMMIT");
    }
    if (result.failure != Failure::None) {
        exec("ROLLBACK");
        *error = QStringLiteral("schema version 1 not migrated to %1: %2")
                     .arg(SchemaVersion)
                     .arg(result.error);
        return result.failure;
    }
    return Failure::None;
}

int PgConnection::restoreMissingTables(QString* error, Failure* failure)
{
    Result result = exec("BEGIN");
    if (result.failure == Failure::None) {
        result = exec(LockTableCreation);
    }
    QStringList restored;
    for (const SchemaTable& table : SchemaTables) {
        if (result.failure != Failure::None) {
            break;
        }
        result = exec("SELECT to_regclass(quote_ident($1)) IS NULL", {{QByteArray(table.name)}});
        if (result.failure != Failure::None || result.rows.value(0).value(0) != "t") {
            continue;
        }
        // The change numbers go on from where they stood, unless the sequence
        // went with the table.
        if (qstrcmp(table.name, RecordsTable) == 0) {
            result = exec(CreateChangeSequence);
        }
        if (result.failure == Failure::None) {
            result = exec(table.create);
        }
        if (result.failure == Failure::None && table.index != nullptr) {
            result = exec(table.index);
        }
        // As a new accounts file: a table of accounts without the built-in
        // one would let nobody log in.
        if (result.failure == Failure::None && qstrcmp(table.name, AccountsTable) == 0) {
            result = exec(InsertBuiltInAccount, builtInAccount());
        }
        restored.append(QLatin1String(table.name));
    }
    if (result.failure == Failure::None) {
        result = exec("COMMIT");
    }
    if (result.failure != Failure::None) {
        exec("ROLLBACK");
        *error = result.error;
        if (failure != nullptr) {
            *failure = result.failure;
        }
        return -1;
    }
    restoredTables += restored;
    if (!restored.isEmpty()) {
        qCritical().noquote().nospace()
            << "ERROR: В базе PostgreSQL не было таблиц: " << restored.join(QLatin1String(", "))
            << "; созданы заново пустыми"
            << (restored.contains(QLatin1String(AccountsTable))
                    ? " (rpc_users со встроенной учётной записью adminvemo)"
                    : "")
            << ", строки остальных таблиц не затронуты";
    }
    return restored.size();
}

QStringList PgConnection::takeRestoredTables()
{
    QStringList taken;
    taken.swap(restoredTables);
    return taken;
}

void PgConnection::setLockTimeoutMs(int ms)
{
    exec("SELECT set_config('lock_timeout', $1, false)", {{QByteArray::number(qMax(0, ms))}});
}

PgConnection::Result PgConnection::exec(const QByteArray& statement, const QVector<Param>& params,
                                        bool binaryResult)
{
    Result out;
    PGconn* conn = usable(handle(), &out);
    if (conn == nullptr) {
        return out;
    }
    QVector<const char*> values(params.size());
    QVector<int> lengths(params.size());
    QVector<int> formats(params.size());
    for (int i = 0; i < params.size(); ++i) {
        values[i] = params[i].value.isNull() ? nullptr : params[i].value.constData();
        lengths[i] = params[i].value.size();
        formats[i] = params[i].binary ? 1 : 0;
    }
    PGresult* result = PQexecParams(conn, statement.constData(), params.size(), nullptr,
                                    values.constData(), lengths.constData(), formats.constData(),
                                    binaryResult ? 1 : 0);
    const ExecStatusType status = PQresultStatus(result);
    if ((status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) && binaryResult) {
        out.native = std::shared_ptr<PGresult>(result, PQclear);
        return out;
    }
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        out.affected = QByteArray(PQcmdTuples(result)).toInt();
        const int rows = PQntuples(result);
        const int columns = PQnfields(result);
        out.rows.reserve(rows);
        for (int r = 0; r < rows; ++r) {
            QVector<QByteArray> row(columns);
            for (int c = 0; c < columns; ++c) {
                if (!PQgetisnull(result, r, c)) {
                    row[c] = QByteArray(PQgetvalue(result, r, c), PQgetlength(result, r, c));
                }
            }
            out.rows.append(std::move(row));
        }
    } else {
        const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE)
                                              : nullptr;
        out.failure = PQstatus(conn) != CONNECTION_OK || state == nullptr
                          ? Failure::Unreachable
                          : classify(QString::fromLatin1(state));
        out.sqlState = QByteArray(state);
        out.error = resultError(result, conn);
    }
    PQclear(result);
    return out;
}

PgConnection::Result PgConnection::copyIn(const QByteArray& statement, const QByteArray& data)
{
    Result out;
    PGconn* conn = usable(handle(), &out);
    if (conn == nullptr) {
        return out;
    }
    if (!startCopy(conn, statement, PGRES_COPY_IN, &out)) {
        return out;
    }
    // The data goes in pieces that libpq passes on as they come.
    constexpr int Piece = 1 << 20;
    bool sent = true;
    for (int at = 0; sent && at < data.size(); at += Piece) {
        sent = PQputCopyData(conn, data.constData() + at, qMin(Piece, data.size() - at)) == 1;
    }
    const bool ended = PQputCopyEnd(conn, sent ? nullptr : "data not sent") == 1;
    PGresult* result = PQgetResult(conn);
    if (!sent || !ended || PQresultStatus(result) != PGRES_COMMAND_OK) {
        copyFailed(conn, result, &out);
        if (out.failure == Failure::None) {
            out.failure = Failure::Unreachable;
        }
    } else {
        out.affected = QByteArray(PQcmdTuples(result)).toInt();
    }
    PQclear(result);
    while (PGresult* rest = PQgetResult(conn)) {
        PQclear(rest);
    }
    return out;
}

PgConnection::Result PgConnection::copyOut(const QByteArray& statement,
                                           PgCopyReceiver* receiver)
{
    Result out;
    PGconn* conn = usable(handle(), &out);
    if (conn == nullptr) {
        return out;
    }
    if (!startCopy(conn, statement, PGRES_COPY_OUT, &out)) {
        return out;
    }
    // The binary format's header: signature, flags, then the extension's length.
    static const char Signature[] = "PGCOPY\n\xff\r\n";
    constexpr int SignatureBytes = 11;
    bool first = true;
    for (;;) {
        char* buffer = nullptr;
        const int length = PQgetCopyData(conn, &buffer, 0);
        if (length < 0) {
            break;
        }
        const char* data = buffer;
        int left = length;
        if (first && left >= SignatureBytes + 8 && memcmp(data, Signature, SignatureBytes) == 0) {
            const quint32 extension = qFromBigEndian<quint32>(data + SignatureBytes + 4);
            const qint64 header = SignatureBytes + 8 + qint64(extension);
            data += qMin<qint64>(header, left);
            left -= static_cast<int>(qMin<qint64>(header, left));
        }
        first = false;
        if (left > 0) {
            receiver->copyRow(data, left);
        }
        PQfreemem(buffer);
    }
    PGresult* result = PQgetResult(conn);
    if (PQresultStatus(result) != PGRES_COMMAND_OK) {
        copyFailed(conn, result, &out);
        if (out.failure == Failure::None) {
            out.failure = Failure::Unreachable;
        }
    }
    PQclear(result);
    while (PGresult* rest = PQgetResult(conn)) {
        PQclear(rest);
    }
    return out;
}

int PgConnection::rowCount(const Result& result)
{
    return result.native ? PQntuples(result.native.get()) : 0;
}

unsigned PgConnection::columnType(const Result& result, int column)
{
    return result.native ? PQftype(result.native.get(), column) : 0;
}

const char* PgConnection::value(const Result& result, int row, int column, int* length)
{
    PGresult* native = result.native.get();
    if (PQgetisnull(native, row, column)) {
        *length = 0;
        return nullptr;
    }
    *length = PQgetlength(native, row, column);
    return PQgetvalue(native, row, column);
}

bool PgConnection::serverAnswers(const QString& connectionString, bool* bad)
{
    const PGPing ping = PQping(connectionString.toUtf8().constData());
    *bad = ping == PQPING_NO_ATTEMPT;
    return ping == PQPING_OK;
}

PgConnection::Failure PgConnection::classify(const QString& sqlState)
{
    if (sqlState.isEmpty()) {
        return Failure::None;
    }
    if (sqlState == QLatin1String("55P03") || sqlState == QLatin1String("40001") ||
        sqlState == QLatin1String("40P01")) {
        return Failure::Locked;
    }
    const QStringRef sqlClass = sqlState.leftRef(2);
    if (sqlClass == QLatin1String("08") || sqlClass == QLatin1String("53") ||
        sqlClass == QLatin1String("57") || sqlClass == QLatin1String("58") ||
        sqlClass == QLatin1String("25") || sqlClass == QLatin1String("40")) {
        return Failure::Unreachable;
    }
    if (sqlClass == QLatin1String("28") || sqlState == QLatin1String("3D000")) {
        return Failure::Refused;
    }
    return Failure::Damaged;
}
