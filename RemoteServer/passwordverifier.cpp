#include "passwordverifier.h"

#if defined(Q_OS_LINUX)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

PasswordVerifier::PasswordVerifier(const PasswordHash::Cost& cost, QObject* parent)
    : QObject(parent), workCost(cost)
{
    qRegisterMetaType<PasswordVerifier::Result>();
    PasswordHash::initialise();
    worker = new QObject;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.setObjectName(QStringLiteral("PasswordVerifier"));
    thread.start();
#if defined(Q_OS_LINUX)
    // The checks give way to the event loop that answers devices: a nice value of
    // 10 for this thread only (it never starves: it still gets what is idle and a
    // share of the rest).
    QMetaObject::invokeMethod(
        worker, [] { setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10); },
        Qt::QueuedConnection);
#endif
}

PasswordVerifier::~PasswordVerifier()
{
    thread.requestInterruption();
    thread.quit();
    thread.wait();
}

quint64 PasswordVerifier::submit(Task task, const QString& stored, const QString& digest)
{
    if (pendingJobs >= MaxPending) {
        return 0;
    }
    const quint64 ticket = nextTicket++;
    ++pendingJobs;
    const PasswordHash::Cost cost = workCost;
    QMetaObject::invokeMethod(
        worker,
        [this, task, stored, digest, cost, ticket] {
            if (QThread::currentThread()->isInterruptionRequested()) {
                return;
            }
            // decoy is used on this thread only.
            const Result result = run(task, stored, digest, cost, &decoy);
            QMetaObject::invokeMethod(
                this,
                [this, ticket, result] {
                    --pendingJobs;
                    emit finished(ticket, result);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    return ticket;
}

PasswordVerifier::Result PasswordVerifier::run(Task task, const QString& stored,
                                               const QString& digest,
                                               const PasswordHash::Cost& cost, QString* decoy)
{
    Result result;
    if (task == Task::Hash) {
        result.verdict = PasswordHash::hash(digest, cost, &result.hash, &result.error)
                             ? PasswordHash::Verdict::Match
                             : PasswordHash::Verdict::Failure;
        return result;
    }
    if (stored.isNull()) {
        // No such account: the same work as for one, so that the time of the answer
        // does not tell which login names exist.
        if (decoy->isEmpty()) {
            PasswordHash::hash(QStringLiteral("decoy"), cost, decoy);
        }
        PasswordHash::verify(*decoy, digest);
        result.verdict = PasswordHash::Verdict::Mismatch;
        return result;
    }
    result.verdict = PasswordHash::verify(stored, digest, &result.error);
    if (task == Task::Verify && result.verdict == PasswordHash::Verdict::Match &&
        PasswordHash::needsRehash(stored, cost) &&
        !PasswordHash::hash(digest, cost, &result.hash, &result.error)) {
        // The digest matched but its hash cannot be made: the login fails and the
        // row stays as it is.
        result.verdict = PasswordHash::Verdict::Failure;
    }
    return result;
}
