#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

// Where the RPC administration server listens. Resolved once, when the
// settings are read, from the command line and bindhost.txt; the RPC server
// only uses the result.
struct BindAddress
{
    QHostAddress address{QHostAddress::Any};
    quint16 port = 0;
    // The host text it came from; empty: all interfaces on the configured port.
    QString hostText;
    // False when the host text names no address: the server does not listen.
    bool valid = true;
};

// The bind address for these application arguments (program first), the text
// of bindhost.txt (null when the file is absent or unreadable) and the
// configured RPC port.
//
// The host text is the first argument after the program that is not the
// console option ("-e", "-exec") nor a restart request (an argument containing
// "--restart", and a number after it): a service restarted on its own is
// started with "--restart N", which names no host. Without such an argument,
// the file's text, trimmed. "addr" sets the address; "addr:port" both, where a
// port that is not a number from 1 to 65535 leaves the configured one. Only
// numeric addresses are taken (no name lookup).
BindAddress resolveBindAddress(const QStringList& arguments, const QString& bindHostFileText,
                               quint16 rpcPort);

// The text of a bindhost.txt (at most its first 4 KiB, which is more than any
// host text); null when the file is absent or cannot be read.
QString readBindHostFile(const QString& path);
