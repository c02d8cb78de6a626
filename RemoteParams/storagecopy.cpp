#include "storagecopy.h"

#include "paramsdatabase.h"
#include "pgaccountstore.h"
#include "pgparamsdatabase.h"
#include "rpcaccountstore.h"

#include <QFile>
#include <QSqlDatabase>
#include <QTextStream>

#include <limits>

namespace {

constexpr int CopyBatchRows = 10000;
const char* const SourceAccounts = "vemo_copy_accounts";

} // namespace

StorageCopy::StorageCopy(const QString& paramsFile, const QString& accountsFile,
                         const QString& connection)
    : paramsFile(paramsFile), accountsFile(accountsFile), connection(connection)
{
}

int StorageCopy::run(QTextStream& out, QTextStream& err)
{
    // The target: reachable, and empty (the schema is made here when missing).
    PgConnection target(QStringLiteral("vemo_copy_target"), connection);
    PgConnection::Failure failure = PgConnection::Failure::None;
    QString error;
    if (!target.ensureOpen(&failure, &error) ||
        (failure = target.ensureSchema(&error)) != PgConnection::Failure::None) {
        err << "Storage/Connection: " << error << "\n";
        return 1;
    }
    // The built-in account that the schema is created with is no station's
    // data: the copy carries the source's accounts in its place (below).
    const QByteArray untouched(PgConnection::UntouchedBuiltInAccount);
    const PgConnection::Result held = target.exec(
        "SELECT (SELECT count(*) FROM \"desc\") + (SELECT count(*) FROM log) + "
        "(SELECT count(*) FROM rpc_users WHERE (" + untouched + ") IS NOT TRUE)",
        PgConnection::builtInAccount());
    if (held.failure != PgConnection::Failure::None || held.rows.value(0).value(0) != "0") {
        err << "Storage/Connection: the target database is not empty ("
            << (held.failure != PgConnection::Failure::None ? held.error
                                                            : held.rows.value(0).value(0))
            << " rows); nothing copied\n";
        return 1;
    }
    if (!QFile::exists(paramsFile) || !QFile::exists(accountsFile)) {
        err << "no SQLite files to copy: " << paramsFile << ", " << accountsFile << "\n";
        return 1;
    }

    // Records and action log, through the same stores the service uses.
    ParamsDatabase source(QStringLiteral("vemo_copy_source"), paramsFile);
    ParamsStore::ReadReport read;
    QVector<ParamsLogRow> log;
    if (!source.openConnection()) {
        return 1;
    }
    const QVector<ParamsRow> records =
        source.readRecords(std::numeric_limits<int>::max(), &read);
    if (read.failure != ParamsStore::Failure::None || !source.readLog(&log)) {
        err << paramsFile << ": " << read.error << "\n";
        return 1;
    }
    PgParamsDatabase records_target(QStringLiteral("vemo_copy_records"), connection);
    for (int start = 0; start < qMax(records.size(), log.size()); start += CopyBatchRows) {
        const ParamsStore::WriteReport written =
            records_target.writeBatch(records.mid(start, CopyBatchRows), log.mid(start, CopyBatchRows));
        if (written.failure != ParamsStore::Failure::None) {
            err << "Storage/Connection: " << written.error << "\n";
            return 1;
        }
    }

    // Accounts: as stored, the password values included.
    int accounts = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QLatin1String(SourceAccounts));
        db.setDatabaseName(accountsFile);
        RpcAccountStore from(db);
        PgAccountStore to(connection);
        if (!db.open()) {
            err << accountsFile << ": cannot be opened\n";
            return 1;
        }
        // Only now, with the source at hand, does the built-in account make way.
        const PgConnection::Result cleared = target.exec(
            "DELETE FROM rpc_users WHERE " + untouched, PgConnection::builtInAccount());
        if (cleared.failure != PgConnection::Failure::None) {
            err << "Storage/Connection: " << cleared.error << "\n";
            return 1;
        }
        for (const VemoRpcClient& user : from.loadAll()) {
            QString stored;
            VemoRpcClient account;
            if (!from.lookup(user.login, &stored, &account) ||
                !to.add(user.login, stored, user.permissions, user.fullname) ||
                !to.setWriteCounters(user.login, user.writesleft, user.lastwrite)) {
                err << "account " << user.login << " not copied\n";
                return 1;
            }
            ++accounts;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(SourceAccounts));

    const PgConnection::Result counted = target.exec(
        "SELECT (SELECT count(*) FROM \"desc\"), (SELECT count(*) FROM log), "
        "(SELECT count(*) FROM rpc_users)");
    const QVector<QByteArray> counts = counted.rows.value(0);
    if (counts.size() != 3 || counts[0].toInt() != records.size() ||
        counts[1].toInt() != log.size() || counts[2].toInt() != accounts) {
        err << "the counts in the target differ from what was read; see the target database\n";
        return 1;
    }
    out << "copied to PostgreSQL: records " << records.size() << ", action-log rows "
        << log.size() << ", accounts " << accounts;
    if (read.rowsRepaired > 0 || read.rowsSkipped > 0) {
        out << " (records repaired " << read.rowsRepaired << ", rows skipped "
            << read.rowsSkipped << ")";
    }
    out << "\n";
    return 0;
}
