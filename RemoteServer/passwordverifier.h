#pragma once

#include "passwordhash.h"

#include <QObject>
#include <QString>
#include <QThread>

// Checks and hashes password digests on a thread of its own (of lower priority
// on Linux), one at a time, so
// that the slow hashing never holds up the event loop that answers devices and
// workstations. At most MaxPending jobs are queued or running; submit() refuses
// more. Results come back, in the order of submission, as the signal finished()
// on the thread that owns the verifier.
class PasswordVerifier : public QObject
{
    Q_OBJECT
public:
    // With the interactive cost, one job takes about 50 ms and 64 MiB: the queue
    // is worked off in a few seconds, and one job's memory is all it holds beyond
    // the texts of the queued ones.
    static constexpr int MaxPending = 64;

    enum class Task {
        Verify, // check digest against stored; on a match, rehash a value that needs it
        Check,  // only check digest against stored
        Hash    // hash digest (stored is not used)
    };

    struct Result
    {
        PasswordHash::Verdict verdict = PasswordHash::Verdict::Mismatch;
        QString hash;  // the new stored value: the hash made, or the upgrade of stored
        QString error; // the library's reason on Failure
    };

    explicit PasswordVerifier(const PasswordHash::Cost& cost = PasswordHash::interactive(),
                              QObject* parent = nullptr);
    // Waits for the job under way; queued jobs are dropped.
    ~PasswordVerifier() override;

    // Queues a job; returns its ticket (never 0), or 0 when MaxPending jobs are
    // pending. A Verify job without an account (stored null) costs as much as one
    // with, and never matches.
    quint64 submit(Task task, const QString& stored, const QString& digest);
    int pending() const { return pendingJobs; }
    const PasswordHash::Cost& cost() const { return workCost; }

signals:
    void finished(quint64 ticket, PasswordVerifier::Result result);

private:
    static Result run(Task task, const QString& stored, const QString& digest,
                      const PasswordHash::Cost& cost, QString* decoy);

    PasswordHash::Cost workCost;
    QThread thread;
    QObject* worker = nullptr; // lives on thread
    QString decoy;             // a hash of nothing, for attempts without an account
    quint64 nextTicket = 1;
    int pendingJobs = 0;
};

Q_DECLARE_METATYPE(PasswordVerifier::Result)
