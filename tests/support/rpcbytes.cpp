#include "rpcbytes.h"

#include <QDataStream>
#include <QtEndian>

namespace RpcBytes {

QByteArray be32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray frameOf(const QByteArray& body)
{
    QByteArray length(4, '\0');
    qToLittleEndian<quint32>(static_cast<quint32>(body.size()), length.data());
    return length + body;
}

QByteArray body(const QString& name, int count, const QByteArray& args)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_3);
    out << name << static_cast<quint8>(count);
    return bytes + args;
}

QByteArray userHeader(const QByteArray& name)
{
    return be32(1024) + QByteArray(1, '\0') + be32(static_cast<quint32>(name.size() + 1)) + name +
           QByteArray(1, '\0');
}

} // namespace RpcBytes
