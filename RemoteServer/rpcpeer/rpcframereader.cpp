#include "rpcframereader.h"

#include "rpccodec.h"

#include <limits>

namespace {

// A QByteArray holds a little less than 2 GiB; keep the largest accepted body well
// inside that.
constexpr qint64 LargestBody = std::numeric_limits<int>::max() / 2;

} // namespace

RpcFrameReader::RpcFrameReader(qint64 maxBody)
{
    setMaxBody(maxBody);
}

void RpcFrameReader::setMaxBody(qint64 bytes)
{
    limit = qBound<qint64>(0, bytes, LargestBody);
}

void RpcFrameReader::append(const QByteArray& bytes)
{
    if (offset > 0) {
        if (offset == buffer.size()) {
            buffer.resize(0);
        } else {
            // Only the tail of an unfinished frame moves.
            buffer.remove(0, offset);
        }
        offset = 0;
    }
    buffer.append(bytes);
}

RpcFrameReader::Result RpcFrameReader::next(const char** body, int* size, quint32* announced)
{
    const qint64 available = buffer.size() - offset;
    if (available < RpcCodec::HeaderSize) {
        return Result::NeedMore;
    }
    const quint32 length = RpcCodec::readLength(buffer.constData() + offset);
    if (announced) {
        *announced = length;
    }
    if (static_cast<qint64>(length) > limit) {
        return Result::Oversized;
    }
    if (available - RpcCodec::HeaderSize < static_cast<qint64>(length)) {
        return Result::NeedMore;
    }
    *body = buffer.constData() + offset + RpcCodec::HeaderSize;
    *size = static_cast<int>(length);
    offset += RpcCodec::HeaderSize + static_cast<int>(length);
    return Result::Frame;
}
