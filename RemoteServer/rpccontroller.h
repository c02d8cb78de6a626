#pragma once

#include "passwordverifier.h"
#include "rpcloginattempts.h"
#include "uoodescriptor.h"
#include "uoorparamsdesc.h"
#include "vemorpcclient.h"
#include "vemorpccredentials.h"

#include <QAbstractSocket>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "bindaddress.h"
#include "clock.h"
#include "rpcpeer.h"

class ServiceGate;
class DeviceListReplies;
class IRpcBackend;
class LogRateLimiter;
class AccountStore;
class QTimer;
class RpcAuthManager;
class VemoRPCPeer;

// The RPC administration server: operator workstations connect over TCP, log in
// with an account of the resource database and send requests; the controller
// forwards log lines and device changes to them through rpcForwardMany.
//
// The server owns its logins: the account store it is given (the caller keeps it
// open while the server lives), the login bookkeeping (authManager) and the
// password checks. What it needs of the program besides (devices, scheduling,
// the audit line) it asks of its backend.
//
// Clients that break a rule are not disconnected inside the handler: they are
// queued (disconnectClient) and closed from the event loop shortly after; a queued
// client gets no further message handled.
class RpcController : public QObject
{
    Q_OBJECT
public:
    // Longest login name the server takes: longer names can neither log in nor be
    // created, and are never kept in the login bookkeeping.
    static constexpr int MaxLoginLength = 128;
    // Longest piece of client-sent text that goes into a log line.
    static constexpr int MaxLoggedText = 128;

    // What the server holds for workstations at most (see the README, "Limits").
    static constexpr int DefaultMaxClients = 256;
    // Descriptors kept free for everything else when the client limit is fitted to
    // the process's descriptor limit.
    static constexpr int DescriptorReserve = 64;
    // A LOGIN or a list request is a few hundred bytes.
    static constexpr qint64 MaxFrameBeforeLogin = 64 * 1024;
    static constexpr qint64 MaxFrameAfterLogin = 16 * 1024 * 1024;
    static constexpr qint64 MaxOutputBeforeLogin = 4 * 1024 * 1024;
    static constexpr qint64 MaxOutputAfterLogin = 64 * 1024 * 1024;
    static constexpr qint64 MaxTotalOutput = 256 * 1024 * 1024;
    static constexpr int PartialFrameTimeoutMs = 30 * 1000;
    // A connection that has not logged in by then is closed, whatever it sends.
    static constexpr qint64 LoginTimeoutMs = 60 * 1000;
    // Logins from one address (an IPv6 /64) whose passwords are being checked at
    // once: one address cannot take the whole check queue.
    static constexpr int MaxChecksPerAddress = 8;

    // The peer's limits for a client limit (values below 1 mean the default) and a
    // descriptor limit (-1: none), which caps the client limit.
    static RpcPeer::Limits serverLimits(int maxClients, long descriptorLimit);

    // backend and accounts may be null (no devices, no accounts); both must outlive
    // the server.
    explicit RpcController(IRpcBackend* backend, AccountStore* accounts,
                           QObject* parent = nullptr, Clock* clock = Clock::system());
    ~RpcController() override;

    // Actual listening port, 0 when not listening.
    quint16 serverPort() const;
    bool isRunning() const { return rpcPeer != nullptr; }
    // Most workstation connections at once; takes effect with the next start().
    void setMaxClients(int count) { maxClients = count; }
    // The running peer's limits (default limits when not running).
    RpcPeer::Limits peerLimits() const;
    // Output queued for a client and not yet sent; -1 for an unknown client.
    qint64 clientBacklog(quint64 id) const;
    QList<quint64> pendingDisconnections() const { return pendingDisconnects; }
    const RpcLoginAttempts& loginAttempts() const { return attempts; }
    // The login bookkeeping: one record per connection, and its permissions.
    RpcAuthManager* authManager() const { return logins; }

    // Where the server listens from the next start() on (resolveBindAddress, done
    // when the settings are read). Without one: all interfaces, an ephemeral port.
    void setBindAddress(const BindAddress& bind) { bindAddress = bind; }
    // Asked before every connection and frame (see ServiceGate); null: always.
    void setGate(const ServiceGate* serviceGate) { gate = serviceGate; }

    // Passwords are checked, and new ones hashed, off the event loop. cost is the
    // work per hash (the default is libsodium's interactive level; tests use less).
    // Takes effect when no check is under way.
    void setPasswordCost(const PasswordHash::Cost& cost);
    int pendingPasswordChecks() const { return passwordJobs.size(); }
    // Checks whether the built-in account still takes its published digest: if so,
    // a warning says so and how to change it, and the metrics show it.
    void checkPublishedAccount();

public slots:
    void start();
    void stop();
    void rpcForwardMany(QList<quint64> ids, QString fn, QVariant p1 = QVariant(),
                        QVariant p2 = QVariant(), QVariant p3 = QVariant(),
                        QVariant p4 = QVariant(), QVariant p5 = QVariant(),
                        QVariant p6 = QVariant(), QVariant p7 = QVariant(),
                        QVariant p8 = QVariant());
    void rpcForwardOne(quint64 id, QString fn, QVariant p1 = QVariant(), QVariant p2 = QVariant(),
                       QVariant p3 = QVariant(), QVariant p4 = QVariant(), QVariant p5 = QVariant(),
                       QVariant p6 = QVariant(), QVariant p7 = QVariant(),
                       QVariant p8 = QVariant());
    void disconnectClient(quint64 cli);
    QList<quint64> getClients();
    // Unsent output of the clients that read it, for producers of large bursts of
    // pushes to pace themselves (see RpcPeer::pacingBacklog); 0 when not running.
    qint64 pacingBacklog() const;

protected slots:
    void rpcError(QAbstractSocket::SocketError error);
    void rpcClientConnected(quint64 id);
    void rpcClientDisconnected(quint64 id);
    void disconnectImpl();

    void rpcLogin(quint64 id, VemoRpcCredentials credentials);
    void rpcGetClientList(quint64 client);
    void rpcClientOperation(quint64 client, QString operation, VemoRpcClient clientData,
                            QString p3 = QString());
    void rpcGetUooTrackList(quint64 client);
    void rpcGetUooParamsDesc(quint64 client, quint32 cuoo);
    void rpcUooOperation(quint64 client, QString operation, UooDescriptor descriptor);
    void rpcUooParamsOperation(quint64 client, QString operation, quint32 uoo,
                               UooRParamsDesc record);

private:
    bool isQueued(quint64 client) const { return queuedSet.contains(client); }
    // The guard every request handler opens with: a client queued for
    // disconnection gets no further message handled; a guarded request (code is a
    // permission code) needs the permission, and a client without it is queued
    // for disconnection. operation is the text named in the warning.
    static constexpr quint8 AnyClient = 0;
    bool admits(quint64 client, quint8 code = AnyClient, const QString& operation = QString(),
                bool listRequest = false);
    void reply(quint64 client, const QString& fn, const QVariant& p1,
               const QVariant& p2 = QVariant());
    void releasePeer();
    // The audit line of an operation carried out for user.
    void audit(const QString& user, int code, const QString& text);

    struct PasswordJob
    {
        enum class Kind { Login, AddClient, PublishedCheck };
        Kind kind = Kind::Login;
        quint64 client = 0;
        QString login;
        QString key;             // the login bookkeeping's entry
        quint32 tick = 0;        // when the attempt came
        QString origin;          // the address it came from, as the bookkeeping keys it
        QString stored;          // the value checked against; replaced only while it is
        VemoRpcClient account;   // the account found (Login), or to add (AddClient)
        bool publishedDigest = false; // the built-in login tried with its published digest
        bool remote = false;          // AddClient: the account lists permission 5
        QString operatorName;         // AddClient: who asked
    };
    // Queues a password job; false when the queue is full (one line about it).
    bool submitPasswordJob(PasswordVerifier::Task task, const QString& stored,
                           const QString& digest, const PasswordJob& job);
    void passwordJobFinished(quint64 ticket, const PasswordVerifier::Result& result);
    void finishLogin(const PasswordJob& job, const PasswordVerifier::Result& result);
    void finishAddClient(const PasswordJob& job, const PasswordVerifier::Result& result);
    void reportPublishedAccount(bool published);

    VemoRPCPeer* rpcPeer = nullptr;
    IRpcBackend* backend = nullptr;
    AccountStore* accounts = nullptr;
    Clock* clock = nullptr;
    const ServiceGate* gate = nullptr;
    RpcAuthManager* logins = nullptr;
    RpcLoginAttempts attempts; // holds failedLogins and lastLoginTick
    QList<quint64> pendingDisconnects;
    QSet<quint64> queuedSet; // the same identifiers, for constant-time lookups
    QTimer* disconnectTimer = nullptr;
    int maxClients = DefaultMaxClients;
    BindAddress bindAddress;
    LogRateLimiter* diagnostics = nullptr;
    DeviceListReplies* deviceLists = nullptr;
    PasswordVerifier* verifier = nullptr;
    QHash<quint64, PasswordJob> passwordJobs; // by ticket
    QSet<QString> keysBeingChecked;           // bookkeeping entries with a login under way
    QHash<QString, int> checksByOrigin;       // logins under way per address
    QSet<QString> unreadableWarned;           // accounts whose stored value was reported

signals:
    // Some of a client's output went out; pending is what is still queued.
    void clientOutputWritten(quint64 id, qint64 pending);
};
