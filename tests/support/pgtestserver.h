#pragma once

#include <QString>

// A PostgreSQL 15 of the test's own (tests/scripts/postgres-server.sh): a
// cluster in a scratch folder of the build tree, reached over its Unix socket,
// removed at the end. Each database it makes is new and empty.
class PgTestServer
{
public:
    // name: the scratch folder's name under the build tree's folder pgtest/.
    explicit PgTestServer(const QString& name);
    ~PgTestServer();
    PgTestServer(const PgTestServer&) = delete;
    PgTestServer& operator=(const PgTestServer&) = delete;

    bool start();
    bool stop();
    // A new empty database; its libpq connection string, or an empty text.
    QString createDatabase();
    // Runs one statement as the superuser in that database; false when it fails.
    bool exec(const QString& connection, const QString& statement);
    // The first column of the first row of a query's result, or "error: ...".
    QString value(const QString& connection, const QString& query);

    QString adminConnection() const;

private:
    bool run(const QString& action);

    QString dir;
    int databases = 0;
};
