#pragma once

#include "uoodescriptor.h"
#include "uoorparamsdesc.h"
#include "vemorpcclient.h"

#include <QDateTime>
#include <QList>
#include <QString>

// The output lines of paramctl: one item per line, fields separated by a tab, each
// field written as name=value. Texts are escaped so that a field never holds a tab
// or a line break: backslash as \\, tab as \t, line feed as \n, carriage return
// as \r.
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

    static QString client(const VemoRpcClient& client);
    static QString descriptor(const UooDescriptor& descriptor);
    static QString params(const UooRParamsDesc& params);
};
