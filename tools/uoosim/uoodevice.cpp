#include "uoodevice.h"

#include "paramchunk.h"
#include "paramcrc16.h"
#include "paramdatagramheader.h"
#include "syncblock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

namespace {

QString hex16(quint16 value)
{
    return QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

UooDevice::UooDevice(const UooDeviceConfig& config, QTextStream* out) : config(config), out(out) {}

void UooDevice::print(const QString& line)
{
    *out << line << '\n';
    out->flush();
}

bool UooDevice::silentAt(const QString& step)
{
    if (config.silentAfter != step) {
        return false;
    }
    print(QStringLiteral("SILENT after=%1").arg(step));
    return true;
}

void UooDevice::send(quint32 msgCode, const QByteArray& payload, quint16 value)
{
    socket.writeDatagram(ParamDatagramHeader::build(msgCode, payload, value, config.uoo),
                         config.server, config.port);
}

bool UooDevice::waitFor(quint32 msgCode, ParamDatagramHeader* header, QByteArray* payload)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        while (socket.hasPendingDatagrams()) {
            QByteArray datagram(static_cast<int>(qMax<qint64>(socket.pendingDatagramSize(), 0)),
                                '\0');
            const qint64 size = socket.readDatagram(datagram.data(), datagram.size());
            if (size < 0) {
                break;
            }
            datagram.resize(static_cast<int>(size));
            if (!ParamDatagramHeader::decode(datagram.constData(), datagram.size(), header) ||
                !header->fits(datagram.size())) {
                print(QStringLiteral("IGNORED invalid datagram size=%1").arg(datagram.size()));
                continue;
            }
            if (header->msgCode != msgCode) {
                print(QStringLiteral("IGNORED code=0x%1")
                          .arg(header->msgCode, 4, 16, QLatin1Char('0')));
                continue;
            }
            *payload = datagram.mid(ParamDatagramHeader::Size);
            if (msgCode == PAR_PROTO_SYNC_REQUEST) {
                SyncBlock block;
                if (!SyncBlock::decode(payload->constData(), payload->size(), &block) ||
                    block.uooCode != config.uoo) {
                    continue;
                }
            }
            return true;
        }
        const qint64 left = config.timeoutMs - timer.elapsed();
        if (left <= 0 || !socket.waitForReadyRead(static_cast<int>(left))) {
            if (!socket.hasPendingDatagrams()) {
                return false;
            }
        }
    }
}

int UooDevice::run()
{
    const QHostAddress local =
        config.server.isLoopback() ? config.server : QHostAddress(QHostAddress::Any);
    if (!socket.bind(local, 0)) {
        print(QStringLiteral("ERROR bind %1").arg(socket.errorString()));
        return ExitUsage;
    }
    for (int round = 1; round <= config.maxRounds; ++round) {
        SyncBlock request;
        request.setDeviceText(config.device);
        request.setPversionText(config.pversion);
        request.version1 = config.version1;
        request.version2 = config.version2;
        request.version3 = config.version3;
        request.uooCode = config.uoo;
        request.paramsSize = static_cast<quint32>(config.params.size());
        request.paramsCrc = paramSetCrc(config.params);
        request.setParamsDateTime(config.paramsTime);

        ParamDatagramHeader header;
        QByteArray payload;
        bool answered = false;
        for (int attempt = 0; attempt <= config.retries && !answered; ++attempt) {
            print(QStringLiteral("SYNC_SENT uoo=%1 size=%2 crc=%3")
                      .arg(config.uoo)
                      .arg(request.paramsSize)
                      .arg(hex16(request.paramsCrc)));
            send(PAR_PROTO_SYNC_REQUEST, request.encode(), config.status);
            answered = waitFor(PAR_PROTO_SYNC_REQUEST, &header, &payload);
            if (!answered) {
                print(QStringLiteral("SYNC_TIMEOUT"));
            }
        }
        if (!answered) {
            print(QStringLiteral("TIMEOUT waiting=sync"));
            return ExitTimeout;
        }
        SyncBlock reply;
        SyncBlock::decode(payload.constData(), payload.size(), &reply);
        print(QStringLiteral("SYNC_REPLY command=%1 size=%2 crc=%3")
                  .arg(reply.command)
                  .arg(reply.paramsSize)
                  .arg(hex16(reply.paramsCrc)));
        if (silentAt(QStringLiteral("sync"))) {
            return ExitOk;
        }

        Step step = Step::Done;
        switch (reply.command) {
        case PAR_SYNC_IN_SYNC:
            print(QStringLiteral("IN_SYNC"));
            return ExitOk;
        case PAR_SYNC_SEND_PARAMS:
            step = upload();
            break;
        case PAR_SYNC_NEW_PARAMS:
            step = download(reply.paramsSize, reply.paramsCrc);
            break;
        default:
            print(QStringLiteral("ERROR unexpected command=%1").arg(reply.command));
            return ExitProtocol;
        }
        switch (step) {
        case Step::Done:
        case Step::Again:
            break;
        case Step::Silent:
            return ExitOk;
        case Step::Timeout:
            return ExitTimeout;
        case Step::Error:
            return ExitProtocol;
        }
    }
    print(QStringLiteral("NO_SYNC rounds=%1").arg(config.maxRounds));
    return ExitNoSync;
}

UooDevice::Step UooDevice::upload()
{
    const QByteArray& set = config.params;
    print(
        QStringLiteral("UPLOAD_START size=%1 crc=%2").arg(set.size()).arg(hex16(paramSetCrc(set))));
    int offset = 0;
    do {
        const ParamChunk good = ParamChunk::fromSet(set, offset);
        bool acked = false;
        for (int attempt = 0; attempt <= config.retries && !acked; ++attempt) {
            ParamChunk chunk = good;
            ++uploadChunks;
            if (uploadChunks == config.badChunkCrc) {
                chunk.crc = static_cast<quint16>(chunk.crc ^ 0xFFFF);
                print(QStringLiteral("UPLOAD_BAD_CRC chunk=%1").arg(uploadChunks));
            }
            send(PAR_PROTO_SEND_REQUEST, chunk.encode(), 0);
            print(QStringLiteral("UPLOAD_CHUNK offset=%1 length=%2 left=%3 crc=%4")
                      .arg(chunk.offset)
                      .arg(chunk.length)
                      .arg(chunk.left)
                      .arg(hex16(chunk.crc)));
            if (silentAt(QStringLiteral("upload-chunk:%1").arg(uploadChunks))) {
                return Step::Silent;
            }
            ParamDatagramHeader header;
            QByteArray payload;
            while (!acked && waitFor(PAR_PROTO_RCV_ACK, &header, &payload)) {
                if (header.value == good.crc) {
                    acked = true;
                } else {
                    print(QStringLiteral("UPLOAD_ACK_MISMATCH crc=%1").arg(hex16(header.value)));
                }
            }
            if (acked) {
                print(QStringLiteral("UPLOAD_ACK crc=%1").arg(hex16(header.value)));
            } else {
                print(QStringLiteral("UPLOAD_TIMEOUT offset=%1").arg(offset));
            }
        }
        if (!acked) {
            print(QStringLiteral("TIMEOUT waiting=upload-ack"));
            return Step::Timeout;
        }
        offset += static_cast<int>(good.length);
    } while (offset < set.size());
    print(QStringLiteral("UPLOAD_DONE size=%1").arg(set.size()));
    return Step::Done;
}

UooDevice::Step UooDevice::download(quint32 size, quint16 setCrc)
{
    print(QStringLiteral("DWLD_REQUEST size=%1 crc=%2").arg(size).arg(hex16(setCrc)));
    send(PAR_PROTO_DWLD_REQUEST, QByteArray(), 0);
    if (silentAt(QStringLiteral("dwld-request"))) {
        return Step::Silent;
    }
    QByteArray set;
    for (;;) {
        ParamDatagramHeader header;
        QByteArray payload;
        if (!waitFor(PAR_PROTO_SEND_REQUEST, &header, &payload)) {
            print(QStringLiteral("DOWNLOAD_TIMEOUT offset=%1").arg(set.size()));
            return Step::Again; // the next SYNC request restarts the download
        }
        ParamChunk chunk;
        if (!ParamChunk::decode(payload.constData(), payload.size(), &chunk) ||
            !chunk.lengthValid()) {
            print(QStringLiteral("ERROR invalid chunk size=%1").arg(payload.size()));
            return Step::Error;
        }
        if (chunk.computeCrc() != chunk.crc) {
            print(QStringLiteral("DOWNLOAD_CRC_ERROR offset=%1").arg(chunk.offset));
            return Step::Again;
        }
        if (chunk.offset != static_cast<quint32>(set.size())) {
            print(QStringLiteral("DOWNLOAD_OFFSET_ERROR offset=%1 expected=%2")
                      .arg(chunk.offset)
                      .arg(set.size()));
            return Step::Again;
        }
        set.append(chunk.data.data(), static_cast<int>(chunk.length));
        ++downloadChunks;
        print(QStringLiteral("DOWNLOAD_CHUNK offset=%1 length=%2 left=%3 crc=%4")
                  .arg(chunk.offset)
                  .arg(chunk.length)
                  .arg(chunk.left)
                  .arg(hex16(chunk.crc)));
        if (silentAt(QStringLiteral("chunk:%1").arg(downloadChunks))) {
            return Step::Silent;
        }
        if (static_cast<quint32>(set.size()) > size) {
            print(QStringLiteral("ERROR download longer than announced"));
            return Step::Error;
        }
        ++acks;
        if (acks == config.dropAck) {
            print(QStringLiteral("ACK_DROPPED offset=%1").arg(chunk.offset));
            continue; // the server waits for it; the wait for the next chunk times out
        }
        send(PAR_PROTO_RCV_ACK, QByteArray(), chunk.crc);
        if (chunk.left == 0) {
            break;
        }
    }
    const quint16 crc = paramSetCrc(set);
    if (static_cast<quint32>(set.size()) != size || crc != setCrc) {
        print(QStringLiteral("DOWNLOAD_MISMATCH size=%1 crc=%2").arg(set.size()).arg(hex16(crc)));
        return Step::Again;
    }
    print(QStringLiteral("DOWNLOAD_DONE size=%1 crc=%2").arg(set.size()).arg(hex16(crc)));
    if (silentAt(QStringLiteral("download"))) {
        return Step::Silent;
    }
    return finish(set, crc);
}

UooDevice::Step UooDevice::finish(const QByteArray& set, quint16 setCrc)
{
    const quint16 reported = config.badSetCrc ? static_cast<quint16>(setCrc ^ 0xFFFF) : setCrc;
    bool acked = false;
    for (int attempt = 0; attempt <= config.retries && !acked; ++attempt) {
        print(QStringLiteral("DWLD_FINISHED crc=%1").arg(hex16(reported)));
        send(PAR_PROTO_DWLD_FINISHED, QByteArray(), reported);
        ParamDatagramHeader header;
        QByteArray payload;
        acked = waitFor(PAR_PROTO_DWLD_FINISHED_ACK, &header, &payload);
    }
    if (!acked) {
        // Not applied: the next SYNC request reports the old set.
        print(QStringLiteral("FINISHED_TIMEOUT"));
        return Step::Again;
    }
    print(QStringLiteral("FINISHED_ACK"));
    if (silentAt(QStringLiteral("finished"))) {
        return Step::Silent;
    }
    config.params = set;
    config.paramsTime = QDateTime();
    print(QStringLiteral("APPLIED size=%1 crc=%2").arg(set.size()).arg(hex16(setCrc)));
    if (!config.saveFile.isEmpty()) {
        QFile file(config.saveFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(set) != set.size()) {
            print(QStringLiteral("ERROR cannot write %1").arg(config.saveFile));
            return Step::Error;
        }
        print(QStringLiteral("SAVED %1").arg(config.saveFile));
    }
    return Step::Done;
}
