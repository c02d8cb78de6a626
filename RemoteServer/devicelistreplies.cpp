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
    bool sending = false;  // measured; the head is on its way
    quint32 count = 0;     // descriptors measured
    qint64 bytes = 0;      // their bytes
    quint32 sentCount = 0; // descriptors sent
    qint64 sentBytes = 0;
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
    connect(peer, &RpcPeer::outputWritten, this, &DeviceListReplies::drained,
            Qt::UniqueConnection);
    auto job = std::make_unique<Job>();
    job->peer = peer;
    job->client = client;
    job->ticket = ticket;
    job->snapshot = std::move(snapshot);
    job->frame = std::make_unique<DeviceListFrame>(name);
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

void DeviceListReplies::drained(quint64, qint64)
{
    if (!jobs.empty() && !turn.isActive()) {
        turn.start();
    }
}

DeviceListReplies::Step DeviceListReplies::step(Job& job)
{
    if (!job.peer) {
        return Step::Done;
    }
    QList<UooDescriptor> slice;
    if (!job.sending) {
        // First reading: how many descriptors, and how many bytes they take.
        const bool more = job.snapshot->next(SliceDevices, &slice);
        job.count += static_cast<quint32>(slice.size());
        job.bytes += DeviceListFrame::encode(slice).size();
        if (more) {
            return Step::Progress;
        }
        job.snapshot->rewind();
        const QByteArray head = job.frame->head(job.count, job.bytes);
        const bool last = job.count == 0;
        if (head.isEmpty()) {
            job.peer->extendReply(job.client, job.ticket, {}, true);
            return Step::Done;
        }
        job.sending = true;
        return job.peer->extendReply(job.client, job.ticket, {head}, last) && !last
                   ? Step::Progress
                   : Step::Done;
    }
    // Second reading: the bytes themselves, as fast as the client takes them.
    if (job.peer->replyBacklog(job.client) >= AheadBytes) {
        return Step::Waiting;
    }
    const bool more = job.snapshot->next(SliceDevices, &slice);
    const QByteArray piece = DeviceListFrame::encode(slice);
    job.sentCount += static_cast<quint32>(slice.size());
    job.sentBytes += piece.size();
    const bool exact = job.sentCount == job.count && job.sentBytes == job.bytes;
    if (job.sentBytes > job.bytes || job.sentCount > job.count || (!more && !exact)) {
        // The frame would not match its head: the connection cannot be saved.
        job.peer->disconnectClient(job.client);
        return Step::Done;
    }
    if (!job.peer->extendReply(job.client, job.ticket, {piece}, !more)) {
        return Step::Done;
    }
    return more ? Step::Progress : Step::Done;
}

void DeviceListReplies::work()
{
    QElapsedTimer spent;
    spent.start();
    bool busy = true;
    bool progress = false;
    // Every reply gets its turn, slice by slice: one whose client is slow to read
    // does not hold up the others.
    while (busy && !jobs.empty() && spent.elapsed() < SliceMs) {
        busy = false;
        for (std::size_t i = 0; i < jobs.size();) {
            const Step result = step(*jobs[i]);
            if (result == Step::Done) {
                jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(i));
                busy = true;
                continue;
            }
            busy = busy || result == Step::Progress;
            ++i;
        }
        progress = progress || busy;
    }
    // Replies waiting for their clients to read resume on drained().
    if (!jobs.empty() && progress) {
        turn.start();
    }
}
