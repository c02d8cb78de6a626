#pragma once

#include <QDataStream>
#include <QMetaType>
#include <QString>

// What a workstation sends to log in. The password is the digest text exactly as
// stored in the account table; the server compares it as it arrives.
struct VemoRpcCredentials
{
    QString login;
    QString password;

    bool operator==(const VemoRpcCredentials& o) const
    {
        return login == o.login && password == o.password;
    }
};

QDataStream& operator<<(QDataStream& out, const VemoRpcCredentials& value);
QDataStream& operator>>(QDataStream& in, VemoRpcCredentials& value);

Q_DECLARE_METATYPE(VemoRpcCredentials)
