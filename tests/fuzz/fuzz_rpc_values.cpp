// Every value reader of the RPC protocol through the one entry point that reads
// untrusted arguments: the first input byte chooses a type, whose variant header
// (type id, null flag and, for a record or list, its name) is put before the rest
// of the input. A second pass reads the input as a whole variant, header included.
//
// Invariant: a value that was read writes again, and what it writes reads again.

#include "fuzzsupport.h"
#include "rpccodec.h"
#include "rpctypes.h"

#include <QDataStream>

namespace {

const char* const UserTypes[] = {
    "VemoRpcCredentials", "VemoRpcClient",        "QList<VemoRpcClient>",
    "UooDescriptor",      "QList<UooDescriptor>", "UooRParamsDesc",
    "AccountInfo",        "QList<uchar>",         "QList<quint8>",
};
const quint32 BuiltinTypes[] = {
    QMetaType::Bool,      QMetaType::Int,    QMetaType::UInt,    QMetaType::LongLong,
    QMetaType::ULongLong, QMetaType::Double, QMetaType::QString, QMetaType::QByteArray,
    QMetaType::QDateTime, QMetaType::QDate,  QMetaType::QTime,   QMetaType::QStringList,
};
constexpr int UserCount = sizeof(UserTypes) / sizeof(UserTypes[0]);
constexpr int BuiltinCount = sizeof(BuiltinTypes) / sizeof(BuiltinTypes[0]);

void readAndRewrite(const QByteArray& bytes)
{
    QDataStream in(bytes);
    in.setVersion(RpcCodec::StreamVersion);
    QVariant value;
    if (!RpcCodec::readVariant(in, value)) {
        return;
    }
    QByteArray written;
    {
        QDataStream out(&written, QIODevice::WriteOnly);
        out.setVersion(RpcCodec::StreamVersion);
        if (!RpcCodec::writeVariant(out, value)) {
            fuzz::fail("a value that was read does not write");
        }
    }
    QDataStream again(written);
    again.setVersion(RpcCodec::StreamVersion);
    QVariant copy;
    if (!RpcCodec::readVariant(again, copy) || copy.userType() != value.userType()) {
        fuzz::fail("a written value does not read again");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::initialize(argc, argv);
    registerRpcTypes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const int choice = in.byte() % (UserCount + BuiltinCount);
    const quint8 nullFlag = in.byte() & 1;
    const QByteArray rest = in.rest();

    QByteArray typed;
    {
        QDataStream out(&typed, QIODevice::WriteOnly);
        out.setVersion(RpcCodec::StreamVersion);
        if (choice < UserCount) {
            out << quint32(QMetaType::User) << qint8(nullFlag);
            const char* name = UserTypes[choice];
            out.writeBytes(name, static_cast<uint>(qstrlen(name) + 1));
        } else {
            out << BuiltinTypes[choice - UserCount] << qint8(nullFlag);
        }
    }
    readAndRewrite(typed + rest);
    readAndRewrite(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    return 0;
}
