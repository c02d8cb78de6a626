#include "datagramsocket.h"

#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

// The batched UDP socket against a plain Qt socket on loopback.
class TestDatagramSocket : public QObject
{
    Q_OBJECT
private slots:
    void batchesKeepEveryDatagram_data();
    void batchesKeepEveryDatagram();
    void heldRepliesLeaveInOrderAtRelease_data();
    void heldRepliesLeaveInOrderAtRelease();
    void refusedReplyIsDroppedAndTheRestGo();
    void closeSendsHeldReplies();

private:
    static QByteArray payload(int index, int size)
    {
        QByteArray bytes(size, static_cast<char>('a' + index % 26));
        bytes.replace(0, 4, QByteArray::number(index).rightJustified(4, '0'));
        return bytes;
    }
    // The socket under test (on the loopback address, or on both families) and a
    // plain client on loopback.
    static bool bindPair(DatagramSocket* server, QUdpSocket* client, bool bothFamilies = false)
    {
        return server->bind(bothFamilies ? QHostAddress::Any : QHostAddress::LocalHost, 0) &&
               client->bind(QHostAddress::LocalHost, 0);
    }
    static QList<QByteArray> readAll(QUdpSocket* client, int expected)
    {
        QList<QByteArray> got;
        for (int waited = 0; got.size() < expected && waited < 100; ++waited) {
            if (!client->hasPendingDatagrams() && !client->waitForReadyRead(50)) {
                continue;
            }
            while (client->hasPendingDatagrams()) {
                QByteArray bytes(static_cast<int>(client->pendingDatagramSize()), '\0');
                client->readDatagram(bytes.data(), bytes.size());
                got.append(bytes);
            }
        }
        return got;
    }
};

void TestDatagramSocket::batchesKeepEveryDatagram_data()
{
    QTest::addColumn<bool>("bothFamilies");
    QTest::addColumn<int>("count");
    QTest::newRow("IPv4, more than a batch") << false << 100;
    QTest::newRow("both families, one") << true << 1;
    QTest::newRow("both families, a batch and a half") << true << 96;
}

void TestDatagramSocket::batchesKeepEveryDatagram()
{
    QFETCH(bool, bothFamilies);
    QFETCH(int, count);
    DatagramSocket server;
    QUdpSocket client;
    QVERIFY(bindPair(&server, &client, bothFamilies));
    // One large datagram among small ones: each lands whole in its own slot.
    const auto sizeOf = [](int index) { return index == 1 ? 30000 : 8 + (index * 37) % 1400; };
    for (int i = 0; i < count; ++i) {
        QCOMPARE(client.writeDatagram(payload(i, sizeOf(i)), QHostAddress::LocalHost,
                                      server.localPort()),
                 qint64(sizeOf(i)));
    }
    QSignalSpy ready(&server, &DatagramSocket::readyRead);
    QVERIFY(ready.wait(2000));

    int seen = 0;
    for (int rounds = 0; seen < count && rounds < 50; ++rounds) {
        const int got = server.receive(DatagramSocket::Batch);
        QVERIFY(got <= DatagramSocket::Batch);
        for (int i = 0; i < got; ++i, ++seen) {
            const DatagramSocket::Datagram& d = server.at(i);
            QCOMPARE(QByteArray(d.data, d.size), payload(seen, sizeOf(seen)));
            QVERIFY(d.address.isEqual(QHostAddress::LocalHost, QHostAddress::ConvertV4MappedToIPv4));
            QCOMPARE(d.port, client.localPort());
        }
        if (got == 0) {
            QTest::qWait(20);
        }
    }
    QCOMPARE(seen, count);
    QCOMPARE(server.receive(DatagramSocket::Batch), 0);
}

void TestDatagramSocket::heldRepliesLeaveInOrderAtRelease_data()
{
    QTest::addColumn<bool>("bothFamilies");
    QTest::addColumn<int>("count");
    QTest::newRow("IPv4, a few") << false << 3;
    QTest::newRow("both families to IPv4, over a batch")
        << true << DatagramSocket::Batch + 6;
}

void TestDatagramSocket::heldRepliesLeaveInOrderAtRelease()
{
    QFETCH(bool, bothFamilies);
    QFETCH(int, count);
    DatagramSocket server;
    QUdpSocket client;
    QVERIFY(bindPair(&server, &client, bothFamilies));

    server.hold();
    for (int i = 0; i < count; ++i) {
        const QByteArray bytes = payload(i, 40 + i);
        server.send(bytes.constData(), bytes.size(), QHostAddress::LocalHost, client.localPort());
    }
    // A full batch has gone at once; the rest waits for the release.
    const int early = count >= DatagramSocket::Batch ? DatagramSocket::Batch : 0;
    QCOMPARE(readAll(&client, early).size(), early);
    QVERIFY(!client.waitForReadyRead(100));
    server.release();

    const QList<QByteArray> rest = readAll(&client, count - early);
    QCOMPARE(rest.size(), count - early);
    for (int i = 0; i < rest.size(); ++i) {
        QCOMPARE(rest.at(i), payload(early + i, 40 + early + i));
    }
}

void TestDatagramSocket::refusedReplyIsDroppedAndTheRestGo()
{
    DatagramSocket server;
    QUdpSocket client;
    QVERIFY(bindPair(&server, &client));
    QSignalSpy errors(&server, &DatagramSocket::errorOccurred);

    // An IPv6 destination cannot be reached from an IPv4 socket.
    server.hold();
    const QByteArray first = payload(1, 20);
    const QByteArray second = payload(2, 20);
    server.send(first.constData(), first.size(), QHostAddress::LocalHost, client.localPort());
    server.send(first.constData(), first.size(), QHostAddress::LocalHostIPv6, client.localPort());
    server.send(second.constData(), second.size(), QHostAddress::LocalHost, client.localPort());
    server.release();

    QCOMPARE(readAll(&client, 2), (QList<QByteArray>{first, second}));
    QCOMPARE(errors.size(), 1);
}

// A handler may stop the server in the middle of a turn: what was answered
// before still goes.
void TestDatagramSocket::closeSendsHeldReplies()
{
    DatagramSocket server;
    QUdpSocket client;
    QVERIFY(bindPair(&server, &client));
    server.hold();
    const QByteArray reply = payload(7, 30);
    server.send(reply.constData(), reply.size(), QHostAddress::LocalHost, client.localPort());
    server.close();
    server.release();
    QCOMPARE(readAll(&client, 1), QList<QByteArray>{reply});
    QVERIFY(!server.isValid());
}

QTEST_GUILESS_MAIN(TestDatagramSocket)
#include "tst_datagramsocket.moc"
