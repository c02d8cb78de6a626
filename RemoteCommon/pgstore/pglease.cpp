#include "pglease.h"

namespace {

using Param = PgConnection::Param;

// The class of the advisory locks that hold node names (the second key is the
// name's hash).
const char* const LockNodeName = "SELECT pg_try_advisory_lock(1447380309, hashtext($1))";
const char* const Acquire =
    "UPDATE vemo_lease SET node = $1, term = term + 1, since = now(), "
    "expires = now() + $2 * interval '1 millisecond' "
    "WHERE id = 1 AND (node IS NULL OR node = $1 OR expires <= now()) "
    "RETURNING term, to_char(since, 'YYYY-MM-DD\"T\"HH24:MI:SS.MSOF')";
const char* const Renew =
    "UPDATE vemo_lease SET expires = now() + $3 * interval '1 millisecond' "
    "WHERE id = 1 AND node = $1 AND term = $2";
const char* const Release =
    "UPDATE vemo_lease SET expires = now() WHERE id = 1 AND node = $1 AND term = $2";
const char* const Fence = "SELECT 1 FROM vemo_lease WHERE id = 1 AND node = $1 AND term = $2 "
                          "FOR SHARE";
const char* const Holder =
    "SELECT node, term, to_char(since, 'YYYY-MM-DD\"T\"HH24:MI:SS.MSOF') FROM vemo_lease "
    "WHERE id = 1 AND expires > now()";

QDateTime sinceTime(const QByteArray& text)
{
    // "+01" or "+05:30": ISO wants the minutes.
    QString value = QString::fromLatin1(text);
    if (value.size() >= 3 && value.at(value.size() - 3).isPunct()) {
        value += QStringLiteral(":00");
    }
    return QDateTime::fromString(value, Qt::ISODateWithMs);
}

} // namespace

bool PgLease::lockNodeName(PgConnection& connection, const QString& node, bool* taken,
                           QString* error)
{
    *taken = false;
    const PgConnection::Result result = connection.exec(LockNodeName, {Param{node.toUtf8()}});
    if (result.failure != Failure::None) {
        *error = result.error;
        return false;
    }
    *taken = result.rows.value(0).value(0) != "t";
    return !*taken;
}

PgLease::Failure PgLease::acquire(PgConnection& connection, const QString& node, int ttlMs,
                                  qint64* term, QDateTime* since, QString* error)
{
    *term = 0;
    const PgConnection::Result result =
        connection.exec(Acquire, {Param{node.toUtf8()}, Param{QByteArray::number(ttlMs)}});
    if (result.failure != Failure::None) {
        *error = result.error;
        return result.failure;
    }
    if (!result.rows.isEmpty()) {
        *term = result.rows[0].value(0).toLongLong();
        *since = sinceTime(result.rows[0].value(1));
    }
    return Failure::None;
}

PgLease::Failure PgLease::renew(PgConnection& connection, const QString& node, qint64 term,
                                int ttlMs, bool* held, QString* error)
{
    *held = false;
    const PgConnection::Result result =
        connection.exec(Renew, {Param{node.toUtf8()}, Param{QByteArray::number(term)},
                                Param{QByteArray::number(ttlMs)}});
    if (result.failure != Failure::None) {
        *error = result.error;
        return result.failure;
    }
    *held = result.affected == 1;
    return Failure::None;
}

PgLease::Failure PgLease::release(PgConnection& connection, const QString& node, qint64 term,
                                  QString* error)
{
    const PgConnection::Result result =
        connection.exec(Release, {Param{node.toUtf8()}, Param{QByteArray::number(term)}});
    if (result.failure != Failure::None) {
        *error = result.error;
    }
    return result.failure;
}

PgLease::Failure PgLease::fence(PgConnection& connection, const QString& node, qint64 term,
                                QString* error)
{
    if (term <= 0) {
        *error = QStringLiteral("node %1 holds no lease term").arg(node);
        return Failure::Fenced;
    }
    const PgConnection::Result result =
        connection.exec(Fence, {Param{node.toUtf8()}, Param{QByteArray::number(term)}});
    if (result.failure != Failure::None) {
        *error = result.error;
        return result.failure;
    }
    if (result.rows.isEmpty()) {
        *error = QStringLiteral("lease term %1 of node %2 replaced by another node")
                     .arg(term)
                     .arg(node);
        return Failure::Fenced;
    }
    return Failure::None;
}

PgLease::Failure PgLease::holder(PgConnection& connection, QString* node, qint64* term,
                                 QDateTime* since, QString* error)
{
    *term = 0;
    const PgConnection::Result result = connection.exec(Holder);
    if (result.failure != Failure::None) {
        *error = result.error;
        return result.failure;
    }
    if (!result.rows.isEmpty()) {
        *node = QString::fromUtf8(result.rows[0].value(0));
        *term = result.rows[0].value(1).toLongLong();
        *since = sinceTime(result.rows[0].value(2));
    }
    return Failure::None;
}
