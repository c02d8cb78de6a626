#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QDateTime>
#include <QMetaType>
#include <QString>

// The parameter record of one UOO: what the server knows of the device's current
// parameter set, the new set scheduled for it, and where an upload or download
// stands. lastSeen, uploadBuffer and uootimetemp never travel over RPC.
struct UooRParamsDesc
{
    enum State {
        PAR_STATE_WAIT_SEND = 0, // no valid copy; upload asked for
        PAR_STATE_IDLE = 1,      // copy matches the device; a new set may be scheduled
        PAR_STATE_WAIT_DWLD = 2, // new set being downloaded
        PAR_STATE_WAIT_UPD = 3,  // all chunks sent; waiting for confirmation
    };
    enum Flag { FlagOnline = 0x01 };

    quint32 uoo = 0;
    qint32 state = 0;
    qint32 writeLeft = 0;
    qint32 leftToSend = 0;
    qint32 flags = 0;
    QString device;
    QString pversion;
    QDateTime uootime;
    QDateTime localtime;
    QDateTime lastSeen;
    QByteArray uooparams;
    QByteArray localparams;
    QByteArray uploadBuffer;
    QDateTime uootimetemp;

    bool isOnline() const { return (flags & FlagOnline) != 0; }

    bool operator==(const UooRParamsDesc& o) const;
};

QDataStream& operator<<(QDataStream& out, const UooRParamsDesc& value);
QDataStream& operator>>(QDataStream& in, UooRParamsDesc& value);

Q_DECLARE_METATYPE(UooRParamsDesc)
