#pragma once

#include <QDataStream>
#include <QIODevice>
#include <QList>

// Reads a list written as a 32-bit element count followed by the elements.
//
// The count comes from the network and is not trusted: room is reserved only for
// as many elements as the bytes left in the stream could hold (each element takes
// at least minElementBytes), and never more than a modest batch; the list then
// grows with the elements actually read. Reading stops early at the end of the
// stream, and at the first element that cannot be read (which is not appended).
//
// More than maxElements elements actually present mark the stream corrupt once
// the cap is reached: a frame full of one-byte elements would otherwise cost many
// times its size. (A count above the cap with fewer elements behind it reads like
// any list cut short.)
template <typename T>
QDataStream& readBoundedList(QDataStream& in, QList<T>& list, int minElementBytes,
                             quint32 maxElements = 0xFFFFFFFFu)
{
    list.clear();
    quint32 count = 0;
    in >> count;
    if (in.status() != QDataStream::Ok) {
        return in;
    }
    qint64 available = in.device() ? in.device()->bytesAvailable() : 0;
    qint64 fits = available / qMax(1, minElementBytes);
    const qint64 reserveCap = 4096;
    list.reserve(static_cast<int>(qMin<qint64>(qMin<qint64>(count, fits), reserveCap)));
    for (quint32 i = 0; i < count; ++i) {
        if (i == maxElements) {
            in.setStatus(QDataStream::ReadCorruptData);
            break;
        }
        T element;
        in >> element;
        if (in.status() != QDataStream::Ok) {
            break;
        }
        list.append(element);
        if (in.atEnd()) {
            break;
        }
    }
    return in;
}
