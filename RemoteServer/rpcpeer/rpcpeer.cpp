#include "rpcpeer.h"

#include "clock.h"
#include "logratelimiter.h"
#include "peertext.h"
#include "rpccodec.h"
#include "rpcconnection.h"
#include "rpcslottable.h"
#include "rpctypes.h"
#include "servicegate.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <limits>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Client identifiers are unique in the process, across peers, and never reused.
std::atomic<quint64> nextClientId{1};

} // namespace

RpcPeer::RpcPeer(QObject* parent)
    : QObject(parent), slotTable(std::make_unique<RpcSlotTable>()),
      diagnostics(new LogRateLimiter(this)), clock(Clock::system()),
      loginSweep(new QTimer(this))
{
    loginSweep->setInterval(LoginSweepMs);
    connect(loginSweep, &QTimer::timeout, this, &RpcPeer::closeLateLogins);
    // The value types, with the bounded list readers, must be the registered ones
    // before the first argument is decoded.
    registerRpcTypes();
    monotonic.start();
}

RpcPeer::~RpcPeer()
{
    // No signals from here on: the connections go down with the peer.
    QList<RpcConnection*> all = connections.values();
    if (serverLink) {
        all.append(serverLink);
    }
    for (RpcConnection* connection : all) {
        disconnect(connection->socket(), nullptr, this, nullptr);
        // The peer may be being deleted from a slot reached through one of this
        // socket's signals: the socket then goes once that signal is over.
        connection->abandon();
    }
    connections.clear();
    serverLink = nullptr;
}

// --- server side

bool RpcPeer::listen(const QHostAddress& address, quint16 port)
{
    if (!server) {
        server = new QTcpServer(this);
        connect(server, &QTcpServer::newConnection, this, &RpcPeer::acceptConnections);
        connect(server, &QTcpServer::acceptError, this, &RpcPeer::handleAcceptError);
    }
    if (server->isListening()) {
        server->close();
    }
    delete acceptNotifier;
    acceptNotifier = nullptr;
    if (bounds.loginTimeoutMs > 0) {
        loginSweep->start();
    }
    if (!server->listen(address, port)) {
        return false;
    }
#ifdef Q_OS_UNIX
    // The server's own accepting cannot tell a lasting failure (no descriptor
    // left) from a passing one once its socket engine has recorded any error, and
    // then retries at once, forever: it stays paused and the peer accepts itself.
    server->pauseAccepting();
    acceptNotifier =
        new QSocketNotifier(server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(acceptNotifier, &QSocketNotifier::activated, this, &RpcPeer::acceptOwn);
#endif
    return true;
}

void RpcPeer::stopListening()
{
    delete acceptNotifier;
    acceptNotifier = nullptr;
    if (server) {
        server->close();
    }
}

// Out of descriptors, a sanitizer's check of an object's dynamic type finds no
// descriptor for its own probe and reports a sound object as broken: that check
// is left out here, where the descriptors may be all in use by design.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
void RpcPeer::acceptOwn()
{
#ifdef Q_OS_UNIX
    if (!acceptNotifier || !server) {
        return;
    }
    QPointer<RpcPeer> self(this);
    // A bounded number per turn, so a flood of connections does not hold the loop.
    for (int taken = 0; taken < MaxAcceptsPerTurn; ++taken) {
        const int fd = ::accept4(static_cast<int>(server->socketDescriptor()), nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED || error == EPROTO) {
                continue; // that connection is gone, the next may be fine
            }
            if (error == EAGAIN || error == EWOULDBLOCK) {
                return;
            }
            // Out of descriptors or memory: the connection stays queued and would
            // be reported again at once, so accepting pauses for real.
            acceptNotifier->setEnabled(false);
            QPointer<QSocketNotifier> paused(acceptNotifier);
            QTimer::singleShot(AcceptPauseMs, this, [paused] {
                if (paused) {
                    paused->setEnabled(true);
                }
            });
            emit serverError(QAbstractSocket::SocketResourceError);
            return;
        }
        auto* socket = new QTcpSocket();
        if (!socket->setSocketDescriptor(fd)) {
            delete socket;
            ::close(fd);
            continue;
        }
        takeConnection(socket);
        if (!self || !acceptNotifier) {
            return;
        }
    }
#endif
}

bool RpcPeer::isListening() const
{
    return server && server->isListening();
}

quint16 RpcPeer::serverPort() const
{
    return isListening() ? server->serverPort() : 0;
}

QList<quint64> RpcPeer::clients() const
{
    return connections.keys();
}

void RpcPeer::disconnectClient(quint64 id)
{
    if (RpcConnection* connection = connections.value(id)) {
        closeConnection(connection, true);
    }
}

void RpcPeer::disconnectAll()
{
    const QList<RpcConnection*> all = connections.values();
    for (RpcConnection* connection : all) {
        closeConnection(connection, true);
    }
    if (serverLink) {
        closeConnection(serverLink, true);
    }
}

void RpcPeer::acceptConnections()
{
    QPointer<RpcPeer> self(this);
    while (self && server && server->hasPendingConnections()) {
        QTcpSocket* socket = server->nextPendingConnection();
        if (!socket) {
            break;
        }
        takeConnection(socket);
    }
}

void RpcPeer::takeConnection(QTcpSocket* socket)
{
    if (gate != nullptr && !gate->answering()) {
        socket->abort();
        delete socket;
        return;
    }
    if (bounds.maxClients > 0 && connections.size() >= bounds.maxClients) {
        // Refused at once: the descriptor goes back before anything is read.
        const QString from = socket->peerAddress().toString();
        socket->abort();
        delete socket;
        diagnostics->report(
            QStringLiteral("[RpcServer] connection refused"), QtWarningMsg,
            QStringLiteral("[RpcServer] connection from %1 refused: %2 connections open, "
                           "the limit")
                .arg(from)
                .arg(connections.size()));
        return;
    }
    const quint64 id = nextClientId.fetch_add(1);
    RpcConnection* connection = addConnection(socket, id, false);
    connection->markConnected();
    connection->setAcceptedAtMs(clock->monotonicMs());
    connections.insert(id, connection);
    emit clientConnected(id);
}

void RpcPeer::handleAcceptError(QAbstractSocket::SocketError error)
{
    // The waiting connection stays in the listen queue and would be reported again
    // at once: stop accepting for a while instead of spinning.
    if (!server) {
        return;
    }
    server->pauseAccepting();
    QPointer<QTcpServer> paused(server);
    QTimer::singleShot(AcceptPauseMs, this, [paused] {
        if (paused) {
            paused->resumeAccepting();
        }
    });
    emit serverError(error);
}

void RpcPeer::setClock(Clock* source)
{
    clock = source ? source : Clock::system();
}

void RpcPeer::closeLateLogins()
{
    if (bounds.loginTimeoutMs <= 0) {
        return;
    }
    const qint64 now = clock->monotonicMs();
    // Collected first: closing changes the map.
    QList<RpcConnection*> late;
    for (RpcConnection* connection : qAsConst(connections)) {
        if (!connection->isClosed() && !connection->isTrusted() &&
            now - connection->acceptedAtMs() >= bounds.loginTimeoutMs) {
            late.append(connection);
        }
    }
    for (RpcConnection* connection : late) {
        const QString who = describe(connection);
        closeConnection(connection, false);
        diagnostics->report(QStringLiteral("[RpcServer] no login"), QtWarningMsg,
                            QStringLiteral("%1: not logged in within %2 s; connection closed")
                                .arg(who)
                                .arg(bounds.loginTimeoutMs / 1000.0));
    }
}

// --- client side

void RpcPeer::connectToServer(const QString& host, quint16 port)
{
    if (serverLink) {
        closeConnection(serverLink, false);
    }
    auto* socket = new QTcpSocket();
    RpcConnection* connection = addConnection(socket, 0, true);
    serverLink = connection;
    connect(socket, &QAbstractSocket::connected, this, [this, connection] {
        const RpcConnection::SignalScope scope(connection);
        connection->markConnected();
        emit connectedToServer();
    });
    socket->connectToHost(host, port);
}

bool RpcPeer::waitForConnected(int msecs)
{
    if (!serverLink) {
        return false;
    }
    QPointer<QTcpSocket> socket = serverLink->socket();
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->waitForConnected(msecs);
    }
    if (serverLink && socket && serverLink->socket() == socket &&
        socket->state() == QAbstractSocket::ConnectedState) {
        return true;
    }
    // A timed-out attempt is given up.
    if (serverLink && serverLink->socket() == socket && !serverLink->wasEverConnected()) {
        closeConnection(serverLink, false);
    }
    return false;
}

void RpcPeer::disconnectFromServer()
{
    if (serverLink) {
        closeConnection(serverLink, true);
    }
}

bool RpcPeer::isConnectedToServer() const
{
    return serverLink && serverLink->socket()->state() == QAbstractSocket::ConnectedState;
}

// --- slots

bool RpcPeer::attachSlot(const QString& message, QObject* receiver, const char* slot)
{
    if (!slotTable->attach(message, receiver, slot)) {
        return false;
    }
    if (!watchedReceivers.contains(receiver)) {
        watchedReceivers.insert(receiver);
        // The pointer is only compared, never followed, once the object is gone.
        connect(receiver, &QObject::destroyed, this, [this, receiver] {
            watchedReceivers.remove(receiver);
            slotTable->prune();
        });
    }
    return true;
}

void RpcPeer::detachSlots(QObject* receiver)
{
    slotTable->detach(receiver);
    if (watchedReceivers.remove(receiver)) {
        disconnect(receiver, &QObject::destroyed, this, nullptr);
    }
}

// --- sending

QByteArray RpcPeer::encode(const QString& fn, const QVariant& p1, const QVariant& p2,
                           const QVariant& p3, const QVariant& p4, const QVariant& p5,
                           const QVariant& p6, const QVariant& p7, const QVariant& p8)
{
    const QVariant* all[] = {&p1, &p2, &p3, &p4, &p5, &p6, &p7, &p8};
    QVariantList args;
    for (const QVariant* arg : all) {
        if (!arg->isValid()) {
            break;
        }
        args.append(*arg);
    }
    QByteArray frame = RpcCodec::encodeFrame(fn, args);
    if (frame.isEmpty()) {
        // Not here: this may run inside the log handler.
        QMetaObject::invokeMethod(
            this,
            [fn] {
                qWarning("RpcPeer: ERROR: message %s has an argument that cannot be "
                         "sent; not sent",
                         qUtf8Printable(fn));
            },
            Qt::QueuedConnection);
    }
    return frame;
}

void RpcPeer::sendFrame(RpcConnection* connection, const QByteArray& frame)
{
    const qint64 cap = outputCap(connection);
    if (connection->send(frame, cap) != RpcConnection::SendResult::OverCap) {
        return;
    }
    shed(connection, QStringLiteral("unsent output above %1 bytes").arg(cap));
}

void RpcPeer::shed(RpcConnection* connection, const QString& why)
{
    // Stop queueing at once; close and warn from the event loop (this runs on the
    // path of every log line).
    connection->stopOutput();
    QPointer<RpcConnection> guard(connection);
    QMetaObject::invokeMethod(
        this,
        [this, guard, why] {
            if (!guard || guard->isClosed()) {
                return;
            }
            const QString who = describe(guard);
            closeConnection(guard, false);
            diagnostics->report(QStringLiteral("[RpcServer] output shed"), QtWarningMsg,
                                QStringLiteral("%1: %2; connection closed").arg(who, why));
        },
        Qt::QueuedConnection);
}

void RpcPeer::enforceOutputBudget()
{
    if (bounds.maxTotalPendingOutput <= 0) {
        return;
    }
    qint64 total = totalPendingOutput();
    while (total > bounds.maxTotalPendingOutput) {
        // The furthest behind goes first, untrusted before trusted.
        RpcConnection* victim = nullptr;
        qint64 victimPending = 0;
        for (RpcConnection* connection : qAsConst(connections)) {
            if (connection->isClosed() || connection->isOutputStopped()) {
                continue;
            }
            const qint64 pending = connection->pendingOutput();
            if (pending == 0) {
                continue;
            }
            const bool better =
                !victim || (victim->isTrusted() && !connection->isTrusted()) ||
                (victim->isTrusted() == connection->isTrusted() && pending > victimPending);
            if (better) {
                victim = connection;
                victimPending = pending;
            }
        }
        if (!victim) {
            return;
        }
        shed(victim, QStringLiteral("furthest behind (%1 bytes unsent) while all clients "
                                    "together passed %2 bytes")
                         .arg(victimPending)
                         .arg(bounds.maxTotalPendingOutput));
        total -= victimPending;
    }
}

qint64 RpcPeer::outputCap(const RpcConnection* connection) const
{
    qint64 cap =
        bounds.maxPendingOutput > 0 ? bounds.maxPendingOutput : std::numeric_limits<qint64>::max();
    if (!connection->isTrusted() && !connection->isToServer() &&
        bounds.maxUntrustedPendingOutput > 0) {
        cap = qMin(cap, bounds.maxUntrustedPendingOutput);
    }
    return cap;
}

void RpcPeer::applyFrameLimit(RpcConnection* connection) const
{
    qint64 limit = bounds.maxFrameBody;
    if (!connection->isTrusted() && !connection->isToServer() && bounds.maxUntrustedFrameBody > 0) {
        limit = qMin(limit, bounds.maxUntrustedFrameBody);
    }
    connection->frames().setMaxBody(limit);
}

qint64 RpcPeer::pendingOutput(quint64 id) const
{
    const RpcConnection* connection = connections.value(id);
    return connection ? connection->pendingOutput() : -1;
}

qint64 RpcPeer::totalPendingOutput() const
{
    qint64 total = 0;
    for (const RpcConnection* connection : connections) {
        if (!connection->isClosed() && !connection->isOutputStopped()) {
            total += connection->pendingOutput();
        }
    }
    return total;
}

void RpcPeer::setClientTrusted(quint64 id, bool trusted)
{
    if (RpcConnection* connection = connections.value(id)) {
        connection->setTrusted(trusted);
        applyFrameLimit(connection);
    }
}

bool RpcPeer::isClientTrusted(quint64 id) const
{
    const RpcConnection* connection = connections.value(id);
    return connection && connection->isTrusted();
}

void RpcPeer::pauseInput(quint64 id)
{
    if (RpcConnection* connection = connections.value(id)) {
        connection->setInputPaused(true);
    }
}

void RpcPeer::resumeInput(quint64 id)
{
    RpcConnection* connection = connections.value(id);
    if (!connection || !connection->isInputPaused()) {
        return;
    }
    connection->setInputPaused(false);
    QPointer<RpcConnection> guard(connection);
    QTimer::singleShot(0, this, [this, guard] {
        if (guard && !guard->isClosed() && !guard->isInputPaused()) {
            serviceInput(guard);
        }
    });
}

QHostAddress RpcPeer::peerAddress(quint64 id) const
{
    const RpcConnection* connection = connections.value(id);
    return connection ? connection->peerAddress() : QHostAddress();
}

void RpcPeer::call(const QString& fn, const QVariant& p1, const QVariant& p2, const QVariant& p3,
                   const QVariant& p4, const QVariant& p5, const QVariant& p6, const QVariant& p7,
                   const QVariant& p8)
{
    if (connections.isEmpty() && !serverLink) {
        return;
    }
    const QByteArray frame = encode(fn, p1, p2, p3, p4, p5, p6, p7, p8);
    if (frame.isEmpty()) {
        return;
    }
    for (RpcConnection* connection : qAsConst(connections)) {
        sendFrame(connection, frame);
    }
    if (serverLink) {
        sendFrame(serverLink, frame);
    }
    enforceOutputBudget();
}

void RpcPeer::call(quint64 client, const QString& fn, const QVariant& p1, const QVariant& p2,
                   const QVariant& p3, const QVariant& p4, const QVariant& p5, const QVariant& p6,
                   const QVariant& p7, const QVariant& p8)
{
    RpcConnection* connection = connections.value(client);
    if (!connection) {
        return;
    }
    const QByteArray frame = encode(fn, p1, p2, p3, p4, p5, p6, p7, p8);
    if (!frame.isEmpty()) {
        sendFrame(connection, frame);
        enforceOutputBudget();
    }
}

void RpcPeer::call(const QList<quint64>& clients, const QString& fn, const QVariant& p1,
                   const QVariant& p2, const QVariant& p3, const QVariant& p4, const QVariant& p5,
                   const QVariant& p6, const QVariant& p7, const QVariant& p8)
{
    if (clients.isEmpty() || connections.isEmpty()) {
        return;
    }
    const QByteArray frame = encode(fn, p1, p2, p3, p4, p5, p6, p7, p8);
    if (frame.isEmpty()) {
        return;
    }
    for (quint64 id : clients) {
        if (RpcConnection* connection = connections.value(id)) {
            sendFrame(connection, frame);
        }
    }
    enforceOutputBudget();
}

quint64 RpcPeer::reserveReply(quint64 client)
{
    RpcConnection* connection = connections.value(client);
    return connection && !connection->isClosed() ? connection->reserve() : 0;
}

void RpcPeer::fulfilReply(quint64 client, quint64 ticket, const QList<QByteArray>& pieces)
{
    extendReply(client, ticket, pieces, true);
}

bool RpcPeer::extendReply(quint64 client, quint64 ticket, const QList<QByteArray>& pieces,
                          bool last)
{
    RpcConnection* connection = connections.value(client);
    if (!connection) {
        return false;
    }
    const qint64 cap = outputCap(connection);
    const RpcConnection::SendResult result = connection->extend(ticket, pieces, cap, last);
    if (result == RpcConnection::SendResult::OverCap) {
        shed(connection, QStringLiteral("unsent output above %1 bytes").arg(cap));
        return false;
    }
    enforceOutputBudget();
    return result == RpcConnection::SendResult::Queued;
}

qint64 RpcPeer::replyBacklog(quint64 client) const
{
    const RpcConnection* connection = connections.value(client);
    return connection ? connection->frontOutput() : -1;
}

qint64 RpcPeer::pacingBacklog() const
{
    const qint64 now = monotonic.elapsed();
    qint64 largest = 0;
    for (const RpcConnection* connection : connections) {
        if (!connection->isClosed() && connection->keepsPace(now)) {
            largest = qMax(largest, connection->pendingOutput());
        }
    }
    return largest;
}

void RpcPeer::setMaxFrameBody(qint64 bytes)
{
    Limits changed = bounds;
    changed.maxFrameBody = bytes;
    setLimits(changed);
}

void RpcPeer::setMaxPendingOutput(qint64 bytes)
{
    bounds.maxPendingOutput = bytes;
}

void RpcPeer::setLimits(const Limits& limits)
{
    bounds = limits;
    if (bounds.loginTimeoutMs <= 0) {
        loginSweep->stop();
    } else if (isListening()) {
        loginSweep->start();
    }
    for (RpcConnection* connection : qAsConst(connections)) {
        applyFrameLimit(connection);
    }
    if (serverLink) {
        applyFrameLimit(serverLink);
    }
}

// --- connections

RpcConnection* RpcPeer::addConnection(QTcpSocket* socket, quint64 id, bool toServer)
{
    auto* connection = new RpcConnection(socket, id, toServer, bounds.maxFrameBody, this);
    applyFrameLimit(connection);
    connection->startPacing(monotonic.elapsed());
    connect(&connection->partialFrameTimer(), &QTimer::timeout, this, [this, connection] {
        if (connection->isClosed()) {
            return;
        }
        const QString who = describe(connection);
        const qint64 held = connection->frames().buffered();
        closeConnection(connection, false);
        diagnostics->report(QStringLiteral("[RpcServer] unfinished frame"), QtWarningMsg,
                            QStringLiteral("%1: part of a frame (%2 bytes) and nothing more for "
                                           "%3 s; connection closed")
                                .arg(who)
                                .arg(held)
                                .arg(bounds.partialFrameTimeoutMs / 1000.0));
    });
    if (!toServer) {
        connect(socket, &QIODevice::bytesWritten, this, [this, connection] {
            emit outputWritten(connection->id(), connection->pendingOutput());
        });
    }
    connect(socket, &QIODevice::readyRead, this, [this, connection] {
        const RpcConnection::SignalScope scope(connection);
        serviceInput(connection);
    });
    connect(socket, &QAbstractSocket::disconnected, this, [this, connection] {
        const RpcConnection::SignalScope scope(connection);
        handleRemoteClose(connection);
    });
    connect(socket, &QIODevice::bytesWritten, this, [this, connection](qint64 bytes) {
        connection->noteWritten(bytes, monotonic.elapsed());
    });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, connection](QAbstractSocket::SocketError error) {
                const RpcConnection::SignalScope scope(connection);
                handleSocketError(connection, error);
            });
    return connection;
}

QString RpcPeer::describe(const RpcConnection* connection) const
{
    if (connection->isToServer()) {
        return QStringLiteral("[RpcClient] connection to the server");
    }
    return QStringLiteral("[RpcServer] client %1").arg(connection->id());
}

void RpcPeer::serviceInput(RpcConnection* connection)
{
    if (gate != nullptr && !gate->answering()) {
        closeConnection(connection, false);
        return;
    }
    if (!connection->beginInput()) {
        return;
    }
    QPointer<RpcPeer> self(this);
    QPointer<RpcConnection> guard(connection);

    bool more = !connection->isInputPaused();
    while (more) {
        // After a failed write Qt aborts the socket: the device is closed before
        // disconnected() arrives here, and there is nothing more to read from it.
        QTcpSocket* socket = connection->socket();
        const QByteArray chunk = socket->isReadable() ? socket->readAll() : QByteArray();
        more = !chunk.isEmpty();
        if (more) {
            connection->frames().append(chunk);
        }
        for (;;) {
            const char* body = nullptr;
            int size = 0;
            quint32 announced = 0;
            const RpcFrameReader::Result result =
                connection->frames().next(&body, &size, &announced);
            if (result == RpcFrameReader::Result::NeedMore) {
                break;
            }
            if (result == RpcFrameReader::Result::Oversized) {
                const QString who = describe(connection);
                const qint64 limit = connection->frames().maxBody();
                closeConnection(connection, false);
                diagnostics->report(
                    QStringLiteral("[RpcServer] frame refused"), QtWarningMsg,
                    QStringLiteral("%1: ERROR: frame of %2 bytes above the limit of %3%4; "
                                   "connection closed")
                        .arg(who)
                        .arg(announced)
                        .arg(limit)
                        .arg(connection->isTrusted() || connection->isToServer()
                                 ? QString()
                                 : QStringLiteral(" before login")));
                more = false;
                break;
            }
            if (size == 0) {
                continue;
            }
            RpcCodec::Message message;
            QString why;
            const RpcCodec::BodyStatus status = RpcCodec::decodeBody(body, size, message, &why);
            if (status == RpcCodec::BodyStatus::ProtocolError) {
                const QString who = describe(connection);
                closeConnection(connection, false);
                diagnostics->report(QStringLiteral("[RpcServer] malformed message"), QtWarningMsg,
                                    QStringLiteral("%1: ERROR: malformed message (%2); "
                                                   "connection closed")
                                        .arg(who, PeerText::clip(why)));
                more = false;
                break;
            }
            if (status == RpcCodec::BodyStatus::BadArguments) {
                diagnostics->report(QStringLiteral("[RpcServer] message dropped"), QtWarningMsg,
                                    QStringLiteral("%1: message %2 dropped: %3")
                                        .arg(describe(connection), PeerText::clip(message.name),
                                             PeerText::clip(why)));
                continue;
            }
            deliver(connection, message.name, message.args);
            if (!self) {
                return;
            }
            if (!guard || guard->isClosed() || guard->isInputPaused()) {
                more = false;
                break;
            }
        }
    }

    if (!self || !guard) {
        return;
    }
    if (!connection->isClosed()) {
        // Part of a frame waits for the rest: only for so long.
        QTimer& timer = connection->partialFrameTimer();
        // (Frames held back by a pause are no silence of the client's.)
        if (connection->frames().buffered() > 0 && bounds.partialFrameTimeoutMs > 0 &&
            !connection->isInputPaused()) {
            timer.start(bounds.partialFrameTimeoutMs);
        } else if (timer.isActive()) {
            timer.stop();
        }
    }
    if (connection->endInput()) {
        closeConnection(connection, false);
    }
}

void RpcPeer::deliver(RpcConnection* connection, const QString& name, const QVariantList& args)
{
    const QVector<RpcSlotTable::Binding> bindings = slotTable->bindings(name);
    if (bindings.isEmpty()) {
        return;
    }
    const quint64 id = connection->id();
    const quint64* clientId = connection->isToServer() ? nullptr : &id;
    QPointer<RpcPeer> self(this);
    for (const RpcSlotTable::Binding& binding : bindings) {
        QString why;
        if (!RpcSlotTable::invoke(binding, name, clientId, args, &why)) {
            // The peer decides how often this happens: through the limiter.
            diagnostics->report(QStringLiteral("[RpcServer] message dropped"), QtWarningMsg,
                                QStringLiteral("%1: message %2 dropped: %3")
                                    .arg(describe(connection), PeerText::clip(name), why));
            continue;
        }
        if (!self) {
            return;
        }
    }
}

void RpcPeer::handleRemoteClose(RpcConnection* connection)
{
    if (connection->isClosed() || connection->deferRemoteClose()) {
        return;
    }
    // Frames that arrived whole before the close are still delivered.
    QPointer<RpcPeer> self(this);
    QPointer<RpcConnection> guard(connection);
    serviceInput(connection);
    if (self && guard && !guard->isClosed()) {
        closeConnection(connection, false);
    }
}

void RpcPeer::handleSocketError(RpcConnection* connection, QAbstractSocket::SocketError error)
{
    if (connection->isClosed()) {
        return;
    }
    if (connection->isToServer() && !connection->wasEverConnected()) {
        closeConnection(connection, false);
        emit serverError(error);
        return;
    }
    if (connection->socket()->state() == QAbstractSocket::UnconnectedState) {
        handleRemoteClose(connection);
    }
    // Otherwise disconnected() follows.
}

void RpcPeer::closeConnection(RpcConnection* connection, bool orderly)
{
    if (connection->isClosed()) {
        return;
    }
    const quint64 id = connection->id();
    const bool toServer = connection->isToServer();
    const bool wasConnected = connection->wasEverConnected();
    if (toServer) {
        if (serverLink == connection) {
            serverLink = nullptr;
        }
    } else {
        connections.remove(id);
    }
    disconnect(connection->socket(), nullptr, this, nullptr);
    connection->shutdown(orderly);

    if (toServer) {
        if (wasConnected) {
            QMetaObject::invokeMethod(
                this, [this] { emit disconnectedFromServer(); }, Qt::QueuedConnection);
        }
    } else {
        QMetaObject::invokeMethod(
            this, [this, id] { emit clientDisconnected(id); }, Qt::QueuedConnection);
    }
}
