#include "rpcconnection.h"

#include <QTcpSocket>
#include <QTimer>

RpcConnection::RpcConnection(QTcpSocket* socket, quint64 id, bool toServer, qint64 maxFrameBody,
                             QObject* parent)
    : QObject(parent), tcp(socket), clientId(id), toServer(toServer), reader(maxFrameBody),
      origin(socket->peerAddress())
{
    tcp->setParent(this);
    tcp->setReadBufferSize(SocketReadBuffer);
    partialTimer.setSingleShot(true);
    connect(tcp, &QIODevice::bytesWritten, this, [this] { flushHeld(false); });
}

RpcConnection::SendResult RpcConnection::send(const QByteArray& frame, qint64 maxPendingOutput)
{
    if (closed || overflowed) {
        return SendResult::Skipped;
    }
    const QAbstractSocket::SocketState state = tcp->state();
    const bool writable = state == QAbstractSocket::ConnectedState ||
                          (toServer && (state == QAbstractSocket::HostLookupState ||
                                        state == QAbstractSocket::ConnectingState));
    if (!writable || !tcp->isWritable()) {
        return SendResult::Skipped;
    }
    if (pendingOutput() + frame.size() > maxPendingOutput) {
        overflowed = true;
        return SendResult::OverCap;
    }
    if (!held.empty()) {
        held.push_back({0, {frame}});
        heldBytes += frame.size();
        return SendResult::Queued;
    }
    tcp->write(frame);
    return SendResult::Queued;
}

quint64 RpcConnection::reserve()
{
    const quint64 ticket = nextTicket++;
    held.push_back({ticket, {}});
    return ticket;
}

RpcConnection::SendResult RpcConnection::extend(quint64 ticket, const QList<QByteArray>& pieces,
                                                qint64 maxPendingOutput, bool last)
{
    auto it = held.begin();
    while (it != held.end() && it->ticket != ticket) {
        ++it;
    }
    if (it == held.end()) {
        return SendResult::Skipped;
    }
    if (closed || overflowed) {
        held.clear();
        heldBytes = 0;
        return SendResult::Skipped;
    }
    qint64 size = 0;
    for (const QByteArray& piece : pieces) {
        size += piece.size();
    }
    if (size > 0 && pendingOutput() + size > maxPendingOutput) {
        overflowed = true;
        held.clear();
        heldBytes = 0;
        return SendResult::OverCap;
    }
    if (last) {
        it->ticket = 0;
    }
    it->pieces.append(pieces);
    heldBytes += size;
    flushHeld(false);
    return SendResult::Queued;
}

void RpcConnection::flushHeld(bool all)
{
    while (!held.empty() && (all || tcp->bytesToWrite() < WriteAheadBytes)) {
        QList<QByteArray>& pieces = held.front().pieces;
        if (pieces.isEmpty()) {
            if (held.front().ticket != 0) {
                break; // a reply still being produced keeps its place
            }
            held.pop_front();
            continue;
        }
        const QByteArray piece = pieces.takeFirst();
        heldBytes -= piece.size();
        if (!piece.isEmpty()) {
            tcp->write(piece);
        }
    }
}

qint64 RpcConnection::frontOutput() const
{
    qint64 bytes = tcp->bytesToWrite();
    if (!held.empty()) {
        for (const QByteArray& piece : held.front().pieces) {
            bytes += piece.size();
        }
    }
    return bytes;
}

qint64 RpcConnection::pendingOutput() const
{
    return tcp->bytesToWrite() + heldBytes;
}

bool RpcConnection::keepsPace(qint64 nowMs) const
{
    return tcp->bytesToWrite() <= PaceFloor || nowMs - lastDrainMs <= PaceWindowMs;
}

void RpcConnection::noteWritten(qint64 bytes, qint64 nowMs)
{
    if (nowMs - windowStartMs > PaceWindowMs) {
        windowStartMs = nowMs;
        drainedInWindow = 0;
    }
    drainedInWindow += bytes;
    if (drainedInWindow >= PaceDrainBytes) {
        lastDrainMs = nowMs;
        windowStartMs = nowMs;
        drainedInWindow = 0;
    }
}

void RpcConnection::shutdown(bool orderly)
{
    closed = true;
    partialTimer.stop();
    if (orderly && tcp->state() == QAbstractSocket::ConnectedState) {
        // What is ready goes out within the grace period like the rest.
        flushHeld(true);
        connect(tcp, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
        QTimer::singleShot(CloseGraceMs, this, [this] {
            tcp->abort();
            deleteLater();
        });
        tcp->disconnectFromHost();
        return;
    }
    tcp->abort();
    deleteLater();
}

bool RpcConnection::beginInput()
{
    if (busy || closed) {
        return false;
    }
    busy = true;
    return true;
}

bool RpcConnection::endInput()
{
    busy = false;
    return remoteGone && !closed;
}

bool RpcConnection::deferRemoteClose()
{
    if (!busy) {
        return false;
    }
    remoteGone = true;
    return true;
}

void RpcConnection::abandon()
{
    closed = true;
    tcp->abort();
    if (signalDepth > 0) {
        setParent(nullptr);
        deleteLater();
    }
}
