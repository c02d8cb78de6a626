#include "vemorpccredentials.h"

QDataStream& operator<<(QDataStream& out, const VemoRpcCredentials& value)
{
    return out << value.login << value.password;
}

QDataStream& operator>>(QDataStream& in, VemoRpcCredentials& value)
{
    return in >> value.login >> value.password;
}
