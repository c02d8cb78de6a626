#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <memory>
#include <vector>

class QUdpSocket;

// The parameter server's UDP socket. Datagrams are taken in batches and
// replies leave in batches (recvmmsg/sendmmsg on Linux, one call per datagram
// elsewhere), because at a large fleet a system call per datagram is most of
// the cost of a request.
//
// Reading: receive(max) takes up to max pending datagrams (at most Batch); each
// is then at(i) until the next receive. The first of every batch is read
// through Qt's socket, which is what re-arms its read notification, so
// readyRead comes again while anything is left.
//
// Writing: between hold() and release() replies are queued (their bytes copied)
// and sent together at release, or when Batch are queued. Outside a hold each
// goes at once. A reply the system refuses is dropped and reported through
// errorOccurred, as a refused write of the Qt socket is.
//
// Memory: Batch receive buffers of MaxDatagramSize each, allocated untouched (only
// the pages datagrams use become resident), and at most Batch queued replies.
class DatagramSocket : public QObject
{
    Q_OBJECT
public:
    static constexpr int Batch = 64;
    // Largest UDP datagram; every slot holds any datagram whole.
    static constexpr int MaxDatagramSize = 65536;

    struct Datagram
    {
        const char* data = nullptr;
        int size = 0;
        QHostAddress address;
        quint16 port = 0;
    };

    explicit DatagramSocket(QObject* parent = nullptr);
    ~DatagramSocket() override;

    bool bind(const QHostAddress& address, quint16 port);
    QString errorString() const;
    quint16 localPort() const;
    bool isValid() const;
    void close();

    int receive(int max);
    const Datagram& at(int index) const { return received[static_cast<size_t>(index)]; }

    void hold();
    void release();
    void send(const char* data, int size, const QHostAddress& address, quint16 port);

signals:
    void readyRead();
    void errorOccurred(QAbstractSocket::SocketError error);

private:
    struct Outgoing
    {
        QByteArray bytes;
        QHostAddress address;
        quint16 port = 0;
    };

    char* slot(int index) const { return buffers.get() + static_cast<size_t>(index) * MaxDatagramSize; }
    int receiveMore(int first, int max);
    void flush();

    QUdpSocket* socket = nullptr;
    std::unique_ptr<char[]> buffers;
    std::vector<Datagram> received;
    std::vector<Outgoing> queued;
    int queuedCount = 0;
    bool holding = false;
    // The socket's address family, for the addresses of batched replies.
    bool ipv6Socket = false;
};
