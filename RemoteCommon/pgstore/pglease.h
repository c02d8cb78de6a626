#pragma once

#include "pgconnection.h"

#include <QDateTime>
#include <QString>

// The lease of a two-node pair in table vemo_lease (one row: the node holding
// it, its term, since when, and until when by the database's clock). A node is
// active only while it holds the lease; every write transaction of the active
// node first checks, with fence(), that the row still names it and its term,
// and holds the row (FOR SHARE) until it ends: a takeover waits for writes in
// flight, and no write of an older term commits after it.
class PgLease
{
public:
    using Failure = PgConnection::Failure;

    // The session of this connection holds the node's name (an advisory lock,
    // released when the session ends): a second process of the same name
    // finds it taken. False with *taken false when the statement failed.
    static bool lockNodeName(PgConnection& connection, const QString& node, bool* taken,
                             QString* error);
    // Takes the lease when it is free, expired by the database's clock, or held
    // by this node's name (a process of that name that ended): a new term,
    // valid ttlMs. None with *term 0 when another node holds it.
    static Failure acquire(PgConnection& connection, const QString& node, int ttlMs, qint64* term,
                           QDateTime* since, QString* error);
    // Extends the lease of this term by ttlMs from the database's now. None
    // with *held false when another term has replaced it.
    static Failure renew(PgConnection& connection, const QString& node, qint64 term, int ttlMs,
                         bool* held, QString* error);
    // Lets the lease go at once (it expires now): the other node takes it at
    // its next try.
    static Failure release(PgConnection& connection, const QString& node, qint64 term,
                           QString* error);
    // Inside a write transaction: Fenced unless the lease is this node's, of
    // this term (a term of 0: none yet, always fenced).
    static Failure fence(PgConnection& connection, const QString& node, qint64 term,
                         QString* error);
    // The holder as the database has it (node, term, since); for operators.
    static Failure holder(PgConnection& connection, QString* node, qint64* term, QDateTime* since,
                          QString* error);
};
