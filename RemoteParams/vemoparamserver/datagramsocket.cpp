#include "datagramsocket.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <algorithm>
#include <cstring>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

DatagramSocket::DatagramSocket(QObject* parent)
    : QObject(parent), socket(new QUdpSocket(this)), buffers(new char[size_t(Batch) * MaxDatagramSize]),
      received(Batch), queued(Batch)
{
    connect(socket, &QUdpSocket::readyRead, this, &DatagramSocket::readyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &DatagramSocket::errorOccurred);
}

DatagramSocket::~DatagramSocket() = default;

bool DatagramSocket::bind(const QHostAddress& address, quint16 port)
{
    if (!socket->bind(address, port)) {
        return false;
    }
#ifdef Q_OS_LINUX
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ipv6Socket = ::getsockname(static_cast<int>(socket->socketDescriptor()),
                               reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
                 local.ss_family == AF_INET6;
#endif
    return true;
}

QString DatagramSocket::errorString() const
{
    return socket->errorString();
}

quint16 DatagramSocket::localPort() const
{
    return socket->localPort();
}

bool DatagramSocket::isValid() const
{
    return socket->isValid();
}

void DatagramSocket::close()
{
    // Replies already made still go.
    flush();
    socket->close();
}

int DatagramSocket::receive(int max)
{
    max = std::min(max, static_cast<int>(Batch));
    if (max <= 0 || !socket->isValid() || !socket->hasPendingDatagrams()) {
        return 0;
    }
    Datagram& first = received.front();
    const qint64 size = socket->readDatagram(slot(0), MaxDatagramSize, &first.address, &first.port);
    if (size < 0) {
        return 0;
    }
    first.data = slot(0);
    first.size = static_cast<int>(size);
    return 1 + (max > 1 ? receiveMore(1, max - 1) : 0);
}

void DatagramSocket::hold()
{
    holding = true;
}

void DatagramSocket::release()
{
    holding = false;
    flush();
}

void DatagramSocket::send(const char* data, int size, const QHostAddress& address, quint16 port)
{
#ifdef Q_OS_LINUX
    if (holding) {
        Outgoing& item = queued[static_cast<size_t>(queuedCount++)];
        item.bytes.resize(size);
        std::memcpy(item.bytes.data(), data, static_cast<size_t>(size));
        item.address = address;
        item.port = port;
        if (queuedCount == Batch) {
            flush();
        }
        return;
    }
#endif
    socket->writeDatagram(data, size, address, port);
}

#ifdef Q_OS_LINUX

namespace {

QHostAddress addressOf(const sockaddr_storage& from, quint16* port)
{
    QHostAddress address;
    if (from.ss_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6&>(from);
        address.setAddress(a6.sin6_addr.s6_addr);
        // Named as Qt names the scope of the datagrams it reads.
        if (a6.sin6_scope_id != 0) {
            QString scope = QNetworkInterface::interfaceNameFromIndex(static_cast<int>(a6.sin6_scope_id));
            address.setScopeId(scope.isEmpty() ? QString::number(a6.sin6_scope_id) : scope);
        }
        *port = ntohs(a6.sin6_port);
    } else if (from.ss_family == AF_INET) {
        const auto& a4 = reinterpret_cast<const sockaddr_in&>(from);
        address.setAddress(ntohl(a4.sin_addr.s_addr));
        *port = ntohs(a4.sin_port);
    }
    return address;
}

// As Qt addresses a datagram: a socket of both families takes IPv4 addresses
// in their mapped IPv6 form.
socklen_t fillAddress(bool ipv6Socket, const QHostAddress& address, quint16 port,
                      sockaddr_storage* to)
{
    std::memset(to, 0, sizeof *to);
    if (ipv6Socket || address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(to);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&a6->sin6_addr, &bytes, sizeof bytes);
        const QString scope = address.scopeId();
        if (!scope.isEmpty()) {
            bool numeric = false;
            const uint index = scope.toUInt(&numeric);
            a6->sin6_scope_id =
                numeric ? index : static_cast<uint>(QNetworkInterface::interfaceIndexFromName(scope));
        }
        return sizeof(sockaddr_in6);
    }
    auto* a4 = reinterpret_cast<sockaddr_in*>(to);
    a4->sin_family = AF_INET;
    a4->sin_port = htons(port);
    a4->sin_addr.s_addr = htonl(address.toIPv4Address());
    return sizeof(sockaddr_in);
}

QAbstractSocket::SocketError errorOf(int code)
{
    switch (code) {
    case EMSGSIZE:
        return QAbstractSocket::DatagramTooLargeError;
    case EACCES:
    case EPERM:
        return QAbstractSocket::SocketAccessError;
    case ECONNREFUSED:
        return QAbstractSocket::ConnectionRefusedError;
    default:
        return QAbstractSocket::NetworkError;
    }
}

} // namespace

int DatagramSocket::receiveMore(int first, int max)
{
    mmsghdr messages[Batch];
    iovec vectors[Batch];
    sockaddr_storage senders[Batch];
    for (int i = 0; i < max; ++i) {
        vectors[i] = {slot(first + i), static_cast<size_t>(MaxDatagramSize)};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int count = 0;
    do {
        count = ::recvmmsg(static_cast<int>(socket->socketDescriptor()), messages,
                           static_cast<unsigned>(max), MSG_DONTWAIT, nullptr);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            emit errorOccurred(errorOf(errno));
        }
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        Datagram& item = received[static_cast<size_t>(first + i)];
        item.data = slot(first + i);
        item.size = static_cast<int>(messages[i].msg_len);
        item.address = addressOf(senders[i], &item.port);
    }
    return count;
}

void DatagramSocket::flush()
{
    if (!socket->isValid()) {
        queuedCount = 0;
        return;
    }
    int next = 0;
    while (next < queuedCount) {
        mmsghdr messages[Batch];
        iovec vectors[Batch];
        sockaddr_storage targets[Batch];
        const int count = queuedCount - next;
        for (int i = 0; i < count; ++i) {
            Outgoing& item = queued[static_cast<size_t>(next + i)];
            vectors[i] = {item.bytes.data(), static_cast<size_t>(item.bytes.size())};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &targets[i];
            messages[i].msg_hdr.msg_namelen = fillAddress(ipv6Socket, item.address, item.port, &targets[i]);
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int sent = 0;
        do {
            sent = ::sendmmsg(static_cast<int>(socket->socketDescriptor()), messages,
                              static_cast<unsigned>(count), 0);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            // The first is refused: it is dropped and the rest go on.
            emit errorOccurred(errorOf(errno));
            sent = 1;
        }
        next += sent;
    }
    queuedCount = 0;
}

#else

int DatagramSocket::receiveMore(int, int)
{
    return 0;
}

void DatagramSocket::flush()
{
    queuedCount = 0;
}

#endif
