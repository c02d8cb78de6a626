#pragma once

#include "paramctlrecord.h"
#include "uoodescriptor.h"
#include "uoorparamsdesc.h"
#include "vemorpcclient.h"

#include <QDateTime>
#include <QList>
#include <QString>

// The output items of paramctl, as records (see ParamCtlRecord) and as their
// tab-separated lines.
class ParamCtlFormat
{
public:
    static QString escape(const QString& text);
    // "3,6"; "-" for none.
    static QString permissions(const QList<quint8>& codes);
    // "3,6", "3", "-" or "" (none). False for anything else.
    static bool parsePermissions(const QString& text, QList<quint8>* codes);
    // "yyyy-MM-dd hh:mm:ss" (with "Z" for UTC); "-" for a null date-time.
    static QString dateTime(const QDateTime& time);
    static QString stateName(qint32 state);

    static ParamCtlRecord clientRecord(const VemoRpcClient& client);
    static ParamCtlRecord descriptorRecord(const UooDescriptor& descriptor);
    static ParamCtlRecord paramsRecord(const UooRParamsDesc& params);

    static QString client(const VemoRpcClient& client);
    static QString descriptor(const UooDescriptor& descriptor);
    static QString params(const UooRParamsDesc& params);
};
