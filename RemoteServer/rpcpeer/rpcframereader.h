#pragma once

#include <QByteArray>

// Cuts an incoming byte stream into frames (layout: see rpccodec.h).
//
// Bytes are appended as they arrive and frames are handed out in place, without
// copying. A read offset walks the buffer and the consumed part is dropped only
// when new bytes are appended, so every byte is moved at most once: reading is
// linear in the bytes received. A length above the limit is reported before any
// room is made for that body.
class RpcFrameReader
{
public:
    enum class Result {
        NeedMore, // no complete frame yet
        Frame,    // a frame is ready (its body may be empty)
        Oversized // the next frame announces a body above the limit
    };

    explicit RpcFrameReader(qint64 maxBody = 16 * 1024 * 1024);

    void setMaxBody(qint64 bytes);
    qint64 maxBody() const { return limit; }

    void append(const QByteArray& bytes);

    // The next frame. On Frame, body and size describe the body, valid until the
    // next call to append(). On Oversized, announced holds the length read.
    Result next(const char** body, int* size, quint32* announced = nullptr);

    // Bytes received but not yet handed out as frames.
    qint64 buffered() const { return buffer.size() - offset; }
    // Room held by the buffer (for tests of the compaction).
    qint64 capacity() const { return buffer.capacity(); }

private:
    QByteArray buffer;
    int offset = 0;
    qint64 limit = 16 * 1024 * 1024;
};
