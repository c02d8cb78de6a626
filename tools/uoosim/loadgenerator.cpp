#include "loadgenerator.h"

#include "paramchunk.h"
#include "paramcrc16.h"
#include "paramdatagramheader.h"
#include "syncblock.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTextStream>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <cstring>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr int SyncDatagramSize = ParamDatagramHeader::Size + SyncBlock::Size;
constexpr int UooOffset = ParamDatagramHeader::Size + SyncBlock::UooOffset;
constexpr int Batch = 64;

// The small parameter set every load device holds.
QByteArray loadSet()
{
    return QByteArrayLiteral("UOOSIM load set: steady state 01");
}

} // namespace

LoadGenerator::LoadGenerator(const LoadConfig& config, QTextStream* out) : config(config), out(out)
{
    const QByteArray set = loadSet();
    SyncBlock block;
    block.setDeviceText(QStringLiteral("UOOSIM-LOAD"));
    block.setPversionText(QStringLiteral("1.0"));
    block.version1 = 1;
    block.paramsSize = static_cast<quint32>(set.size());
    block.paramsCrc = paramSetCrc(set);
    const QByteArray sync = ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, block.encode(), 0);
    syncTemplate.assign(sync.constData(), sync.constData() + sync.size());
    const QByteArray chunk =
        ParamDatagramHeader::build(PAR_PROTO_SEND_REQUEST, ParamChunk::fromSet(set, 0).encode(), 0);
    chunkTemplate.assign(chunk.constData(), chunk.constData() + chunk.size());
    outgoingSlot = std::max(SyncDatagramSize, chunk.size());
    outgoing.resize(static_cast<size_t>(Batch * outgoingSlot));
    outgoingSizes.reserve(Batch);
}

LoadGenerator::~LoadGenerator()
{
#ifdef Q_OS_UNIX
    if (fd >= 0) {
        ::close(fd);
    }
#endif
}

#ifdef Q_OS_UNIX

bool LoadGenerator::open(QString* error)
{
    const QHostAddress server(config.serverHost);
    bool ok = false;
    const quint32 ip = server.toIPv4Address(&ok);
    if (!ok) {
        *error = QStringLiteral("load mode needs an IPv4 server address");
        return false;
    }
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        *error = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const int bufferSize = 8 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config.port);
    address.sin_addr.s_addr = htonl(ip);
    // A connected socket: plain send/recv, and only the server's datagrams arrive.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    return true;
}

char* LoadGenerator::nextOutgoing(int size)
{
    if (static_cast<int>(outgoingSizes.size()) == Batch) {
        flushSends();
    }
    char* slot = outgoing.data() + outgoingSizes.size() * static_cast<size_t>(outgoingSlot);
    outgoingSizes.push_back(size);
    return slot;
}

void LoadGenerator::flushSends()
{
    const int count = static_cast<int>(outgoingSizes.size());
    mmsghdr messages[Batch];
    iovec vectors[Batch];
    for (int i = 0; i < count; ++i) {
        vectors[i] = {outgoing.data() + i * static_cast<size_t>(outgoingSlot),
                      static_cast<size_t>(outgoingSizes[static_cast<size_t>(i)])};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int next = 0;
    while (next < count) {
        const int sent = ::sendmmsg(fd, messages + next, static_cast<unsigned>(count - next), 0);
        // A request the system refuses is lost, as a lost datagram is.
        next += sent > 0 ? sent : 1;
    }
    outgoingSizes.clear();
}

void LoadGenerator::sendSync(quint32 index)
{
    char* datagram = nextOutgoing(SyncDatagramSize);
    std::memcpy(datagram, syncTemplate.data(), SyncDatagramSize);
    const quint32 uoo = config.first + index;
    qToLittleEndian<quint32>(uoo, datagram + ParamDatagramHeader::UooOffset);
    qToLittleEndian<quint32>(uoo, datagram + UooOffset);
    qToLittleEndian<quint16>(paramCrc16(datagram + ParamDatagramHeader::Size, SyncBlock::Size),
                             datagram + ParamDatagramHeader::DataCrcOffset);
}

void LoadGenerator::sendChunk(quint32 index)
{
    const int size = static_cast<int>(chunkTemplate.size());
    char* datagram = nextOutgoing(size);
    std::memcpy(datagram, chunkTemplate.data(), static_cast<size_t>(size));
    qToLittleEndian<quint32>(config.first + index, datagram + ParamDatagramHeader::UooOffset);
}

bool LoadGenerator::receive(int timeoutMs, std::vector<Received>* out)
{
    flushSends();
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0) {
        return false;
    }
    char buffers[Batch][128];
    for (;;) {
        mmsghdr messages[Batch];
        iovec vectors[Batch];
        for (int i = 0; i < Batch; ++i) {
            vectors[i] = {buffers[i], sizeof buffers[i]};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(fd, messages, Batch, MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            return true;
        }
        for (int i = 0; i < count; ++i) {
            const char* data = buffers[i];
            const int size = static_cast<int>(messages[i].msg_len);
            ParamDatagramHeader header;
            if (!ParamDatagramHeader::decode(data, size, &header)) {
                continue;
            }
            Received item{header.msgCode, 0, 0, header.value};
            if (header.msgCode == PAR_PROTO_SYNC_REQUEST && size >= SyncDatagramSize) {
                item.uoo = qFromLittleEndian<quint32>(data + UooOffset);
                item.command = qFromLittleEndian<quint32>(data + ParamDatagramHeader::Size + SyncBlock::CommandOffset);
            }
            out->push_back(item);
        }
        if (count < Batch) {
            return true;
        }
    }
}

bool LoadGenerator::syncAll(const std::vector<quint32>& devices, std::vector<int>* commands)
{
    std::vector<char> waiting(config.devices, 0);
    size_t next = 0;
    qint64 inFlight = 0;
    std::vector<Received> received;
    while (next < devices.size() || inFlight > 0) {
        while (next < devices.size() && inFlight < config.window) {
            waiting[devices[next]] = 1;
            sendSync(devices[next++]);
            ++inFlight;
        }
        received.clear();
        if (!receive(config.timeoutMs, &received)) {
            // The rest got lost; they stay without a command.
            std::fill(waiting.begin(), waiting.end(), 0);
            inFlight = 0;
            continue;
        }
        for (const Received& item : received) {
            const quint32 index = item.uoo - config.first;
            if (item.msgCode != PAR_PROTO_SYNC_REQUEST || index >= config.devices ||
                !waiting[index]) {
                continue;
            }
            waiting[index] = 0;
            --inFlight;
            (*commands)[index] = static_cast<int>(item.command);
        }
    }
    return true;
}

bool LoadGenerator::prepare(QString* error)
{
    if (config.echo) {
        return true;
    }
    std::vector<quint32> pending(config.devices);
    for (quint32 i = 0; i < config.devices; ++i) {
        pending[i] = i;
    }
    QElapsedTimer timer;
    timer.start();
    for (int pass = 0; pass < 8 && !pending.empty(); ++pass) {
        std::vector<int> commands(config.devices, -1);
        syncAll(pending, &commands);
        std::vector<quint32> upload;
        std::vector<quint32> again;
        for (quint32 index : pending) {
            if (commands[index] == 0) {
                upload.push_back(index);
            }
            if (commands[index] != 1) {
                again.push_back(index);
            }
        }
        // One chunk holds the whole set; the acknowledgements carry no UOO
        // number, so they are only counted, and the next SYNC pass checks.
        size_t sent = 0;
        qint64 unacked = 0;
        std::vector<Received> received;
        while (sent < upload.size() || unacked > 0) {
            while (sent < upload.size() && unacked < config.window) {
                sendChunk(upload[sent++]);
                ++unacked;
            }
            received.clear();
            if (!receive(config.timeoutMs, &received)) {
                break;
            }
            for (const Received& item : received) {
                unacked -= item.msgCode == PAR_PROTO_RCV_ACK ? 1 : 0;
            }
        }
        pending.swap(again);
    }
    if (!pending.empty()) {
        *error = QStringLiteral("%1 devices not in step").arg(pending.size());
        return false;
    }
    // The server writes changed records about a second after the change; let
    // that last write of the set-up pass before measuring.
    const double setUpSeconds = timer.elapsed() / 1000.0;
    QThread::msleep(1500);
    *out << QStringLiteral("LOAD_READY devices=%1 seconds=%2 per_second=%3")
                .arg(config.devices)
                .arg(setUpSeconds, 0, 'f', 2)
                .arg(setUpSeconds > 0 ? config.devices / setUpSeconds : 0, 0, 'f', 0)
         << '\n';
    out->flush();
    return true;
}

LoadResult LoadGenerator::run()
{
    LoadResult result;
    const quint32 devices = config.devices;
    std::vector<qint64> sentAt(devices, 0);
    std::vector<char> inFlight(devices, 0);
    std::vector<quint32> latenciesNs;
    latenciesNs.reserve(1 << 20);
    std::vector<Received> received;
    received.reserve(Batch * 4);

    QElapsedTimer clock;
    clock.start();
    const qint64 endNs = static_cast<qint64>(config.seconds * 1e9);
    quint32 next = 0;
    qint64 outstanding = 0;
    qint64 sent = 0;
    const int window = static_cast<int>(qMin<qint64>(config.window, devices));

    for (;;) {
        const bool byCount = config.requests > 0;
        const bool sending = byCount ? sent < config.requests : clock.nsecsElapsed() < endNs;
        if (!sending && outstanding == 0) {
            break;
        }
        while (sending && outstanding < window && (!byCount || sent < config.requests)) {
            while (inFlight[next]) {
                next = next + 1 == devices ? 0 : next + 1;
            }
            inFlight[next] = 1;
            sentAt[next] = clock.nsecsElapsed();
            sendSync(next);
            next = next + 1 == devices ? 0 : next + 1;
            ++outstanding;
            ++sent;
        }
        received.clear();
        if (!receive(config.timeoutMs, &received)) {
            result.lost += outstanding;
            std::fill(inFlight.begin(), inFlight.end(), 0);
            outstanding = 0;
            continue;
        }
        const qint64 now = clock.nsecsElapsed();
        for (const Received& item : received) {
            const quint32 index = item.uoo - config.first;
            if (item.msgCode != PAR_PROTO_SYNC_REQUEST || index >= devices || !inFlight[index]) {
                continue;
            }
            inFlight[index] = 0;
            --outstanding;
            latenciesNs.push_back(
                static_cast<quint32>(qMin<qint64>(now - sentAt[index], 0xFFFFFFFF)));
            if (!config.echo && item.command != 1) {
                ++result.unexpected;
            }
        }
    }
    result.seconds = clock.nsecsElapsed() / 1e9;
    result.roundTrips = static_cast<qint64>(latenciesNs.size());
    result.perSecond = result.seconds > 0 ? result.roundTrips / result.seconds : 0;
    if (!latenciesNs.empty()) {
        const size_t mid = latenciesNs.size() / 2;
        std::nth_element(latenciesNs.begin(), latenciesNs.begin() + mid, latenciesNs.end());
        result.medianUs = latenciesNs[mid] / 1000.0;
        const size_t p99 = std::min(latenciesNs.size() - 1, latenciesNs.size() * 99 / 100);
        std::nth_element(latenciesNs.begin(), latenciesNs.begin() + p99, latenciesNs.end());
        result.p99Us = latenciesNs[p99] / 1000.0;
        result.maxUs = *std::max_element(latenciesNs.begin(), latenciesNs.end()) / 1000.0;
    }
    return result;
}

qint64 LoadGenerator::probe(QTextStream* log)
{
    QElapsedTimer clock;
    clock.start();
    const qint64 endMs = static_cast<qint64>(config.seconds * 1000);
    const int interval = qMax(1, config.probeIntervalMs);
    qint64 nextSendMs = 0;
    qint64 replies = 0;
    std::vector<Received> received;
    while (clock.elapsed() < endMs) {
        if (clock.elapsed() >= nextSendMs) {
            sendSync(0);
            nextSendMs += interval;
        }
        received.clear();
        const int wait =
            static_cast<int>(qBound<qint64>(0, nextSendMs - clock.elapsed(), interval));
        if (!receive(wait, &received)) {
            continue;
        }
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (const Received& item : received) {
            if (item.msgCode == PAR_PROTO_SYNC_REQUEST && item.uoo == config.first) {
                *log << now << '\n';
                ++replies;
            }
        }
        log->flush();
    }
    return replies;
}

#else

qint64 LoadGenerator::probe(QTextStream*)
{
    return 0;
}
bool LoadGenerator::open(QString* error)
{
    *error = QStringLiteral("the load mode needs a POSIX system");
    return false;
}
bool LoadGenerator::prepare(QString*)
{
    return false;
}
LoadResult LoadGenerator::run()
{
    return LoadResult();
}
void LoadGenerator::sendSync(quint32) {}
void LoadGenerator::sendChunk(quint32) {}
char* LoadGenerator::nextOutgoing(int)
{
    return nullptr;
}
void LoadGenerator::flushSends() {}
bool LoadGenerator::receive(int, std::vector<Received>*)
{
    return false;
}
bool LoadGenerator::syncAll(const std::vector<quint32>&, std::vector<int>*)
{
    return false;
}

#endif
