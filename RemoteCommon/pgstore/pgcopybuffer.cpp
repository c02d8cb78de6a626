#include "pgcopybuffer.h"

#include <QtEndian>

namespace {

// "PGCOPY\n\377\r\n\0", then the flags and the length of the header extension.
const char Signature[] = {'P', 'G', 'C', 'O', 'P', 'Y', '\n', '\xff', '\r', '\n', '\0',
                          0,   0,   0,   0,   0,   0,   0,   0};

} // namespace

PgCopyBuffer::PgCopyBuffer(int reserveBytes)
{
    bytes.reserve(qMax(reserveBytes, int(sizeof(Signature))));
    bytes.append(Signature, sizeof(Signature));
}

void PgCopyBuffer::startRow(int fields)
{
    appendBigEndian(static_cast<qint16>(fields));
    ++rowCount;
}

void PgCopyBuffer::addNull()
{
    appendBigEndian(-1);
}

void PgCopyBuffer::addInt4(qint32 value)
{
    appendBigEndian(4);
    appendBigEndian(value);
}

void PgCopyBuffer::addText(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    appendBigEndian(utf8.size());
    bytes.append(utf8);
}

void PgCopyBuffer::addBytes(const QByteArray& value)
{
    appendBigEndian(value.size());
    bytes.append(value);
}

void PgCopyBuffer::addTimestamp(const QDateTime& time)
{
    if (!time.isValid()) {
        addNull();
        return;
    }
    appendBigEndian(8);
    appendBigEndian(timestampMicroseconds(time));
}

void PgCopyBuffer::finish()
{
    appendBigEndian(qint16(-1));
}

qint64 PgCopyBuffer::timestampMicroseconds(const QDateTime& time)
{
    constexpr qint64 UsPerDay = 86400LL * 1000000;
    constexpr qint64 JulianDay2000 = 2451545;
    const QDateTime local = time.timeSpec() == Qt::LocalTime ? time : time.toLocalTime();
    return (local.date().toJulianDay() - JulianDay2000) * UsPerDay +
           qint64(local.time().msecsSinceStartOfDay()) * 1000;
}

int PgCopyBuffer::splitRow(const char* data, int length, Field* fields, int maxFields)
{
    if (length < 2) {
        return -2;
    }
    const int count = qFromBigEndian<qint16>(data);
    if (count == -1) {
        return length == 2 ? -1 : -2;
    }
    if (count < 0 || count > maxFields) {
        return -2;
    }
    int at = 2;
    for (int i = 0; i < count; ++i) {
        if (length - at < 4) {
            return -2;
        }
        const qint32 size = qFromBigEndian<qint32>(data + at);
        at += 4;
        if (size == -1) {
            fields[i] = Field();
            continue;
        }
        if (size < 0 || size > length - at) {
            return -2;
        }
        fields[i].data = data + at;
        fields[i].length = size;
        at += size;
    }
    return at == length ? count : -2;
}
