#pragma once

#include "clock.h"
#include "irpcbackend.h"
#include "passwordhash.h"
#include "rpcaccountstore.h"
#include "rpcauthmanager.h"
#include "rpccontroller.h"
#include "rpcpeer.h"
#include "rpctypes.h"
#include "waiting.h"

#include <QMap>
#include <QObject>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QVariantList>

#include <deque>
#include <functional>
#include <memory>
#include <utility>

// The least work per password hash libsodium takes: tests stay fast.
inline PasswordHash::Cost cheapHashCost()
{
    return PasswordHash::Cost{1, 8192};
}

// Stand-in of the parameter server's snapshot: the descriptors at its opening,
// one per call of next(); its first read runs `during` (a change while the list
// is being built).
class ListSnapshot : public UooDescriptorSnapshot
{
public:
    ListSnapshot(const QList<UooDescriptor>& list, std::function<void()> during)
        : all(list), items(list.begin(), list.end()), during(std::move(during))
    {
    }
    void rewind() override { items.assign(all.begin(), all.end()); }
    bool next(int, QList<UooDescriptor>* out) override
    {
        if (during) {
            std::exchange(during, nullptr)();
        }
        if (!items.empty()) {
            out->append(items.front());
            items.pop_front();
        }
        return !items.empty();
    }

private:
    QList<UooDescriptor> all;
    std::deque<UooDescriptor> items;
    std::function<void()> during;
};

// Stand-in for the program's controller: a parameter side held in maps and the
// audit lines it was asked to write; beside it, the real account store on a
// temporary SQLite file, for the server under test.
class TestBackend : public IRpcBackend
{
public:
    struct Audit
    {
        QString user;
        int code = 0;
        QString text;
    };

    TestBackend();
    ~TestBackend() override;

    // An account whose password digest is pwd, stored as its hash (of the cheap cost).
    void addAccount(const QString& login, const QString& pwd, const QByteArray& perms,
                    const QVariant& fullname = QVariant());
    // An account whose column pwd holds stored as it is.
    void addStoredAccount(const QString& login, const QString& stored, const QByteArray& perms,
                          const QVariant& fullname = QVariant());
    // Every row of rpc_users, every column, in insertion order.
    QList<QVariantList> rows() const;

    RpcAccountStore* accountStore() { return &accounts; }
    // From now on every write to rpc_users fails in the database.
    void failAccountWrites();

    // The descriptors of uoos, as they are at the opening; `during` runs at the first read.
    std::unique_ptr<UooDescriptorSnapshot> openDescriptorSnapshot() override;
    UooRParamsDesc uooParamsDesc(quint32 code) const override { return params.value(code); }
    bool hasUoo(quint32 code) const override { return uoos.contains(code); }
    bool scheduleNewParams(quint32 code, const UooRParamsDesc& request) override;
    bool cancelNewParams(quint32 code, const UooRParamsDesc& request) override;
    bool changeUooGuardState(quint32 code) override { return guardResult; }
    void sendToLog(const QString& user, int code, const QString& text) override;

    QMap<quint32, UooDescriptor> uoos;
    QMap<quint32, UooRParamsDesc> params;
    bool guardResult = false;
    bool paramsResult = true;
    QList<quint32> paramsCalls;
    int descriptorCalls = 0;
    QList<Audit> audits;
    std::function<void()> during;

private:
    QSqlDatabase database() const;

    QTemporaryDir dir;
    QString connection;
    RpcAccountStore accounts;
};

// A workstation: a client-side RpcPeer that records every reply and push it gets.
class TestClient : public QObject
{
    Q_OBJECT
public:
    explicit TestClient(quint16 port);

    bool connected() const { return peer.isConnectedToServer(); }
    int count(const QString& name) const;
    QVariantList last(const QString& name) const;
    bool waitFor(const QString& name, int n = 1);
    bool waitDisconnected();

    RpcPeer peer;
    QList<QPair<QString, QVariantList>> received;
    bool dropped = false;

public slots:
    void loginResult(QString result, QList<quint8> permissions);
    void clientsList(QList<VemoRpcClient> list);
    void clientOperationResult(QString result);
    void uooStateResult(QList<UooDescriptor> list);
    void uooOperationResult(QString result);
    void paramsStateResult(UooRParamsDesc record);
    void paramsOperationResult(QString result);
    void newParamsState(quint32 code);
    void sysLog(QString line);
};

// A running RpcController over a TestBackend, on an ephemeral loopback port, with a
// clock that moves only when told to.
class TestServer
{
public:
    TestServer();

    quint16 port() const { return rpc.serverPort(); }
    // Connects a workstation and waits until the server knows it; *id is its
    // identifier on the server.
    std::unique_ptr<TestClient> connectClient(quint64* id = nullptr);
    // Moves the clock past the login interval, logs in and waits for the answer;
    // returns the result text, or an empty text when the connection was closed.
    QString login(TestClient& client, const QString& name, const QString& pwd);

    TestBackend backend;
    ManualClock clock;
    RpcController rpc{&backend, backend.accountStore(), nullptr, &clock};
};

// The login bookkeeping's entry for a name tried from 127.0.0.1, where TestClient
// connects from.
inline QString fromLoopback(const QString& login)
{
    return RpcLoginAttempts::keyOf(login, QHostAddress(QHostAddress::LocalHost));
}

// Makes a fresh temporary folder the working directory (no "bindhost.txt" there).
void enterScratchDir();
