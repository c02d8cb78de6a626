#include "rpctypes.h"

#include "boundedlist.h"

#include <QStringList>

namespace {

// Smallest encodings, used to bound what a list count may reserve.
constexpr int MinClientBytes = 4 + 4 + 4 + 4 + 4;
constexpr int MinDescriptorBytes = 4 + 4 + 4 + 4 + 4 + 4 + 4 + 4 + 2 + 1 + 1;

template <typename T> void saveValue(QDataStream& out, const void* value)
{
    out << *static_cast<const T*>(value);
}

template <typename T> void loadValue(QDataStream& in, void* value)
{
    in >> *static_cast<T*>(value);
}

void savePermissionList(QDataStream& out, const void* value)
{
    const auto& list = *static_cast<const QList<quint8>*>(value);
    out << static_cast<quint32>(list.size());
    for (quint8 code : list) {
        out << code;
    }
}

void loadPermissionList(QDataStream& in, void* value)
{
    readPermissionList(in, *static_cast<QList<quint8>*>(value));
}

template <typename T> void registerStreamed(const char* name)
{
    const int id = qRegisterMetaType<T>(name);
    QMetaType::registerStreamOperators(id, &saveValue<T>, &loadValue<T>);
}

} // namespace

QDataStream& readPermissionList(QDataStream& in, QList<quint8>& list)
{
    return readBoundedList(in, list, 1);
}

QDataStream& readWireDateTime(QDataStream& in, QDateTime& value)
{
    value = QDateTime();
    QDate date;
    QTime time;
    qint8 timeSpec = 0;
    in >> date >> time >> timeSpec;
    if (in.status() != QDataStream::Ok) {
        return in;
    }
    switch (timeSpec) {
    case Qt::LocalTime:
        value = QDateTime(date, time, Qt::LocalTime);
        break;
    case Qt::UTC:
        value = QDateTime(date, time, Qt::UTC);
        break;
    case Qt::OffsetFromUTC: {
        qint32 offset = 0;
        in >> offset;
        if (in.status() == QDataStream::Ok) {
            value = QDateTime(date, time, Qt::OffsetFromUTC, offset);
        }
        break;
    }
    default:
        in.setStatus(QDataStream::ReadCorruptData);
        break;
    }
    return in;
}

QDataStream& operator>>(QDataStream& in, QList<VemoRpcClient>& list)
{
    return readBoundedList(in, list, MinClientBytes);
}

QDataStream& operator>>(QDataStream& in, QList<UooDescriptor>& list)
{
    return readBoundedList(in, list, MinDescriptorBytes);
}

void registerRpcAuthTypes()
{
    registerStreamed<VemoRpcClient>("VemoRpcClient");
    registerStreamed<QList<VemoRpcClient>>("QList<VemoRpcClient>");
    registerStreamed<VemoRpcCredentials>("VemoRpcCredentials");
}

void registerRpcTypes()
{
    // Names first, in a fixed order...
    qRegisterMetaType<QList<QByteArray>>("QList<QByteArray>");
    qRegisterMetaType<QList<quint32>>("QList<quint32>");
    qRegisterMetaType<QList<quint16>>("QList<quint16>");
    qRegisterMetaType<NetworkStats>("NetworkStats");
    qRegisterMetaType<QList<quint64>>("QList<quint64>");
    qRegisterMetaType<QList<quint8>>("QList<quint8>");
    qRegisterMetaType<QList<uchar>>("QList<uchar>");
    qRegisterMetaType<QStringList>("QStringList");
    qRegisterMetaType<QList<QString>>("QList<QString>");
    qRegisterMetaType<UooDescriptor>("UooDescriptor");
    qRegisterMetaType<QList<UooDescriptor>>("QList<UooDescriptor>");
    qRegisterMetaType<UooRParamsDesc>("UooRParamsDesc");
    qRegisterMetaType<VemoRpcClient>("VemoRpcClient");
    qRegisterMetaType<QList<VemoRpcClient>>("QList<VemoRpcClient>");
    qRegisterMetaType<VemoRpcCredentials>("VemoRpcCredentials");

    // ...then the stream operators. Every list reader is a bounded one, including
    // the one for the permission bytes, whose stock reader would reserve whatever
    // the count says.
    registerStreamed<VemoRpcCredentials>("VemoRpcCredentials");
    registerStreamed<VemoRpcClient>("VemoRpcClient");
    registerStreamed<QList<VemoRpcClient>>("QList<VemoRpcClient>");
    const int permissionsId = qRegisterMetaType<QList<quint8>>("QList<quint8>");
    QMetaType::registerStreamOperators(permissionsId, &savePermissionList, &loadPermissionList);
    registerStreamed<UooDescriptor>("UooDescriptor");
    registerStreamed<QList<UooDescriptor>>("QList<UooDescriptor>");
    registerStreamed<AccountInfo>("AccountInfo");
    registerStreamed<UooRParamsDesc>("UooRParamsDesc");
}
