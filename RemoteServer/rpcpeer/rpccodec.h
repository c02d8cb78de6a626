#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QString>
#include <QVariant>
#include <QVariantList>

// Encoding and decoding of RPC messages.
//
// A frame is a 32-bit little-endian body length followed by the body. The body is
// a QDataStream (big-endian, version Qt_5_3): the message name (QString), the
// argument count (quint8, 0..8), then each argument as a variant.
//
// Variants are read by hand from untrusted bytes: only a fixed set of built-in
// types and registered user types with stream operators are accepted, list counts
// never reserve more than the bytes can hold, and nothing nests.
class RpcCodec
{
public:
    static constexpr int MaxArguments = 8;
    static constexpr int HeaderSize = 4;
    // Longest user type name accepted on reading, NUL included.
    static constexpr quint32 MaxTypeNameLength = 256;
    static constexpr QDataStream::Version StreamVersion = QDataStream::Qt_5_3;

    enum class BodyStatus {
        Ok,            // name and arguments read
        ProtocolError, // name or count unreadable, or count above eight
        BadArguments,  // an argument could not be decoded; the message is dropped
    };

    struct Message
    {
        QString name;
        QVariantList args;
    };

    // Builds a whole frame. Arguments are counted up to the first invalid variant
    // and at most eight are sent. Returns an empty array when an argument has a
    // type that cannot travel. Never logs.
    static QByteArray encodeFrame(const QString& name, const QVariantList& args);

    // Decodes one frame body. On failure error (if given) says why.
    static BodyStatus decodeBody(const char* data, int size, Message& message,
                                 QString* error = nullptr);

    // One variant in the wire encoding; false when its type cannot travel.
    static bool writeVariant(QDataStream& out, const QVariant& value);
    // One variant from untrusted input; false when the type is not accepted or the
    // value cannot be read.
    static bool readVariant(QDataStream& in, QVariant& value);

    // Whether a built-in type id may travel as an argument.
    static bool isWireBuiltin(int typeId);

    static quint32 readLength(const char* header);
};
