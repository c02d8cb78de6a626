#include "rpcpeer.h"

#include "rpccodec.h"
#include "rpcconnection.h"
#include "rpcslottable.h"
#include "rpctypes.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>

namespace {

// Client identifiers are unique in the process, across peers, and never reused.
std::atomic<quint64> nextClientId{1};

} // namespace

RpcPeer::RpcPeer(QObject* parent) : QObject(parent), slotTable(std::make_unique<RpcSlotTable>())
{
    // The value types, with the bounded list readers, must be the registered ones
    // before the first argument is decoded.
    registerRpcTypes();
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
        connect(server, &QTcpServer::acceptError, this, &RpcPeer::serverError);
    }
    if (server->isListening()) {
        server->close();
    }
    return server->listen(address, port);
}

void RpcPeer::stopListening()
{
    if (server) {
        server->close();
    }
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
        const quint64 id = nextClientId.fetch_add(1);
        RpcConnection* connection = addConnection(socket, id, false);
        connection->markConnected();
        connections.insert(id, connection);
        emit clientConnected(id);
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
    if (connection->send(frame, maxPendingOutput) != RpcConnection::SendResult::OverCap) {
        return;
    }
    // Stop queueing at once (send() marked it); close and warn from the event loop.
    QPointer<RpcConnection> guard(connection);
    const qint64 cap = maxPendingOutput;
    QMetaObject::invokeMethod(
        this,
        [this, guard, cap] {
            if (!guard || guard->isClosed()) {
                return;
            }
            const QString who = describe(guard);
            closeConnection(guard, false);
            qWarning("%s: unsent output above %lld bytes; connection closed", qUtf8Printable(who),
                     static_cast<long long>(cap));
        },
        Qt::QueuedConnection);
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
}

void RpcPeer::setMaxFrameBody(qint64 bytes)
{
    maxFrameBody = bytes;
    for (RpcConnection* connection : qAsConst(connections)) {
        connection->frames().setMaxBody(bytes);
    }
    if (serverLink) {
        serverLink->frames().setMaxBody(bytes);
    }
}

void RpcPeer::setMaxPendingOutput(qint64 bytes)
{
    maxPendingOutput = bytes;
}

// --- connections

RpcConnection* RpcPeer::addConnection(QTcpSocket* socket, quint64 id, bool toServer)
{
    auto* connection = new RpcConnection(socket, id, toServer, maxFrameBody, this);
    connect(socket, &QIODevice::readyRead, this, [this, connection] {
        const RpcConnection::SignalScope scope(connection);
        serviceInput(connection);
    });
    connect(socket, &QAbstractSocket::disconnected, this, [this, connection] {
        const RpcConnection::SignalScope scope(connection);
        handleRemoteClose(connection);
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
    if (!connection->beginInput()) {
        return;
    }
    QPointer<RpcPeer> self(this);
    QPointer<RpcConnection> guard(connection);

    bool more = true;
    while (more) {
        const QByteArray chunk = connection->socket()->readAll();
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
                closeConnection(connection, false);
                qWarning("%s: ERROR: frame of %u bytes above the limit of %lld; connection "
                         "closed",
                         qUtf8Printable(who), announced,
                         static_cast<long long>(connection->frames().maxBody()));
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
                qWarning("%s: ERROR: malformed message (%s); connection closed",
                         qUtf8Printable(who), qUtf8Printable(why));
                more = false;
                break;
            }
            if (status == RpcCodec::BodyStatus::BadArguments) {
                qWarning("%s: message %s dropped: %s", qUtf8Printable(describe(connection)),
                         qUtf8Printable(message.name), qUtf8Printable(why));
                continue;
            }
            deliver(connection, message.name, message.args);
            if (!self) {
                return;
            }
            if (!guard || guard->isClosed()) {
                more = false;
                break;
            }
        }
    }

    if (!self || !guard) {
        return;
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
        RpcSlotTable::invoke(binding, name, clientId, args);
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
