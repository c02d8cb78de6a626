#include "clusterlease.h"

#include "clock.h"
#include "pglease.h"
#include "pgparamsdatabase.h"

#include <QDebug>
#include <QThread>

#include <atomic>

// The lease thread's side: its connections and the lease as the database has
// it. Results go to the ClusterLease on the main thread as queued calls.
class LeaseWorker : public QObject
{
public:
    LeaseWorker(ClusterLease* owner, const QString& connectionString)
        : owner(owner), fence(owner->fence()), ttl(owner->ttlMs()),
          lease(QStringLiteral("vemo_lease"), leaseConnectionString(connectionString, ttl)),
          follower(QStringLiteral("vemo_follow"), connectionString)
    {
        timer = new QTimer(this);
        timer->setInterval(ClusterLease::AcquireIntervalMs);
        connect(timer, &QTimer::timeout, this, [this] { tick(); });
    }

    ClusterLease::Opening open(QString* error)
    {
        nameTakenReported = true; // the start-up says so itself
        const bool ready = connected(error);
        nameTakenReported = false;
        if (!ready) {
            return nameTaken ? ClusterLease::Opening::NameTaken
                             : ClusterLease::Opening::Unreachable;
        }
        if (!follower.lastChange(&cursor, error)) {
            return ClusterLease::Opening::Unreachable;
        }
        cursorKnown = true;
        return ClusterLease::Opening::Ready;
    }

    void start(int maxSet)
    {
        maxSetSize = maxSet;
        timer->start();
    }

    void release()
    {
        timer->stop();
        if (term > 0 && lease.isOpen()) {
            QString error;
            if (PgLease::release(lease, fence->node, term, &error) != PgConnection::Failure::None) {
                qWarning().noquote() << "Кластер: аренда не отпущена:" << error;
            }
        }
        term = 0;
        fence->term = 0;
    }

    std::atomic<bool> takeoverAllowed{false};

private:
    static QString leaseConnectionString(const QString& connection, int ttl)
    {
        // Short waits for the lease: a server that does not answer in time is
        // as good as none. (A URI takes no key=value options after it.)
        if (connection.trimmed().startsWith(QLatin1String("postgres"))) {
            return connection;
        }
        return connection + QStringLiteral(" connect_timeout=2 tcp_user_timeout=%1").arg(ttl / 4);
    }

    bool connected(QString* error)
    {
        if (!lease.isOpen()) {
            nameHeld = false;
            PgConnection::Failure failure = PgConnection::Failure::None;
            if (!lease.ensureOpen(&failure, error)) {
                return false;
            }
            lease.exec("SELECT set_config('statement_timeout', $1, false)",
                       {{QByteArray::number(ttl / 8)}});
        }
        if (!nameHeld) {
            nameHeld = PgLease::lockNodeName(lease, fence->node, &nameTaken, error);
            if (nameTaken) {
                *error = QStringLiteral("node name %1 held by another process").arg(fence->node);
                if (!nameTakenReported) {
                    nameTakenReported = true;
                    qCritical().noquote().nospace()
                        << "ERROR: Cluster/Node: имя узла \"" << fence->node
                        << "\" занято другим процессом; аренда не запрашивается";
                }
            }
        }
        return nameHeld;
    }

    // Reads what changed since the cursor and hands it over; with complete,
    // until nothing more is left. False when the read failed.
    bool follow(bool complete)
    {
        for (int page = 0; complete || page < 4; ++page) {
            ParamsStore::ReadReport report;
            qint64 last = cursor;
            QVector<ParamsRow> rows = follower.readChanges(
                cursorKnown ? cursor : 0, maxSetSize, ClusterLease::FollowPageRows, &last, &report);
            if (report.failure != ParamsStore::Failure::None) {
                return false;
            }
            cursorKnown = true;
            cursor = last;
            if (rows.isEmpty()) {
                return true;
            }
            const bool more = rows.size() == ClusterLease::FollowPageRows;
            QMetaObject::invokeMethod(
                owner, [owner = owner, rows = std::move(rows)] { emit owner->rowsFollowed(rows); },
                Qt::QueuedConnection);
            if (!more) {
                return true;
            }
        }
        return true;
    }

    void tick()
    {
        QString error;
        if (!connected(&error)) {
            return;
        }
        Clock* clock = Clock::system();
        if (term == 0) {
            if (clock->monotonicMs() >= nextFollowMs) {
                follow(false);
                nextFollowMs = clock->monotonicMs() + ClusterLease::FollowIntervalMs;
            }
            if (!takeoverAllowed) {
                return;
            }
            qint64 sent = clock->monotonicMs();
            qint64 taken = 0;
            QDateTime since;
            if (PgLease::acquire(lease, fence->node, ttl, &taken, &since, &error) !=
                    PgConnection::Failure::None ||
                taken == 0) {
                return;
            }
            term = taken;
            fence->term = taken;
            // The old term can no longer write: what it wrote is all there.
            if (!follow(true)) {
                release(); // answering without every record: not this time
                timer->start();
                return;
            }
            if (clock->monotonicMs() - sent > ttl / 4 && !renew(&sent)) {
                return;
            }
            lastRenewMs = sent;
            QMetaObject::invokeMethod(
                owner, [owner = owner, taken, since, sent] { owner->acquired(taken, since, sent); },
                Qt::QueuedConnection);
            return;
        }
        if (clock->monotonicMs() - lastRenewMs < ttl / 4) {
            return;
        }
        qint64 sent = 0;
        if (renew(&sent)) {
            lastRenewMs = sent;
            QMetaObject::invokeMethod(
                owner, [owner = owner, sent] { owner->renewed(sent); }, Qt::QueuedConnection);
        }
    }

    // False when it failed (tried again at the next tick) or the lease is lost
    // (the owner hears of it; nothing more is tried).
    bool renew(qint64* sent)
    {
        *sent = Clock::system()->monotonicMs();
        bool held = false;
        QString error;
        if (PgLease::renew(lease, fence->node, term, ttl, &held, &error) !=
            PgConnection::Failure::None) {
            return false;
        }
        if (!held) {
            term = 0;
            timer->stop();
            QMetaObject::invokeMethod(
                owner,
                [owner = owner] { owner->demote(QStringLiteral("аренду взял другой узел")); },
                Qt::QueuedConnection);
            return false;
        }
        return true;
    }

    ClusterLease* owner = nullptr;
    std::shared_ptr<LeaseFence> fence;
    int ttl = 0;
    PgConnection lease;
    PgParamsDatabase follower;
    QTimer* timer = nullptr;
    bool nameHeld = false;
    bool nameTaken = false;
    bool nameTakenReported = false;
    qint64 term = 0;
    qint64 lastRenewMs = 0;
    qint64 nextFollowMs = 0;
    qint64 cursor = 0;
    bool cursorKnown = false;
    int maxSetSize = 0;
};

ClusterLease::ClusterLease(const QString& node, const QString& connectionString, int ttlMs,
                           Clock* clock, QObject* parent)
    : QObject(parent), clock(clock != nullptr ? clock : Clock::system()),
      ttl(qBound(MinTtlMs, ttlMs, MaxTtlMs)), leaseFence(std::make_shared<LeaseFence>())
{
    leaseFence->node = node;
    expiry.setSingleShot(true);
    expiry.setTimerType(Qt::PreciseTimer);
    connect(&expiry, &QTimer::timeout, this, &ClusterLease::expiryDue);
    thread = new QThread(this);
    thread->setObjectName(QStringLiteral("cluster lease"));
    worker = new LeaseWorker(this, connectionString);
    worker->moveToThread(thread);
    // Its connections end on their own thread, as the thread ends.
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    thread->start();
}

ClusterLease::~ClusterLease()
{
    release();
}

ClusterLease::Opening ClusterLease::open(QString* error)
{
    Opening opening = Opening::Unreachable;
    QMetaObject::invokeMethod(
        worker, [this, &opening, error] { opening = worker->open(error); },
        Qt::BlockingQueuedConnection);
    return opening;
}

void ClusterLease::start(int maxSetSize)
{
    QMetaObject::invokeMethod(
        worker, [worker = worker, maxSetSize] { worker->start(maxSetSize); }, Qt::QueuedConnection);
}

void ClusterLease::allowTakeover()
{
    worker->takeoverAllowed = true;
}

bool ClusterLease::answering() const
{
    return active && clock->monotonicMs() < validUntilMs;
}

void ClusterLease::release()
{
    if (thread == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        worker, [worker = worker] { worker->release(); }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    worker = nullptr;
    delete thread;
    thread = nullptr;
    active = false;
    expiry.stop();
}

void ClusterLease::acquired(qint64 term, const QDateTime& since, qint64 sentMs)
{
    if (ended) {
        return;
    }
    activeTerm = term;
    activeSince = since;
    active = true;
    renewed(sentMs);
    emit becameActive(term, since);
}

void ClusterLease::renewed(qint64 sentMs)
{
    if (!active) {
        return;
    }
    validUntilMs = qMax(validUntilMs, sentMs + ttl - marginMs());
    expiry.start(static_cast<int>(qMax<qint64>(0, validUntilMs - clock->monotonicMs())));
}

void ClusterLease::expiryDue()
{
    if (!active) {
        return;
    }
    const qint64 left = validUntilMs - clock->monotonicMs();
    if (left > 0) {
        expiry.start(static_cast<int>(left));
        return;
    }
    demote(QStringLiteral("аренда не продлена вовремя"));
}

void ClusterLease::demote(const QString& reason)
{
    if (!active || ended) {
        return;
    }
    ended = true;
    active = false;
    validUntilMs = 0;
    expiry.stop();
    emit demoted(reason);
}
