#include "devicelistframe.h"

#include "rpccodec.h"

#include <QDataStream>
#include <QMetaType>
#include <QtEndian>

#include <limits>

DeviceListFrame::DeviceListFrame(const QString& messageName)
{
    // Body length (patched at the end), name, one argument: a variant of the
    // registered list type, not null, with the type's name; then the list count
    // (patched) and the descriptors.
    QByteArray head;
    QDataStream out(&head, QIODevice::WriteOnly);
    out.setVersion(RpcCodec::StreamVersion);
    const char* typeName = QMetaType::typeName(qMetaTypeId<QList<UooDescriptor>>());
    out << quint32(0) << messageName << quint8(1) << quint32(QMetaType::User) << qint8(0);
    out.writeBytes(typeName, static_cast<uint>(qstrlen(typeName) + 1));
    countOffset = head.size();
    out << quint32(0);
    failed = out.status() != QDataStream::Ok;
    size = head.size();
    pieces.append(head);
}

void DeviceListFrame::append(const QList<UooDescriptor>& descriptors)
{
    if (descriptors.isEmpty() || failed) {
        return;
    }
    QByteArray piece;
    QDataStream out(&piece, QIODevice::WriteOnly);
    out.setVersion(RpcCodec::StreamVersion);
    for (const UooDescriptor& descriptor : descriptors) {
        out << descriptor;
    }
    failed = out.status() != QDataStream::Ok;
    listed += static_cast<quint32>(descriptors.size());
    size += piece.size();
    pieces.append(piece);
}

QByteArray DeviceListFrame::head(quint32 descriptors, qint64 listBytes) const
{
    if (failed || pieces.isEmpty()) {
        return QByteArray();
    }
    const qint64 body = pieces.first().size() - RpcCodec::HeaderSize + listBytes;
    if (body > qint64(std::numeric_limits<quint32>::max())) {
        return QByteArray();
    }
    QByteArray bytes = pieces.first();
    qToLittleEndian<quint32>(static_cast<quint32>(body), bytes.data());
    qToBigEndian<quint32>(descriptors, bytes.data() + countOffset);
    return bytes;
}

QByteArray DeviceListFrame::encode(const QList<UooDescriptor>& descriptors)
{
    QByteArray piece;
    QDataStream out(&piece, QIODevice::WriteOnly);
    out.setVersion(RpcCodec::StreamVersion);
    for (const UooDescriptor& descriptor : descriptors) {
        out << descriptor;
    }
    return out.status() == QDataStream::Ok ? piece : QByteArray();
}

QList<QByteArray> DeviceListFrame::finish()
{
    QList<QByteArray> frame;
    frame.swap(pieces);
    if (failed || frame.isEmpty()) {
        return QList<QByteArray>();
    }
    QByteArray& head = frame.first();
    qToLittleEndian<quint32>(static_cast<quint32>(size - RpcCodec::HeaderSize), head.data());
    qToBigEndian<quint32>(listed, head.data() + countOffset);
    return frame;
}
