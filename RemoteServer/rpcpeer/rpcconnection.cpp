#include "rpcconnection.h"

#include <QTcpSocket>
#include <QTimer>

RpcConnection::RpcConnection(QTcpSocket* socket, quint64 id, bool toServer, qint64 maxFrameBody,
                             QObject* parent)
    : QObject(parent), tcp(socket), clientId(id), toServer(toServer), reader(maxFrameBody)
{
    tcp->setParent(this);
    tcp->setReadBufferSize(SocketReadBuffer);
    partialTimer.setSingleShot(true);
}

qint64 RpcConnection::pendingOutput() const
{
    return tcp->bytesToWrite();
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
    if (tcp->bytesToWrite() + frame.size() > maxPendingOutput) {
        overflowed = true;
        return SendResult::OverCap;
    }
    tcp->write(frame);
    return SendResult::Queued;
}

void RpcConnection::shutdown(bool orderly)
{
    closed = true;
    partialTimer.stop();
    if (orderly && tcp->state() == QAbstractSocket::ConnectedState) {
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
