#include "devicelistreplies.h"

#include "devicelistframe.h"
#include "rpcpeer.h"
#include "uoodescriptorsnapshot.h"

#include <QPointer>

struct DeviceListReplies::Job
{
    QPointer<RpcPeer> peer;
    quint64 client = 0;
    quint64 ticket = 0;
    std::unique_ptr<UooDescriptorSnapshot> snapshot;
    std::unique_ptr<DeviceListFrame> frame;
};

DeviceListReplies::DeviceListReplies(const QString& messageName, QObject* parent)
    : QObject(parent), name(messageName)
{
    turn.setSingleShot(true);
    turn.setInterval(0);
    connect(&turn, &QTimer::timeout, this, &DeviceListReplies::work);
}

DeviceListReplies::~DeviceListReplies() = default;

int DeviceListReplies::countFor(quint64 client) const
{
    int count = 0;
    for (const auto& job : jobs) {
        count += job->client == client ? 1 : 0;
    }
    return count;
}

bool DeviceListReplies::request(RpcPeer* peer, quint64 client,
                                std::unique_ptr<UooDescriptorSnapshot> snapshot)
{
    if (!peer || !snapshot || countFor(client) >= MaxPerClient) {
        return false;
    }
    const quint64 ticket = peer->reserveReply(client);
    if (ticket == 0) {
        return false;
    }
    auto job = std::make_unique<Job>();
    job->peer = peer;
    job->client = client;
    job->ticket = ticket;
    job->snapshot = std::move(snapshot);
    jobs.push_back(std::move(job));
    if (!turn.isActive()) {
        turn.start();
    }
    return true;
}

void DeviceListReplies::forget(quint64 client)
{
    for (auto it = jobs.begin(); it != jobs.end();) {
        it = (*it)->client == client ? jobs.erase(it) : it + 1;
    }
}

void DeviceListReplies::clear()
{
    jobs.clear();
    turn.stop();
}

void DeviceListReplies::work()
{
    QElapsedTimer spent;
    spent.start();
    // Replies are built one after the other, the oldest first.
    while (!jobs.empty() && spent.elapsed() < SliceMs) {
        Job& job = *jobs.front();
        if (!job.peer) {
            jobs.pop_front();
            continue;
        }
        if (!job.frame) {
            job.frame = std::make_unique<DeviceListFrame>(name);
        }
        QList<UooDescriptor> slice;
        bool more = true;
        while (more && spent.elapsed() < SliceMs) {
            slice.clear();
            more = job.snapshot->next(SliceDevices, &slice);
            job.frame->append(slice);
        }
        if (more) {
            break;
        }
        const QList<QByteArray> frame = job.frame->finish();
        // Taken off the queue first: the peer may call back into us.
        const std::unique_ptr<Job> done = std::move(jobs.front());
        jobs.pop_front();
        done->peer->fulfilReply(done->client, done->ticket, frame);
    }
    if (!jobs.empty()) {
        turn.start();
    }
}
