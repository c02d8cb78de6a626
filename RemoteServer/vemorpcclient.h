#pragma once

#include <QDataStream>
#include <QList>
#include <QMetaType>
#include <QString>

// One account: as held for a connection by the login bookkeeping, and as listed to
// workstations. loggedIn is local to the server and never travels.
struct VemoRpcClient
{
    bool loggedIn = false;
    QList<quint8> permissions;
    QString login;
    QString fullname;
    qint32 writesleft = 0;
    quint32 lastwrite = 0;

    bool operator==(const VemoRpcClient& o) const
    {
        return loggedIn == o.loggedIn && permissions == o.permissions && login == o.login &&
               fullname == o.fullname && writesleft == o.writesleft && lastwrite == o.lastwrite;
    }
};

QDataStream& operator<<(QDataStream& out, const VemoRpcClient& value);
QDataStream& operator>>(QDataStream& in, VemoRpcClient& value);

Q_DECLARE_METATYPE(VemoRpcClient)
