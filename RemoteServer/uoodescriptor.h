#pragma once

#include <QDataStream>
#include <QMetaType>
#include <QString>

// The state of one UOO device as shown to workstations. The encoding order differs
// from the member order; see the stream operators.
struct UooDescriptor
{
    QString extraText;      // not set by this program
    QString device;         // device text reported by the UOO
    qint32 extraNumber = 0; // not set by this program
    quint32 uoo = 0;        // UOO number
    quint32 version = 0;    // (version2 << 16) | (version1 << 8) | version3
    quint32 status = 0;     // status word; bit 7 (0x80) = online
    quint32 ip = 0;         // IPv4 address of the device
    quint32 port = 0;       // UDP port of the device
    qint16 extraShort = 0;  // not set by this program
    qint8 flagA = 0;
    qint8 flagB = 0;

    static constexpr quint32 StatusOnline = 0x80;

    bool operator==(const UooDescriptor& o) const
    {
        return extraText == o.extraText && device == o.device && extraNumber == o.extraNumber &&
               uoo == o.uoo && version == o.version && status == o.status && ip == o.ip &&
               port == o.port && extraShort == o.extraShort && flagA == o.flagA && flagB == o.flagB;
    }
};

QDataStream& operator<<(QDataStream& out, const UooDescriptor& value);
QDataStream& operator>>(QDataStream& in, UooDescriptor& value);

Q_DECLARE_METATYPE(UooDescriptor)
