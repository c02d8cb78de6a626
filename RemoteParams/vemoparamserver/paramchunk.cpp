#include "paramchunk.h"

#include "paramcrc16.h"

#include <QtEndian>

#include <cstring>

void ParamChunk::encode(char* out) const
{
    std::memcpy(out, data.data(), DataSize);
    qToLittleEndian<quint32>(offset, out + 512);
    qToLittleEndian<quint32>(length, out + 516);
    qToLittleEndian<quint32>(left, out + 520);
    qToLittleEndian<quint16>(crc, out + 524);
    std::memset(out + 526, 0, 6);
}

QByteArray ParamChunk::encode() const
{
    QByteArray out(Size, '\0');
    encode(out.data());
    return out;
}

bool ParamChunk::decode(const char* in, qint64 size, ParamChunk* out)
{
    if (in == nullptr || size < Size) {
        return false;
    }
    std::memcpy(out->data.data(), in, DataSize);
    out->offset = qFromLittleEndian<quint32>(in + 512);
    out->length = qFromLittleEndian<quint32>(in + 516);
    out->left = qFromLittleEndian<quint32>(in + 520);
    out->crc = qFromLittleEndian<quint16>(in + 524);
    return true;
}

quint16 ParamChunk::computeCrc() const
{
    return lengthValid() ? paramCrc16(data.data(), length) : 0;
}

ParamChunk ParamChunk::fromSet(const QByteArray& set, int offset)
{
    ParamChunk chunk;
    const int start = qBound(0, offset, set.size());
    const int length = qMin(set.size() - start, DataSize);
    if (length > 0) {
        std::memcpy(chunk.data.data(), set.constData() + start, static_cast<size_t>(length));
    }
    chunk.offset = static_cast<quint32>(start);
    chunk.length = static_cast<quint32>(length);
    chunk.left = static_cast<quint32>(set.size() - start - length);
    chunk.crc = paramCrc16(chunk.data.data(), length);
    return chunk;
}
