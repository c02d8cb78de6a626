#include "vemorpcclient.h"

#include "rpctypes.h"

QDataStream& operator<<(QDataStream& out, const VemoRpcClient& value)
{
    out << static_cast<qint32>(value.permissions.size());
    for (quint8 code : value.permissions) {
        out << static_cast<qint8>(code);
    }
    return out << value.login << value.fullname << value.writesleft << value.lastwrite;
}

QDataStream& operator>>(QDataStream& in, VemoRpcClient& value)
{
    value = VemoRpcClient();
    readPermissionList(in, value.permissions);
    return in >> value.login >> value.fullname >> value.writesleft >> value.lastwrite;
}
