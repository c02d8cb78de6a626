// The RPC administration server's input path as it runs: a byte stream reaches a
// running RpcController over a real loopback connection, in pieces of varying
// size, and goes through RpcPeer's input loop (frame reader, body decoder,
// delivery) to the server's own request handlers, before or after login (the
// frame limit and the rights differ). The accounts are the server's real store on
// an in-memory database holding the built-in account.
//
// The first input byte chooses the piece size and whether the connection logs in
// first; the rest is the stream. Besides what the sanitizers catch, the invariant:
// once the workstation has gone, the server holds nothing for it (no connection,
// no login record, no password check).

#include "clock.h"
#include "fuzzsupport.h"
#include "rpcaccountstore.h"
#include "rpcauthmanager.h"
#include "rpccodec.h"
#include "rpccontroller.h"
#include "rpctypes.h"
#include "vemorpccredentials.h"

#include <QHostAddress>
#include <QSqlDatabase>
#include <QTcpSocket>

namespace {

ManualClock* serverClock = nullptr;
RpcAccountStore* accounts = nullptr;
RpcController* server = nullptr;

void turn()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Runs the event loop until the server has no password check under way and has
// taken up again the input that waited for one.
void settle()
{
    turn();
    while (server->pendingPasswordChecks() > 0) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    turn();
}

bool connectWorkstation(QTcpSocket& socket)
{
    socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
    if (!socket.waitForConnected(-1)) {
        return false;
    }
    while (server->authManager()->connectionCount() == 0) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void send(QTcpSocket& socket, const QByteArray& bytes)
{
    socket.write(bytes);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(-1)) {
    }
    turn();
}

// Logs in with the built-in account and waits for the answer.
void logIn(QTcpSocket& socket)
{
    serverClock->advanceMs(1000); // the interval between two attempts of one login
    const VemoRpcCredentials credentials{RpcAccountStore::BuiltInLogin,
                                         RpcAccountStore::PublishedDigest};
    send(socket,
         RpcCodec::encodeFrame(QStringLiteral("LOGIN"), {QVariant::fromValue(credentials)}));
    while (socket.bytesAvailable() == 0 && socket.state() == QAbstractSocket::ConnectedState) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    socket.readAll();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::initialize(argc, argv);
    registerRpcTypes();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    if (!db.open()) {
        fuzz::fail("no in-memory database");
    }
    accounts = new RpcAccountStore(db);
    if (!accounts->ensureTable()) {
        fuzz::fail("no account table");
    }
    serverClock = new ManualClock;
    server = new RpcController(nullptr, accounts, nullptr, serverClock);
    server->setPasswordCost(PasswordHash::Cost{1, 8192});
    BindAddress bind;
    bind.address = QHostAddress(QHostAddress::LocalHost);
    server->setBindAddress(bind);
    server->start();
    if (server->serverPort() == 0) {
        fuzz::fail("the server does not listen");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const quint8 mode = in.byte();
    const int piece = (mode & 0x3F) + 1;

    {
        QTcpSocket workstation;
        if (!connectWorkstation(workstation)) {
            fuzz::fail("no connection to the server");
        }
        if (mode & 0x40) {
            logIn(workstation);
        }
        while (!in.atEnd() && workstation.state() == QAbstractSocket::ConnectedState) {
            send(workstation, in.bytes(static_cast<size_t>(piece)));
        }
        settle();
        workstation.disconnectFromHost();
        while (server->authManager()->connectionCount() > 0 ||
               server->pendingPasswordChecks() > 0) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    turn();
    if (!server->getClients().isEmpty() || server->authManager()->connectionCount() != 0) {
        fuzz::fail("the server holds a workstation that has gone");
    }
    return 0;
}
