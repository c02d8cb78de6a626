#pragma once

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

#include <QSet>

class QSocketNotifier;
class QTimer;

#include <memory>

class Clock;
class ServiceGate;
class LogRateLimiter;
class QTcpServer;
class QTcpSocket;
class RpcConnection;
class RpcSlotTable;

// A TCP peer of the RPC administration protocol, wire-compatible with the
// workstations in the field.
//
// A message is a name plus up to eight variant arguments; the frame layout is
// described once, in rpccodec.h.
//
// Server side: listen(), then every accepted connection gets a client identifier
// (a counter, never reused in the process); an incoming message is delivered to
// the slot attached to its name with the client identifier as first argument.
// Client side: connectToServer(), then replies are delivered to attached slots
// with the message's arguments only.
//
// Arguments reach a slot by their exact types; a slot parameter declared as
// QVariant takes any. A message that does not fit the slot is dropped with a
// warning and the connection stays; a body whose name or argument count cannot be
// read closes the connection. Nothing on the sending path (call()) logs, since the
// program's log handler sends every log line through it: a connection whose unsent
// output passes the cap is closed, and the warning written, from the event loop.
//
// clientDisconnected() and disconnectedFromServer() are always emitted from the
// event loop, never from inside a call of this class. On the client side a
// connection attempt that fails emits serverError().
class RpcPeer : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 DefaultMaxFrameBody = 16 * 1024 * 1024;
    static constexpr qint64 DefaultMaxPendingOutput = 64 * 1024 * 1024;
    // How long accepting pauses after the system refused to accept a connection
    // (for example at the descriptor limit).
    static constexpr int AcceptPauseMs = 1000;
    // Connections accepted in one turn of the event loop at most.
    static constexpr int MaxAcceptsPerTurn = 64;

    // What one peer holds for its clients at most. A limit of 0 is no limit.
    // Untrusted connections (not logged in) have the tighter of the two frame and
    // output limits; logged-in ones are marked with setClientTrusted().
    struct Limits
    {
        int maxClients = 0;                                // more connections are refused
        qint64 maxFrameBody = DefaultMaxFrameBody;         // larger frames close the connection
        qint64 maxUntrustedFrameBody = 0;                  // the same before trust
        qint64 maxPendingOutput = DefaultMaxPendingOutput; // unsent output of one client
        qint64 maxUntrustedPendingOutput = 0;              // the same before trust
        qint64 maxTotalPendingOutput = 0;                  // of all clients together
        int partialFrameTimeoutMs = 30 * 1000;             // part of a frame, then silence
        qint64 loginTimeoutMs = 0; // from acceptance until trusted; 0: no deadline
    };
    // How often connections are checked against the login deadline.
    static constexpr int LoginSweepMs = 1000;

    explicit RpcPeer(QObject* parent = nullptr);
    ~RpcPeer() override;

    // --- server side
    bool listen(const QHostAddress& address, quint16 port);
    void stopListening();
    bool isListening() const;
    quint16 serverPort() const;
    QList<quint64> clients() const;
    void disconnectClient(quint64 id);
    void disconnectAll();

    // --- client side
    void connectToServer(const QString& host, quint16 port);
    bool waitForConnected(int msecs = 30000);
    void disconnectFromServer();
    bool isConnectedToServer() const;

    // Attaches a message name to a slot (a SLOT() signature) of receiver. On the
    // server side the slot's first parameter is the client identifier (quint64).
    // Several slots may be attached to one name.
    bool attachSlot(const QString& message, QObject* receiver, const char* slot);
    void detachSlots(QObject* receiver);

    // Sends to every client (server side) or to the server (client side).
    void call(const QString& fn, const QVariant& p1 = QVariant(), const QVariant& p2 = QVariant(),
              const QVariant& p3 = QVariant(), const QVariant& p4 = QVariant(),
              const QVariant& p5 = QVariant(), const QVariant& p6 = QVariant(),
              const QVariant& p7 = QVariant(), const QVariant& p8 = QVariant());
    // Sends to one client.
    void call(quint64 client, const QString& fn, const QVariant& p1 = QVariant(),
              const QVariant& p2 = QVariant(), const QVariant& p3 = QVariant(),
              const QVariant& p4 = QVariant(), const QVariant& p5 = QVariant(),
              const QVariant& p6 = QVariant(), const QVariant& p7 = QVariant(),
              const QVariant& p8 = QVariant());
    // Sends to many clients; the frame is serialised once.
    void call(const QList<quint64>& clients, const QString& fn, const QVariant& p1 = QVariant(),
              const QVariant& p2 = QVariant(), const QVariant& p3 = QVariant(),
              const QVariant& p4 = QVariant(), const QVariant& p5 = QVariant(),
              const QVariant& p6 = QVariant(), const QVariant& p7 = QVariant(),
              const QVariant& p8 = QVariant());

    // A reply that takes a while to prepare keeps its place in a client's output:
    // reserveReply() returns a ticket (0 when there is no such client), every frame
    // sent to the client afterwards waits behind it, and fulfilReply() puts the
    // frame, as consecutive pieces of its bytes, in place (no pieces give the place
    // up). Held frames count against the unsent-output cap.
    quint64 reserveReply(quint64 client);
    void fulfilReply(quint64 client, quint64 ticket, const QList<QByteArray>& pieces);
    // Adds the next pieces of a reserved reply, which is complete with last. A reply
    // produced this way, as the client's output drains, never holds more than its
    // producer lets it. False when the client is gone or was closed for its output.
    bool extendReply(quint64 client, quint64 ticket, const QList<QByteArray>& pieces, bool last);
    // Output of a client up to the end of the reply at the front of its queue (what
    // its producer is waiting on); -1 for an unknown client.
    qint64 replyBacklog(quint64 client) const;

    // The largest unsent output among the clients that take what is sent to them
    // (see RpcConnection::keepsPace). Producers of large bursts wait while it is
    // high; a client that stops reading does not hold them up, it reaches the cap.
    qint64 pacingBacklog() const;

    // Limits on untrusted peers: a frame body above maxFrameBody, or unsent output
    // above maxPendingOutput, closes that connection with a warning.
    void setMaxFrameBody(qint64 bytes);
    void setMaxPendingOutput(qint64 bytes);

    // All limits at once. A connection refused, a frame too large, a frame left
    // unfinished or output too far behind: that connection is closed with one
    // (rate-limited) warning and everyone else is served. When the output of all
    // clients together passes its limit, the clients furthest behind are closed,
    // untrusted ones first.
    void setLimits(const Limits& limits);
    Limits limits() const { return bounds; }

    // The clock the login deadline is measured on (default: the system's).
    void setClock(Clock* clock);
    // Asked before a connection is taken and before its input is read: while it
    // says no, connections are closed unanswered (null: always answering).
    void setGate(const ServiceGate* serviceGate) { gate = serviceGate; }
    // Closes, with one rate-limited warning each, the connections that were not
    // trusted within the login deadline of their acceptance. Runs every
    // LoginSweepMs by itself while listening; tests call it directly.
    void closeLateLogins();
    // Holds back a client's further messages (server side): the one being
    // delivered finishes, the next ones wait until resumeInput(), which delivers
    // them from the event loop. For a request answered later, so that the
    // client's requests are still handled, and answered, in their order.
    void pauseInput(quint64 id);
    void resumeInput(quint64 id);

    // Marks a client as logged in (trusted) or not.
    void setClientTrusted(quint64 id, bool trusted);
    bool isClientTrusted(quint64 id) const;
    // The address a client connected from; a null address for an unknown client.
    QHostAddress peerAddress(quint64 id) const;

    // Output queued for a client and not yet handed to the network, held frames
    // included; -1 for an unknown client. The sum over all clients.
    qint64 pendingOutput(quint64 id) const;
    qint64 totalPendingOutput() const;

signals:
    void clientConnected(quint64 id);
    void clientDisconnected(quint64 id);
    void serverError(QAbstractSocket::SocketError error);
    void connectedToServer();
    void disconnectedFromServer();
    // Some of a client's output went out; pending is what is still queued.
    void outputWritten(quint64 id, qint64 pending);

private:
    RpcConnection* addConnection(QTcpSocket* socket, quint64 id, bool toServer);
    void acceptConnections();
    void serviceInput(RpcConnection* connection);
    void handleRemoteClose(RpcConnection* connection);
    void handleSocketError(RpcConnection* connection, QAbstractSocket::SocketError error);
    void closeConnection(RpcConnection* connection, bool orderly);
    void deliver(RpcConnection* connection, const QString& name, const QVariantList& args);
    QByteArray encode(const QString& fn, const QVariant& p1, const QVariant& p2, const QVariant& p3,
                      const QVariant& p4, const QVariant& p5, const QVariant& p6,
                      const QVariant& p7, const QVariant& p8);
    void sendFrame(RpcConnection* connection, const QByteArray& frame);
    void enforceOutputBudget();
    void shed(RpcConnection* connection, const QString& why);
    void handleAcceptError(QAbstractSocket::SocketError error);
    void acceptOwn();
    void takeConnection(QTcpSocket* socket);
    void applyFrameLimit(RpcConnection* connection) const;
    qint64 outputCap(const RpcConnection* connection) const;
    QString describe(const RpcConnection* connection) const;

    QTcpServer* server = nullptr;
    RpcConnection* serverLink = nullptr;       // client side: the connection to the server
    QMap<quint64, RpcConnection*> connections; // server side, by client identifier
    std::unique_ptr<RpcSlotTable> slotTable;
    QSet<QObject*> watchedReceivers;
    QElapsedTimer monotonic;
    Limits bounds;
    LogRateLimiter* diagnostics = nullptr;
    Clock* clock = nullptr;
    const ServiceGate* gate = nullptr;
    QTimer* loginSweep = nullptr;
    // Where the system allows it, the peer accepts connections itself and sees the
    // errno of every accept (the server's own accepting stays paused).
    QSocketNotifier* acceptNotifier = nullptr;
};
