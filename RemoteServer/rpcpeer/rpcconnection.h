#pragma once

#include "rpcframereader.h"

#include <QByteArray>
#include <QList>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <deque>

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
    // The other side's address as it was when the connection was made (the
    // socket forgets it once closed).
    QHostAddress peerAddress() const { return origin; }
    quint64 id() const { return clientId; }
    bool isToServer() const { return toServer; }
    RpcFrameReader& frames() { return reader; }

    // Queues a frame. Never logs: this runs on the path of every log line. While a
    // reserved reply is outstanding, frames wait behind it (see reserve()).
    SendResult send(const QByteArray& frame, qint64 maxPendingOutput);

    // A trusted (logged-in) connection may send larger frames and fall further
    // behind; untrusted ones go first when output must be shed.
    bool isTrusted() const { return trusted; }
    // When the connection was accepted, on the peer's clock (monotonic ms).
    qint64 acceptedAtMs() const { return acceptedMs; }
    void setAcceptedAtMs(qint64 ms) { acceptedMs = ms; }

    // While paused, no further frame of the connection is decoded or delivered;
    // its bytes wait in the socket (and then in the system, which slows the
    // sender down).
    bool isInputPaused() const { return inputPaused; }
    void setInputPaused(bool paused) { inputPaused = paused; }
    void setTrusted(bool value) { trusted = value; }

    // Runs while part of a frame has arrived and nothing more since; the peer
    // closes the connection when it fires.
    QTimer& partialFrameTimer() { return partialTimer; }

    // Keeps the place of a reply that is still being prepared: every frame sent
    // after this goes out after the reply. Returns the ticket to fulfil().
    quint64 reserve();
    // Puts the reply, given as consecutive pieces of its bytes, in its place and
    // sends what may go. No pieces give the place up. The held output counts
    // against the cap like the socket's.
    SendResult fulfil(quint64 ticket, const QList<QByteArray>& pieces, qint64 maxPendingOutput)
    {
        return extend(ticket, pieces, maxPendingOutput, true);
    }
    // Adds the next pieces of the reply; it keeps its place (and what follows keeps
    // waiting) until last. Pieces go out as soon as they are at the front, so a
    // long reply can be produced as the client takes it.
    SendResult extend(quint64 ticket, const QList<QByteArray>& pieces, qint64 maxPendingOutput,
                      bool last);
    bool hasReservation() const { return !held.empty(); }
    // Held output is handed to the socket while the socket holds less than this
    // (the rest follows as the socket drains): a large reply is copied into the
    // socket's buffer a little at a time, not in one long step.
    static constexpr qint64 WriteAheadBytes = 1024 * 1024;

    // Output not yet handed to the system: the socket's buffer plus held frames.
    qint64 pendingOutput() const;
    // What stands before the end of the foremost held frame: the socket's buffer
    // and that frame's unsent pieces (not the frames waiting behind it).
    qint64 frontOutput() const;
    // Whether the other side takes our output: little is waiting in the socket, or
    // at least PaceDrainBytes went out within the last PaceWindowMs.
    bool keepsPace(qint64 nowMs) const;
    // Starts the pacing watch: a new connection keeps pace until shown otherwise.
    void startPacing(qint64 nowMs) { lastDrainMs = nowMs; }
    // Counts bytes the socket handed to the system (its bytesWritten signal).
    void noteWritten(qint64 bytes, qint64 nowMs);

    static constexpr qint64 PaceFloor = 64 * 1024;
    static constexpr qint64 PaceDrainBytes = 64 * 1024;
    static constexpr qint64 PaceWindowMs = 1000;

    // Ends the connection: an orderly close lets queued output go out first (for a
    // bounded time); otherwise the socket is aborted. The object deletes itself
    // once the socket is closed.
    void shutdown(bool orderly);

    // --- Connection state. Changed only through the operations below.

    // Shut down (or abandoned): no more input is handled and no output queued.
    bool isClosed() const { return closed; }
    // No more output is queued: the output limit tripped or the connection is being
    // shed, and a close is on its way.
    bool isOutputStopped() const { return overflowed; }
    void stopOutput() { overflowed = true; }
    // The socket was connected at some point (a client link may fail before).
    bool wasEverConnected() const { return everConnected; }
    void markConnected() { everConnected = true; }

    // Re-entrancy. A slot reached from a delivered message may run the event loop
    // (or delete the peer), so a nested readyRead, disconnected or error of the same
    // socket can arrive while its input is being handled. The rule: input of one
    // connection is handled by one call at a time, and a remote close seen during
    // that call is carried out when the call ends.
    //
    // beginInput() claims the input (false: it is being handled already, or the
    // connection is closed); endInput() releases it and returns true when the remote
    // side went away meanwhile and the caller must close the connection now.
    // deferRemoteClose() returns true when input is being handled: the close is
    // noted for endInput() and the caller must not close now.
    bool beginInput();
    bool endInput();
    bool deferRemoteClose();

    // Marks the connection as being inside one of its socket's signals for the
    // scope's lifetime. While marked, the socket must not be deleted (its own code
    // runs on after the signal), so abandon() defers the deletion.
    class SignalScope
    {
    public:
        explicit SignalScope(RpcConnection* connection) : connection(connection)
        {
            ++connection->signalDepth;
        }
        ~SignalScope() { --connection->signalDepth; }
        SignalScope(const SignalScope&) = delete;
        SignalScope& operator=(const SignalScope&) = delete;

    private:
        RpcConnection* connection;
    };

    // Drops the connection at once when its peer goes away: closed, socket
    // aborted, and the object deleted later if it is inside one of its socket's
    // signals (otherwise its parent, the peer, deletes it).
    void abandon();

private:
    bool closed = false;     // shut down; no more input is handled, no output queued
    bool overflowed = false; // the output cap tripped; a close is on its way
    bool busy = false;       // its input is being handled (guards re-entry)
    bool remoteGone = false; // the other side closed while input was being handled
    bool everConnected = false;
    // How many of the socket's signals are being handled right now.
    int signalDepth = 0;

    struct HeldFrame
    {
        quint64 ticket = 0;       // a reserved place while not zero
        QList<QByteArray> pieces; // the frame's bytes, in order; written ones taken off
    };
    // Hands the ready held output to the socket; all of it, or while it is short.
    void flushHeld(bool all);

    std::deque<HeldFrame> held;
    qint64 heldBytes = 0;
    quint64 nextTicket = 1;
    qint64 drainedInWindow = 0;
    qint64 windowStartMs = 0;
    qint64 lastDrainMs = -PaceWindowMs - 1;

    QTcpSocket* tcp;
    quint64 clientId;
    bool toServer;
    RpcFrameReader reader;
    QHostAddress origin;
    bool trusted = false;
    qint64 acceptedMs = 0;
    bool inputPaused = false;
    QTimer partialTimer;
};
