#pragma once

#include "rpcframereader.h"

#include <QObject>
#include <QTimer>

class QTcpSocket;

// One TCP connection of an RpcPeer: the socket, the frames read from it so far,
// and the state the peer keeps for it. Owns its socket.
class RpcConnection : public QObject
{
    Q_OBJECT
public:
    enum class SendResult {
        Queued,  // the frame is on its way
        Skipped, // the connection is closing or not writable; nothing done
        OverCap  // the frame would take unsent output above the cap; nothing queued
    };

    // Grace period of an orderly close before the socket is aborted.
    static constexpr int CloseGraceMs = 5000;
    // Most bytes the socket buffers before the peer has read them.
    static constexpr qint64 SocketReadBuffer = 1024 * 1024;

    RpcConnection(QTcpSocket* socket, quint64 id, bool toServer, qint64 maxFrameBody,
                  QObject* parent);

    QTcpSocket* socket() const { return tcp; }
    quint64 id() const { return clientId; }
    bool isToServer() const { return toServer; }
    RpcFrameReader& frames() { return reader; }

    // Queues a frame. Never logs: this runs on the path of every log line.
    SendResult send(const QByteArray& frame, qint64 maxPendingOutput);
    // Bytes queued for this connection that the socket has not handed on yet.
    qint64 pendingOutput() const;

    // A trusted (logged-in) connection may send larger frames and fall further
    // behind; untrusted ones go first when output must be shed.
    bool isTrusted() const { return trusted; }
    void setTrusted(bool value) { trusted = value; }

    // Runs while part of a frame has arrived and nothing more since; the peer
    // closes the connection when it fires.
    QTimer& partialFrameTimer() { return partialTimer; }

    // Ends the connection: an orderly close lets queued output go out first (for a
    // bounded time); otherwise the socket is aborted. The object deletes itself
    // once the socket is closed.
    void shutdown(bool orderly);

    bool closed = false;     // shut down; no more input is handled, no output queued
    bool overflowed = false; // the output cap tripped; a close is on its way
    bool busy = false;       // its input is being handled (guards re-entry)
    bool remoteGone = false; // the other side closed while input was being handled
    bool everConnected = false;
    // How many of the socket's signals are being handled right now. While it is not
    // zero the socket must not be deleted: its own code runs on after the signal.
    int signalDepth = 0;

private:
    QTcpSocket* tcp;
    quint64 clientId;
    bool toServer;
    RpcFrameReader reader;
    bool trusted = false;
    QTimer partialTimer;
};
