#include "rpctypes.h"

#include "boundedlist.h"

#include <QStringList>
#include <QTimeZone>

namespace {

// Smallest encodings, used to bound what a list count may reserve.
constexpr int MinClientBytes = 4 + 4 + 4 + 4 + 4;
// Longest zone name taken from a peer (the longest real ones have about 30).
constexpr int MaxZoneNameLength = 64;
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

// Offsets from UTC that exist (the same range the toolkit accepts for zones).
bool isUtcOffset(qint32 seconds)
{
    return seconds >= -14 * 3600 && seconds <= 14 * 3600;
}

// A zone name as the zone database spells them ("Europe/Moscow", "Etc/GMT+3"):
// nothing that could lead a file lookup anywhere else.
bool isZoneName(const QString& name)
{
    if (name.isEmpty() || name.size() > MaxZoneNameLength || name.startsWith(QLatin1Char('/')) ||
        name.contains(QLatin1String(".."))) {
        return false;
    }
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool allowed = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                             (u >= '0' && u <= '9') || u == '/' || u == '_' || u == '-' ||
                             u == '+' || u == '.';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

// A time zone as the stream writes it: the zone's name, or for a zone that is only
// an offset the marker "OffsetFromUtc" followed by its name, offset, display
// names, country and comment. Only the offset or a well-formed name is used; a
// name the system does not know gives an invalid zone.
QTimeZone readWireTimeZone(QDataStream& in)
{
    QString id;
    in >> id;
    if (in.status() != QDataStream::Ok) {
        return QTimeZone();
    }
    if (id == QLatin1String("OffsetFromUtc")) {
        QString name;
        QString display;
        QString abbreviation;
        QString comment;
        qint32 offset = 0;
        qint32 country = 0;
        in >> name >> offset >> display >> abbreviation >> country >> comment;
        if (in.status() != QDataStream::Ok || !isUtcOffset(offset)) {
            return QTimeZone();
        }
        return QTimeZone(offset);
    }
    if (!isZoneName(id)) {
        return QTimeZone();
    }
    return QTimeZone(id.toLatin1());
}

} // namespace

QDataStream& readPermissionList(QDataStream& in, QList<quint8>& list)
{
    return readBoundedList(in, list, 1, MaxPermissionCodes);
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
        if (in.status() == QDataStream::Ok && isUtcOffset(offset)) {
            value = QDateTime(date, time, Qt::OffsetFromUTC, offset).toLocalTime();
        } else {
            in.setStatus(QDataStream::ReadCorruptData);
        }
        break;
    }
    case Qt::TimeZone: {
        const QTimeZone zone = readWireTimeZone(in);
        if (in.status() == QDataStream::Ok && zone.isValid()) {
            value = QDateTime(date, time, zone).toLocalTime();
        } else {
            in.setStatus(QDataStream::ReadCorruptData);
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
    return readBoundedList(in, list, MinClientBytes, MaxListedAccounts);
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
