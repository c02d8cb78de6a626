#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>

class DeviceListFrame;
class RpcPeer;
class UooDescriptorSnapshot;

// Replies to device list requests a slice at a time. A request takes its place in
// the client's output and a snapshot of the descriptors at once; the snapshot is
// read twice over several turns of the event loop (at most SliceMs each), so
// devices are served in between: first to measure the frame, then to send it,
// in the place kept for it, as fast as the client reads it (never more than
// AheadBytes waiting for it). So a list of any length reaches a client that reads
// within the bounds on a client's output; only a client that stops reading is
// closed, when pushes waiting behind the list pass its bound. The client sees the
// list as it stood at the request, followed by everything that happened since, in
// the order it happened.
class DeviceListReplies : public QObject
{
    Q_OBJECT
public:
    // Work per turn of the event loop.
    static constexpr int SliceMs = 20;
    static constexpr int SliceDevices = 4096; // between two looks at the time
    // Requests of one client that may wait for their reply.
    static constexpr int MaxPerClient = 4;
    // A reply's bytes produced ahead of what the client has taken.
    static constexpr qint64 AheadBytes = 1024 * 1024;

    explicit DeviceListReplies(const QString& messageName, QObject* parent = nullptr);
    ~DeviceListReplies() override;

    // Starts a reply to client through peer. False when the client has MaxPerClient
    // replies outstanding already (nothing is started) or is unknown to the peer.
    bool request(RpcPeer* peer, quint64 client, std::unique_ptr<UooDescriptorSnapshot> snapshot);
    // Drops the replies of a client that is gone.
    void forget(quint64 client);
    // Drops every reply (the peer is going away).
    void clear();
    int outstanding() const { return static_cast<int>(jobs.size()); }

private slots:
    void work();
    void drained(quint64 client, qint64 pending);

private:
    struct Job;
    enum class Step { Progress, Waiting, Done };
    Step step(Job& job);
    int countFor(quint64 client) const;

    QString name;
    std::deque<std::unique_ptr<Job>> jobs;
    QTimer turn;
};
