#pragma once

#include <QList>
#include <QString>

// Permission codes of the RPC accounts (one byte each in the account table) and
// the audit action codes that the account and UOO operations write to the log.
namespace RpcPermissions {

enum Code : quint8 {
    ClientOperations = 3,   // account list and account changes
    FirmwareOperations = 4, // checked by no operation of this server
    RemoteFlashing = 5,     // marks a remote-client account rather than a server user
    UooOperations = 6,      // guard-state change, new parameter sets
    All = 127,              // passes every check
};

// Display name of a permission code (translated in the QObject context); empty for
// codes without one.
QString displayName(quint8 code);

// Whether a list of codes grants the code asked for: it holds the code itself or
// the all-permissions code.
bool grants(const QList<quint8>& held, quint8 code);

} // namespace RpcPermissions

namespace RpcAudit {

enum Action : quint16 {
    AddServerUser = 101,
    ModifyServerUser = 102,
    DeleteServerUser = 103,
    AddRemoteClient = 104,
    ModifyRemoteClient = 105,
    DeleteRemoteClient = 106,
    ChangeUooGuardState = 110,
};

struct Entry
{
    quint16 category = 0;
    quint16 code = 0;
    QString name;
};

// The audit action table, built once (names translated at that moment) and kept
// until the program ends.
const QList<Entry>& actions();

// Name of an audit action code; empty for an unknown code.
QString actionName(quint16 code);

} // namespace RpcAudit
