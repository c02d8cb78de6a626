#include "rpccodec.h"

#include "boundedlist.h"
#include "rpctypes.h"

#include <QBuffer>
#include <QStringList>
#include <QtEndian>

#include <new>

namespace {

// Built-in types accepted as arguments. Containers of variants are left out on
// purpose: they nest without bound and nothing in the protocol uses them.
constexpr int WireBuiltins[] = {
    QMetaType::Bool,      QMetaType::Int,    QMetaType::UInt,    QMetaType::LongLong,
    QMetaType::ULongLong, QMetaType::Double, QMetaType::QString, QMetaType::QByteArray,
    QMetaType::QDateTime, QMetaType::QDate,  QMetaType::QTime,   QMetaType::QStringList,
};

// Each string in a list takes at least its 32-bit length.
constexpr int MinStringBytes = 4;

void setError(QString* error, const QString& text)
{
    if (error) {
        *error = text;
    }
}

} // namespace

bool RpcCodec::isWireBuiltin(int typeId)
{
    for (int id : WireBuiltins) {
        if (id == typeId) {
            return true;
        }
    }
    return false;
}

quint32 RpcCodec::readLength(const char* header)
{
    return qFromLittleEndian<quint32>(header);
}

bool RpcCodec::writeVariant(QDataStream& out, const QVariant& value)
{
    const int typeId = value.userType();
    const bool user = typeId >= QMetaType::User;
    if (!user && !isWireBuiltin(typeId)) {
        return false;
    }
    out << static_cast<quint32>(user ? int(QMetaType::User) : typeId);
    out << static_cast<qint8>(value.data_ptr().is_null ? 1 : 0);
    if (user) {
        // The primary name of the type, as the workstations know it.
        const char* name = QMetaType::typeName(typeId);
        if (!name) {
            return false;
        }
        out.writeBytes(name, static_cast<uint>(qstrlen(name) + 1));
    }
    if (!QMetaType::save(out, typeId, value.constData())) {
        return false;
    }
    return out.status() == QDataStream::Ok;
}

bool RpcCodec::readVariant(QDataStream& in, QVariant& value)
{
    quint32 wireId = 0;
    qint8 isNull = 0;
    in >> wireId >> isNull;
    if (in.status() != QDataStream::Ok) {
        return false;
    }

    int typeId = QMetaType::UnknownType;
    if (wireId == QMetaType::User) {
        quint32 length = 0;
        in >> length;
        if (in.status() != QDataStream::Ok || length < 2 || length > MaxTypeNameLength) {
            return false;
        }
        QByteArray name(static_cast<int>(length), Qt::Uninitialized);
        if (in.readRawData(name.data(), static_cast<int>(length)) != static_cast<int>(length)) {
            return false;
        }
        if (name.at(static_cast<int>(length) - 1) != '\0') {
            return false;
        }
        name.chop(1);
        if (name.contains('\0')) {
            return false;
        }
        // Aliases resolve to the type they name.
        typeId = QMetaType::type(name.constData());
        if (typeId == QMetaType::UnknownType) {
            return false;
        }
    } else if (isWireBuiltin(static_cast<int>(wireId))) {
        typeId = static_cast<int>(wireId);
    } else {
        // Local ids of user types mean nothing to another process; anything else
        // is not accepted.
        return false;
    }

    if (typeId == QMetaType::QStringList) {
        // The stock list reader reserves whatever the count says.
        QStringList list;
        readBoundedList(in, list, MinStringBytes, MaxListedTexts);
        if (in.status() != QDataStream::Ok) {
            return false;
        }
        value = QVariant(list);
        value.data_ptr().is_null = isNull != 0;
        return true;
    }
    if (typeId < QMetaType::User && !isWireBuiltin(typeId)) {
        return false;
    }
    if (typeId == QMetaType::QDateTime) {
        // The stock reader would take a time zone name from the peer.
        QDateTime time;
        readWireDateTime(in, time);
        if (in.status() != QDataStream::Ok) {
            return false;
        }
        value = QVariant(time);
        value.data_ptr().is_null = isNull != 0;
        return true;
    }

    QVariant result(typeId, nullptr);
    if (!result.isValid()) {
        return false;
    }
    // User types without stream operators make load() fail.
    if (!QMetaType::load(in, typeId, result.data()) || in.status() != QDataStream::Ok) {
        return false;
    }
    result.data_ptr().is_null = isNull != 0;
    value = result;
    return true;
}

QByteArray RpcCodec::encodeFrame(const QString& name, const QVariantList& args)
{
    QByteArray frame;
    try {
        QBuffer buffer(&frame);
        buffer.open(QIODevice::WriteOnly);
        QDataStream out(&buffer);
        out.setVersion(StreamVersion);
        out << quint32(0); // body length, patched below
        int count = 0;
        while (count < args.size() && count < MaxArguments && args.at(count).isValid()) {
            ++count;
        }
        out << name << static_cast<quint8>(count);
        for (int i = 0; i < count; ++i) {
            if (!writeVariant(out, args.at(i))) {
                return QByteArray();
            }
        }
        if (out.status() != QDataStream::Ok) {
            return QByteArray();
        }
        buffer.close();
    } catch (const std::bad_alloc&) {
        return QByteArray();
    }
    qToLittleEndian<quint32>(static_cast<quint32>(frame.size() - HeaderSize), frame.data());
    return frame;
}

RpcCodec::BodyStatus RpcCodec::decodeBody(const char* data, int size, Message& message,
                                          QString* error)
{
    message = Message();
    try {
        const QByteArray raw = QByteArray::fromRawData(data, size);
        QDataStream in(raw);
        in.setVersion(StreamVersion);

        in >> message.name;
        if (in.status() != QDataStream::Ok) {
            setError(error, QStringLiteral("unreadable message name"));
            return BodyStatus::ProtocolError;
        }
        quint8 count = 0;
        in >> count;
        if (in.status() != QDataStream::Ok) {
            setError(error, QStringLiteral("unreadable argument count"));
            return BodyStatus::ProtocolError;
        }
        if (count > MaxArguments) {
            setError(error,
                     QStringLiteral("argument count %1 above %2").arg(count).arg(MaxArguments));
            return BodyStatus::ProtocolError;
        }
        message.args.reserve(count);
        for (int i = 0; i < count; ++i) {
            QVariant value;
            if (!readVariant(in, value)) {
                setError(error, QStringLiteral("argument %1 cannot be decoded").arg(i + 1));
                message.args.clear();
                return BodyStatus::BadArguments;
            }
            message.args.append(value);
        }
    } catch (const std::bad_alloc&) {
        setError(error, QStringLiteral("out of memory while decoding"));
        message.args.clear();
        return BodyStatus::BadArguments;
    }
    return BodyStatus::Ok;
}
