#include "uoorparamsdesc.h"

#include "rpctypes.h"
#include "servicecounters.h"

void UooRParamsDesc::retryDownload()
{
    ++writeLeft;
    if (writeLeft > MaxDownloadRetries) {
        ServiceCounters::add(ServiceCounters::DownloadsAbandoned);
        state = PAR_STATE_IDLE;
        localparams.clear();
        localtime = QDateTime();
        writeLeft = 0;
    } else {
        state = PAR_STATE_WAIT_DWLD;
        leftToSend = localparams.size();
    }
}

bool UooRParamsDesc::operator==(const UooRParamsDesc& o) const
{
    return uoo == o.uoo && state == o.state && writeLeft == o.writeLeft &&
           leftToSend == o.leftToSend && flags == o.flags && device == o.device &&
           pversion == o.pversion && uootime == o.uootime && localtime == o.localtime &&
           lastSeen == o.lastSeen && uooparams == o.uooparams && localparams == o.localparams &&
           uploadBuffer == o.uploadBuffer && uootimetemp == o.uootimetemp;
}

// Only the members the workstations know travel, in the workstations' order.
QDataStream& operator<<(QDataStream& out, const UooRParamsDesc& value)
{
    return out << value.uoo << value.device << value.leftToSend << value.localparams
               << value.localtime << value.pversion << value.state << value.uooparams
               << value.uootime << value.writeLeft << value.flags;
}

QDataStream& operator>>(QDataStream& in, UooRParamsDesc& value)
{
    value = UooRParamsDesc();
    // The date-times through the reader that takes no time zone names from the peer.
    in >> value.uoo >> value.device >> value.leftToSend >> value.localparams;
    readWireDateTime(in, value.localtime);
    in >> value.pversion >> value.state >> value.uooparams;
    readWireDateTime(in, value.uootime);
    return in >> value.writeLeft >> value.flags;
}
