#include "pgconnection.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <libpq-fe.h>

namespace {

// The schema: the version table, then the tables with their columns and values
// as in the SQLite files. "desc", "time" and "localtime" are keywords of SQL and
// are quoted.
const char* const SchemaStatements[] = {
    "CREATE TABLE vemo_schema (version integer NOT NULL)",
    "CREATE TABLE \"desc\" (uoo integer PRIMARY KEY, state integer, writeleft integer, "
    "lefttosend integer, device text, pversion text, uootime timestamp, uootimetemp timestamp, "
    "\"localtime\" timestamp, uooparams bytea, localparams bytea)",
    "CREATE TABLE log (id bigserial PRIMARY KEY, message integer, uoo integer, "
    "\"time\" timestamp, remark text)",
    "CREATE INDEX log_uoo ON log (uoo)",
    // Logins are not unique in the SQLite file either: the first one counts.
    "CREATE TABLE rpc_users (id bigserial PRIMARY KEY, login text, pwd text, fullname text, "
    "permissions bytea, writesleft integer, lastwrite bigint)",
    "CREATE INDEX rpc_users_login ON rpc_users (login)",
};

// What version 2 adds to version 1 (a fresh database gets it too): the lease
// of the two-node pair, one row (see PgLease), and the change number of desc,
// set from one sequence by every insert and update of a row, by which a
// standby follows the records.
const char* const Version2Statements[] = {
    "CREATE TABLE vemo_lease (id integer PRIMARY KEY CHECK (id = 1), node text, "
    "term bigint NOT NULL, since timestamptz, expires timestamptz NOT NULL)",
    "INSERT INTO vemo_lease (id, node, term, since, expires) VALUES (1, NULL, 0, NULL, "
    "'-infinity')",
    "CREATE SEQUENCE desc_change",
    "ALTER TABLE \"desc\" ADD COLUMN change bigint NOT NULL DEFAULT nextval('desc_change')",
    "CREATE INDEX desc_change_index ON \"desc\" (change)",
};

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
        *error = db.lastError().text().trimmed();
        return false;
    }
    // Qt's driver asks for bytea in the escape form; the native reads decode hex.
    exec("SET bytea_output = hex");
    exec("SET client_min_messages = warning");
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
        return Failure::None;
    }
    // A fresh database: every table or none (two servers creating it at once:
    // the second fails and finds the schema at its next try).
    Result result = exec("BEGIN");
    for (const char* statement : SchemaStatements) {
        if (result.failure == Failure::None) {
            result = exec(statement);
        }
    }
    for (const char* statement : Version2Statements) {
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
    for (const char* statement : Version2Statements) {
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

void PgConnection::setLockTimeoutMs(int ms)
{
    exec("SELECT set_config('lock_timeout', $1, false)", {{QByteArray::number(qMax(0, ms))}});
}

PgConnection::Result PgConnection::exec(const QByteArray& statement, const QVector<Param>& params,
                                        bool binaryResult)
{
    Result out;
    PGconn* conn = handle();
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        out.failure = Failure::Unreachable;
        out.error = conn != nullptr ? resultError(nullptr, conn) : QStringLiteral("not connected");
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
        out.error = resultError(result, conn);
    }
    PQclear(result);
    return out;
}

int PgConnection::rowCount(const Result& result)
{
    return result.native ? PQntuples(result.native.get()) : 0;
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
