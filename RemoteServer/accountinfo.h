#pragma once

#include <QDataStream>
#include <QMetaType>
#include <QString>

// The descriptive tail of an account.
struct AccountInfo
{
    QString fullname;
    qint32 writesleft = 0;
    quint32 lastwrite = 0;

    bool operator==(const AccountInfo& o) const
    {
        return fullname == o.fullname && writesleft == o.writesleft && lastwrite == o.lastwrite;
    }
};

QDataStream& operator<<(QDataStream& out, const AccountInfo& value);
QDataStream& operator>>(QDataStream& in, AccountInfo& value);

Q_DECLARE_METATYPE(AccountInfo)
