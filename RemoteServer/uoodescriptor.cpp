#include "uoodescriptor.h"

// The field order on the wire is fixed by the workstations and differs from the
// member order.
QDataStream& operator<<(QDataStream& out, const UooDescriptor& value)
{
    return out << value.extraNumber << value.uoo << value.device << value.ip << value.port
               << value.extraText << value.status << value.version << value.extraShort
               << value.flagA << value.flagB;
}

QDataStream& operator>>(QDataStream& in, UooDescriptor& value)
{
    return in >> value.extraNumber >> value.uoo >> value.device >> value.ip >> value.port >>
           value.extraText >> value.status >> value.version >> value.extraShort >> value.flagA >>
           value.flagB;
}
