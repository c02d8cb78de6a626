#pragma once

#include "accountinfo.h"
#include "networkstats.h"
#include "uoodescriptor.h"
#include "uoorparamsdesc.h"
#include "vemorpcclient.h"
#include "vemorpccredentials.h"

#include <QDateTime>
#include <QList>
#include <QMetaType>

Q_DECLARE_METATYPE(QList<VemoRpcClient>)
Q_DECLARE_METATYPE(QList<UooDescriptor>)

// Registers every value type that crosses a queued connection or an RPC message,
// with its name and stream operators. Safe to call more than once; the list
// readers registered here are bounded by the bytes of the stream.
void registerRpcTypes();

// Registers only the three types of the login bookkeeping.
void registerRpcAuthTypes();

// Most elements a list read from a peer may announce (see boundedlist.h): one code
// per possible permission value, and far more accounts or texts than any
// installation has. A list of descriptors is bounded only by its frame's bytes.
constexpr quint32 MaxPermissionCodes = 256;
constexpr quint32 MaxListedAccounts = 65536;
constexpr quint32 MaxListedTexts = 65536;

// Bounded readers for the list types carried over RPC.
QDataStream& operator>>(QDataStream& in, QList<VemoRpcClient>& list);
QDataStream& operator>>(QDataStream& in, QList<UooDescriptor>& list);
QDataStream& readPermissionList(QDataStream& in, QList<quint8>& list);

// Reads a date-time as the stream encodes it (version Qt_5_2 or later): local time,
// UTC, a fixed offset or a time zone. One with an offset or a zone is read as the
// same instant in local time. A zone is taken only as an offset or by a well-formed
// name the system knows (the stock reader would look any name the peer sends up in
// the zone files); anything else marks the stream corrupt.
QDataStream& readWireDateTime(QDataStream& in, QDateTime& value);
