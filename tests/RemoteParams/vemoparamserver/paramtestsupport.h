#pragma once

// Shared helpers of the parameter server tests: datagram builders and a harness
// that runs a server on 127.0.0.1 in a temporary working directory and collects
// its replies over real loopback UDP. Log lines are captured with TestSupport's
// LogCapture.

#include "clock.h"
#include "logcapture.h"
#include "paramchunk.h"
#include "paramcrc16.h"
#include "paramdatagramheader.h"
#include "paramsdatabase.h"
#include "syncblock.h"
#include "vemoparamserver.h"

#include <QDir>
#include <QNetworkDatagram>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <memory>

namespace paramtest {

inline QByteArray syncRequest(quint32 uoo, quint32 paramsSize, quint16 paramsCrc,
                              const QDateTime& paramsTime = QDateTime(), quint16 status = 0,
                              const QString& device = QStringLiteral("UOO-T"),
                              const QString& pversion = QStringLiteral("1.2"))
{
    SyncBlock block;
    block.setDeviceText(device);
    block.setPversionText(pversion);
    block.version1 = 1;
    block.version2 = 2;
    block.version3 = 3;
    block.uooCode = uoo;
    block.paramsSize = paramsSize;
    block.paramsCrc = paramsCrc;
    block.setParamsDateTime(paramsTime);
    return ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, block.encode(), status, uoo);
}

inline QByteArray syncRequestFor(quint32 uoo, const QByteArray& set,
                                 const QDateTime& paramsTime = QDateTime())
{
    return syncRequest(uoo, static_cast<quint32>(set.size()), paramSetCrc(set), paramsTime);
}

inline QByteArray chunkDatagram(quint32 uoo, const QByteArray& set, int offset)
{
    return ParamDatagramHeader::build(PAR_PROTO_SEND_REQUEST,
                                      ParamChunk::fromSet(set, offset).encode(), 0, uoo);
}

inline QByteArray bare(quint32 msgCode, quint32 uoo, quint16 value = 0)
{
    return ParamDatagramHeader::build(msgCode, QByteArray(), value, uoo);
}

inline QByteArray patternSet(int size, int seed = 1)
{
    QByteArray set(size, '\0');
    for (int i = 0; i < size; ++i) {
        set[i] = static_cast<char>((i * 7 + seed * 13) & 0xFF);
    }
    return set;
}

struct Reply
{
    ParamDatagramHeader header;
    QByteArray payload;
    QByteArray raw;

    SyncBlock sync() const
    {
        SyncBlock block;
        SyncBlock::decode(payload.constData(), payload.size(), &block);
        return block;
    }
    ParamChunk chunk() const
    {
        ParamChunk chunk;
        ParamChunk::decode(payload.constData(), payload.size(), &chunk);
        return chunk;
    }
};

// A server in a temporary working directory, bound to 127.0.0.1, with a client
// socket that receives its replies.
class Harness
{
public:
    explicit Harness(bool startServer = true)
    {
        QVERIFY(dir.isValid());
        oldDir = QDir::currentPath();
        QDir::setCurrent(dir.path());
        if (startServer) {
            createServer();
        }
    }
    ~Harness()
    {
        server.reset();
        QDir::setCurrent(oldDir);
    }

    void createServer()
    {
        server = std::make_unique<VemoParamServer>(nullptr, &clock);
        server->setBindAddress(QHostAddress::LocalHost);
        server->setPort(0);
        server->start();
        QVERIFY(server->boundPort() != 0);
        if (client.state() != QAbstractSocket::BoundState) {
            QVERIFY(client.bind(QHostAddress::LocalHost, 0));
            QVERIFY(marker.bind(QHostAddress::LocalHost, 0));
        }
    }
    void destroyServer() { server.reset(); }

    QString path() const { return dir.path(); }
    quint16 clientPort() const { return client.localPort(); }

    // Hands one datagram to the server as if it came from the client socket and
    // returns what the server sent back in answer.
    QList<Reply> exchange(const QByteArray& datagram)
    {
        server->handleParamRequest(datagram, QHostAddress::LocalHost, client.localPort());
        return collect();
    }

    // Everything the client socket received up to now. A marker datagram sent
    // after the server's replies bounds the wait without any timing assumption.
    QList<Reply> collect()
    {
        const QByteArray token = QByteArray("marker-") + QByteArray::number(++markers);
        marker.writeDatagram(token, QHostAddress::LocalHost, client.localPort());
        QList<Reply> replies;
        for (;;) {
            if (!client.hasPendingDatagrams() && !client.waitForReadyRead(10000)) {
                QTest::qFail("marker datagram not received", __FILE__, __LINE__);
                return replies;
            }
            while (client.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = client.receiveDatagram();
                if (datagram.data() == token) {
                    return replies;
                }
                Reply reply;
                reply.raw = datagram.data();
                ParamDatagramHeader::decode(reply.raw.constData(), reply.raw.size(), &reply.header);
                reply.payload = reply.raw.mid(ParamDatagramHeader::Size);
                checkServerDatagram(reply);
                replies.append(reply);
            }
        }
    }

    // Every datagram of the server: both magics, uooCode 0, exact length, dataCrc
    // over the payload (0 without payload).
    static void checkServerDatagram(const Reply& reply)
    {
        QVERIFY(reply.raw.size() >= ParamDatagramHeader::Size);
        QCOMPARE(reply.header.magic1, ParamDatagramHeader::Magic1);
        QCOMPARE(reply.header.magic2, ParamDatagramHeader::Magic2);
        QCOMPARE(reply.header.uooCode, 0u);
        QCOMPARE(static_cast<int>(reply.header.dataLength), reply.payload.size());
        QCOMPARE(reply.header.dataCrc, paramCrc16(reply.payload));
    }

    // Drives UOO `uoo` to state 1 holding `set` (SYNC, upload, SYNC in step).
    void makeIdle(quint32 uoo, const QByteArray& set, const QDateTime& stamp = QDateTime())
    {
        QList<Reply> replies = exchange(syncRequestFor(uoo, set, stamp));
        QCOMPARE(replies.size(), 1);
        QCOMPARE(replies[0].sync().command, 0u);
        for (int offset = 0; offset < set.size() || offset == 0; offset += ParamChunk::DataSize) {
            replies = exchange(chunkDatagram(uoo, set, offset));
            QCOMPARE(replies.size(), 1);
            QCOMPARE(replies[0].header.msgCode, quint32(PAR_PROTO_RCV_ACK));
            if (set.isEmpty()) {
                break;
            }
        }
        QCOMPARE(server->uooParamsDesc(uoo).state, 1);
    }

    // Drives UOO `uoo` into state 2 (after its first chunk) or 3 (all chunks sent
    // and acknowledged) with newSet scheduled; the device holds `current`.
    void makeDownloading(quint32 uoo, const QByteArray& current, const QByteArray& newSet,
                         bool allSent)
    {
        makeIdle(uoo, current);
        UooRParamsDesc request;
        request.localparams = newSet;
        request.localtime = QDateTime(QDate(2024, 5, 1), QTime(10, 0, 0));
        QVERIFY(server->scheduleNewParams(uoo, request));
        QList<Reply> replies = exchange(bare(PAR_PROTO_DWLD_REQUEST, uoo));
        QCOMPARE(replies.size(), 1);
        QCOMPARE(server->uooParamsDesc(uoo).state, 2);
        if (!allSent) {
            return;
        }
        while (server->uooParamsDesc(uoo).state == 2) {
            exchange(bare(PAR_PROTO_RCV_ACK, uoo));
        }
        QCOMPARE(server->uooParamsDesc(uoo).state, 3);
    }

    ManualClock clock;
    std::unique_ptr<VemoParamServer> server;
    QUdpSocket client;
    QUdpSocket marker;

private:
    QTemporaryDir dir;
    QString oldDir;
    int markers = 0;
};

// A stored row of device uoo in the given state, with its current set.
inline ParamsRow storedRow(quint32 uoo, int state, const QByteArray& set = QByteArray())
{
    ParamsRow row;
    row.uoo = uoo;
    row.record.uoo = uoo;
    row.record.state = state;
    row.record.uooparams = set;
    return row;
}

// Writes rows straight into params_upd.db of the current directory, as a previous
// run would have left them.
inline void seedRows(const QVector<ParamsRow>& rows)
{
    ParamsDatabase db(QStringLiteral("seed"));
    QVERIFY(db.open());
    QCOMPARE(db.writeBatch(rows, {}).failure, ParamsDatabase::Failure::None);
}

// A connection of the test's own on a parameters file (by default params_upd.db
// of the current directory), for looking at or changing it behind the server.
// A failed query shows in column() as an "error: ..." value.
class FileProbe
{
public:
    explicit FileProbe(const QString& file = QStringLiteral("./params_upd.db"))
    {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("probe"));
        db.setDatabaseName(file);
        db.open();
    }
    ~FileProbe()
    {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("probe"));
    }
    FileProbe(const FileProbe&) = delete;
    FileProbe& operator=(const FileProbe&) = delete;

    QVariantList column(const QString& sql)
    {
        QVariantList values;
        QSqlQuery query(db);
        if (!query.exec(sql)) {
            values.append(QStringLiteral("error: ") + query.lastError().text());
        }
        while (query.next()) {
            values.append(query.value(0));
        }
        return values;
    }
    bool exec(const QString& sql)
    {
        QSqlQuery query(db);
        const bool ok = query.exec(sql);
        if (!ok) {
            qWarning() << sql << query.lastError().text();
        }
        return ok;
    }

private:
    QSqlDatabase db;
};

} // namespace paramtest
