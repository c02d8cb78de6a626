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
// the client's output and a snapshot of the descriptors at once; the frame is then
// built over several turns of the event loop (at most SliceMs each), so devices
// are served in between, and sent in the place kept for it: the client sees the
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

private:
    struct Job;
    int countFor(quint64 client) const;

    QString name;
    std::deque<std::unique_ptr<Job>> jobs;
    QTimer turn;
};
