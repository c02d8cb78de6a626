#include "accountinfo.h"

QDataStream& operator<<(QDataStream& out, const AccountInfo& value)
{
    return out << value.fullname << value.writesleft << value.lastwrite;
}

QDataStream& operator>>(QDataStream& in, AccountInfo& value)
{
    return in >> value.fullname >> value.writesleft >> value.lastwrite;
}
