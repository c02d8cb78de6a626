#include "paramdatagramheader.h"

#include "paramcrc16.h"

#include <QtEndian>

#include <cstring>

void ParamDatagramHeader::encode(char* out) const
{
    qToLittleEndian<quint32>(magic1, out);
    qToLittleEndian<quint32>(magic2, out + 4);
    qToLittleEndian<quint32>(uooCode, out + UooOffset);
    qToLittleEndian<quint32>(msgCode, out + 12);
    qToLittleEndian<quint32>(dataLength, out + 16);
    qToLittleEndian<quint16>(value, out + 20);
    qToLittleEndian<quint16>(dataCrc, out + DataCrcOffset);
}

bool ParamDatagramHeader::decode(const char* data, qint64 size, ParamDatagramHeader* out)
{
    if (data == nullptr || size < Size) {
        return false;
    }
    out->magic1 = qFromLittleEndian<quint32>(data);
    out->magic2 = qFromLittleEndian<quint32>(data + 4);
    out->uooCode = qFromLittleEndian<quint32>(data + UooOffset);
    out->msgCode = qFromLittleEndian<quint32>(data + 12);
    out->dataLength = qFromLittleEndian<quint32>(data + 16);
    out->value = qFromLittleEndian<quint16>(data + 20);
    out->dataCrc = qFromLittleEndian<quint16>(data + DataCrcOffset);
    return true;
}

bool ParamDatagramHeader::fits(qint64 datagramSize) const
{
    return magic1 == Magic1 && magic2 == Magic2 &&
           static_cast<qint64>(dataLength) + Size == datagramSize;
}

void ParamDatagramHeader::buildInto(QByteArray* out, quint32 msgCode, const char* payload,
                                    int payloadSize, quint16 value, quint32 uooCode)
{
    const int length = payload != nullptr && payloadSize > 0 ? payloadSize : 0;
    out->resize(Size + length);
    ParamDatagramHeader header;
    header.uooCode = uooCode;
    header.msgCode = msgCode;
    header.dataLength = static_cast<quint32>(length);
    header.value = value;
    header.dataCrc = length > 0 ? paramCrc16(payload, length) : 0;
    char* data = out->data();
    header.encode(data);
    if (length > 0) {
        std::memcpy(data + Size, payload, static_cast<size_t>(length));
    }
}

QByteArray ParamDatagramHeader::buildRaw(quint32 msgCode, const char* payload, int payloadSize,
                                         quint16 value, quint32 uooCode)
{
    QByteArray datagram;
    buildInto(&datagram, msgCode, payload, payloadSize, value, uooCode);
    return datagram;
}

QByteArray ParamDatagramHeader::build(quint32 msgCode, const QByteArray& payload, quint16 value,
                                      quint32 uooCode)
{
    return buildRaw(msgCode, payload.constData(), payload.size(), value, uooCode);
}
