#pragma once

#include <QByteArray>
#include <QString>

// Hand-built bytes of the RPC wire format, written without the codec under test.
namespace RpcBytes {

// A 32-bit big-endian value, as QDataStream writes it.
QByteArray be32(quint32 value);
// A frame: the 32-bit little-endian body length, then the body.
QByteArray frameOf(const QByteArray& body);
// A body: name, count, then the raw argument bytes.
QByteArray body(const QString& name, int count, const QByteArray& args = QByteArray());
// A user-type variant header naming the type.
QByteArray userHeader(const QByteArray& name);

} // namespace RpcBytes
