#pragma once

#include "leasefence.h"
#include "paramsstore.h"
#include "servicegate.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <memory>

class Clock;
class LeaseWorker;
class QThread;

// A node of a two-node pair on PostgreSQL (Cluster/Node): holds the lease of
// table vemo_lease while it is the active node, and follows the records the
// active node writes while it is the standby.
//
// The lease runs on a thread of its own with connections of its own (short
// time-outs), so that a slow database never holds up the event loop: as the
// standby it tries to take the lease every AcquireIntervalMs (once the start-up
// read is complete) and follows desc by its change numbers every
// FollowIntervalMs; having taken it, it follows once more completely (the old
// term can no longer write) before the node answers. As the active node it
// renews every TTL/4. The lease is valid here, on the monotonic clock, until
// the time the last successful renew was sent plus the TTL less a margin:
// answering() says so to every datagram, connection and frame, and a timer
// ends the active role at that time even if the lease thread is stuck.
class ClusterLease : public QObject, public ServiceGate
{
    Q_OBJECT
public:
    static constexpr int DefaultTtlMs = 4000;
    static constexpr int MinTtlMs = 2000;
    static constexpr int MaxTtlMs = 60000;
    static constexpr int AcquireIntervalMs = 250;
    static constexpr int FollowIntervalMs = 500;
    static constexpr int FollowPageRows = 5000;

    enum class Opening {
        Ready,       // connected, the name held, the change number read
        NameTaken,   // another process runs with this node's name
        Unreachable, // no database now: tried again by the lease thread
    };

    // ttlMs is brought within MinTtlMs..MaxTtlMs.
    explicit ClusterLease(const QString& node, const QString& connectionString, int ttlMs,
                          Clock* clock, QObject* parent = nullptr);
    ~ClusterLease() override;

    // Before the start-up read: connects, takes the node's name, and notes the
    // last change of desc, from which the standby follows.
    Opening open(QString* error);
    // What the node's stores write under.
    std::shared_ptr<LeaseFence> fence() const { return leaseFence; }
    QString node() const { return leaseFence->node; }
    int ttlMs() const { return ttl; }
    int marginMs() const { return ttl / 4; }

    // Starts following (sets larger than maxSetSize are not read); the lease is
    // tried for once allowTakeover() was called.
    void start(int maxSetSize);
    void allowTakeover();

    bool answering() const override;
    bool isActive() const { return active; }
    qint64 term() const { return activeTerm; }
    QDateTime since() const { return activeSince; }

    // Ends the lease thread; a lease held is let go at once (expires now).
    void release();

signals:
    // Rows the active node wrote, in the order of their changes.
    void rowsFollowed(const QVector<ParamsRow>& rows);
    void becameActive(qint64 term, const QDateTime& since);
    // Once, when the active role ends: the lease taken by another node, not
    // renewed in time, or a write refused.
    void demoted(const QString& reason);

public slots:
    void demote(const QString& reason);

private:
    friend class LeaseWorker;
    void acquired(qint64 term, const QDateTime& since, qint64 sentMs);
    void renewed(qint64 sentMs);
    void expiryDue();

    Clock* clock = nullptr;
    int ttl = DefaultTtlMs;
    std::shared_ptr<LeaseFence> leaseFence;
    QThread* thread = nullptr;
    LeaseWorker* worker = nullptr;
    QTimer expiry;
    bool active = false;
    bool ended = false;
    qint64 validUntilMs = 0;
    qint64 activeTerm = 0;
    QDateTime activeSince;
};
