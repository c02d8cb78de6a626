#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

struct pg_conn;
struct pg_result;

// Takes the rows of a COPY ... TO STDOUT as they arrive, one message at a time
// (valid during the call only).
class PgCopyReceiver
{
public:
    virtual ~PgCopyReceiver() = default;
    virtual void copyRow(const char* data, int length) = 0;
};

// One connection to the station's PostgreSQL database through Qt's driver
// (QPSQL), with libpq's native handle for what Qt's API does too slowly, and the
// schema every table of the service lives in. The connection belongs to the
// thread that opened it. A connection lost (the server restarted, the backend
// terminated) is opened again by the next ensureOpen().
class PgConnection
{
public:
    // The version of the tables created here. A database of version 1 is
    // migrated in place (one transaction); one of another version is not used.
    static constexpr int SchemaVersion = 2;

    // What a failure was, as far as the caller is concerned.
    enum class Failure {
        None,
        Locked,      // a lock not granted in time, a deadlock, a serialization failure
        Unreachable, // no server, a lost connection, a server shutting down, no space
        Refused,     // a bad connection string, a refused login, a missing database
        Damaged,     // tables of another shape or schema version, bad data
        Fenced,      // a write of a lease term that another node has since replaced
    };

    // A result of a native statement: ok, or its failure and the server's text.
    struct Result
    {
        Failure failure = Failure::None;
        QString error;
        QByteArray sqlState; // the server's code of the failure, when it gave one
        QVector<QVector<QByteArray>> rows; // text values; a null is a null QByteArray
        int affected = 0;
        // With a binary result, the rows stay in libpq's result (no copy a value):
        // see rowCount() and value().
        std::shared_ptr<pg_result> native;
    };
    // The rows of a binary result, and one value of it in place (null for SQL
    // NULL; valid while the result is).
    static int rowCount(const Result& result);
    static const char* value(const Result& result, int row, int column, int* length);
    // The type (PostgreSQL's type OID) of a column of a binary result.
    static unsigned columnType(const Result& result, int column);

    // A parameter of a native statement: text, or binary (bytea); a null
    // QByteArray is SQL NULL.
    struct Param
    {
        QByteArray value;
        bool binary = false;
    };

    explicit PgConnection(const QString& connectionName, const QString& connectionString);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    QString connectionString() const { return conninfo; }
    QSqlDatabase database() const { return db; }

    // Opens (or re-opens a lost) connection; false with the failure and its text.
    bool ensureOpen(Failure* failure, QString* error);
    bool isOpen() const;
    void close();
    // Creates the schema when the database has none, checks its version
    // otherwise. Damaged (with the version found) for another version. The
    // transaction that creates the schema also adds the built-in administrator
    // account to rpc_users, as a new accounts file has it: whichever store
    // reaches the database first, the account is there, and once only.
    Failure ensureSchema(QString* error);
    // Creates, as the schema does, a table of the schema that is missing (one
    // dropped by hand), never touching the tables that exist; a recreated
    // rpc_users gets the built-in account. One log line names what was
    // recreated. The number of tables recreated, or -1 with the failure and
    // its text.
    int restoreMissingTables(QString* error, Failure* failure = nullptr);
    // A statement failed because a table of the schema is missing.
    static bool isMissingTable(const Result& result) { return result.sqlState == "42P01"; }
    // The tables recreated on this connection since the last call.
    QStringList takeRestoredTables();

    // The built-in account as the schema is created with it (login "adminvemo",
    // the published digest, permission 127, no full name), and the condition
    // that matches it while it is untouched (no password or permission change,
    // no write counted), with these values as $1..$4.
    static QVector<Param> builtInAccount();
    static const char* const UntouchedBuiltInAccount;
    // How long a statement waits for a lock.
    void setLockTimeoutMs(int ms);

    // Runs a statement with $1.. parameters through libpq. The values of the
    // rows come as text in `rows`, or with binaryResult in PostgreSQL's binary
    // form in `native` (no formatting nor copies: for reads of many rows).
    Result exec(const QByteArray& statement, const QVector<Param>& params = {},
                bool binaryResult = false);
    Result exec(const char* statement, const QVector<Param>& params = {},
                bool binaryResult = false)
    {
        return exec(QByteArray(statement), params, binaryResult);
    }

    // Runs a COPY ... FROM STDIN statement with this data (in the statement's
    // format) as its input; the failure of either is the result's.
    Result copyIn(const QByteArray& statement, const QByteArray& data);

    // Runs a COPY ... TO STDOUT statement and hands every row to the receiver as
    // it arrives (decoding overlaps the server's work); the header of the binary
    // format is not passed on. A failure ends it with the rows so far handed on.
    Result copyOut(const QByteArray& statement, PgCopyReceiver* receiver);

    // Is a server answering at that connection string? True when it does, even if
    // it would refuse the login; *bad is set when the string itself is wrong.
    static bool serverAnswers(const QString& connectionString, bool* bad);
    static Failure classify(const QString& sqlState);

private:
    pg_conn* handle() const;
    Failure migrateFromVersion1(QString* error);

    QString name;
    QString conninfo;
    QSqlDatabase db;
    QStringList restoredTables;
};
