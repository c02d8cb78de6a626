#include "rpctestsupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

TestBackend::TestBackend()
{
    registerRpcTypes();
    static int serial = 0;
    connection = QStringLiteral("rpc_test_%1").arg(++serial);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(dir.filePath(QStringLiteral("vemo_resource.db")));
    db.open();
    accounts.setDatabase(db);
    // The store's table, emptied of the built-in account: each test adds its own.
    accounts.ensureTable();
    QSqlQuery(db).exec(QStringLiteral("DELETE FROM rpc_users"));
}

TestBackend::~TestBackend()
{
    accounts.setDatabase(QSqlDatabase());
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
}

QSqlDatabase TestBackend::database() const
{
    return QSqlDatabase::database(connection, false);
}

void TestBackend::addAccount(const QString& login, const QString& pwd, const QByteArray& perms,
                             const QVariant& fullname)
{
    QString hash;
    if (!PasswordHash::hash(pwd, cheapHashCost(), &hash)) {
        qFatal("hashing failed");
    }
    addStoredAccount(login, hash, perms, fullname);
}

void TestBackend::addStoredAccount(const QString& login, const QString& pwd,
                                   const QByteArray& perms, const QVariant& fullname)
{
    QSqlQuery q(database());
    q.prepare(QStringLiteral("INSERT INTO rpc_users (login, pwd, fullname, permissions, "
                             "writesleft, lastwrite) VALUES (?, ?, ?, ?, ?, ?)"));
    for (const QVariant& v : {QVariant(login), QVariant(pwd), fullname, QVariant(perms),
                              QVariant(7), QVariant(4000000000u)}) {
        q.addBindValue(v);
    }
    if (!q.exec()) {
        qFatal("insert failed: %s", qPrintable(q.lastError().text()));
    }
}

QList<QVariantList> TestBackend::rows() const
{
    QList<QVariantList> all;
    QSqlQuery q(database());
    q.exec(QStringLiteral("SELECT * FROM rpc_users ORDER BY rowid"));
    while (q.next()) {
        QVariantList row;
        for (int i = 0; i < 6; ++i) {
            row << q.value(i);
        }
        all << row;
    }
    return all;
}

void TestBackend::failAccountWrites()
{
    for (const char* statement : {"INSERT", "UPDATE", "DELETE"}) {
        QSqlQuery q(database());
        if (!q.exec(QStringLiteral("CREATE TRIGGER fail_%1 BEFORE %1 ON rpc_users "
                                   "BEGIN SELECT RAISE(ABORT, 'write refused'); END")
                        .arg(QLatin1String(statement)))) {
            qFatal("trigger failed: %s", qPrintable(q.lastError().text()));
        }
    }
}

std::unique_ptr<UooDescriptorSnapshot> TestBackend::openDescriptorSnapshot()
{
    ++descriptorCalls;
    return std::make_unique<ListSnapshot>(uoos.values(), during);
}

bool TestBackend::scheduleNewParams(quint32 code, const UooRParamsDesc&)
{
    paramsCalls << code;
    return paramsResult;
}

bool TestBackend::cancelNewParams(quint32 code, const UooRParamsDesc&)
{
    paramsCalls << code;
    return paramsResult;
}

void TestBackend::sendToLog(const QString& user, int code, const QString& text)
{
    audits.append({user, code, text});
}

TestClient::TestClient(quint16 port)
{
    peer.attachSlot(QStringLiteral("LOGIN_RESULT"), this,
                    SLOT(loginResult(QString, QList<quint8>)));
    peer.attachSlot(QStringLiteral("RPC_CLIENTS_LIST"), this,
                    SLOT(clientsList(QList<VemoRpcClient>)));
    peer.attachSlot(QStringLiteral("RPC_CLIENT_OPERATION_RESULT"), this,
                    SLOT(clientOperationResult(QString)));
    peer.attachSlot(QStringLiteral("RPC_LOAD_UOOSTATE_RESULT"), this,
                    SLOT(uooStateResult(QList<UooDescriptor>)));
    peer.attachSlot(QStringLiteral("RPC_KTC_UOO_OPERATION_RESULT"), this,
                    SLOT(uooOperationResult(QString)));
    peer.attachSlot(QStringLiteral("RPC_LOAD_PARAMSSTATE_RESULT"), this,
                    SLOT(paramsStateResult(UooRParamsDesc)));
    peer.attachSlot(QStringLiteral("RPC_UOO_PARAMS_OPERATION_RESULT"), this,
                    SLOT(paramsOperationResult(QString)));
    peer.attachSlot(QStringLiteral("RPC_NEW_PARAMSSTATE"), this, SLOT(newParamsState(quint32)));
    peer.attachSlot(QStringLiteral("RPC_SYS_LOG_MESSAGE"), this, SLOT(sysLog(QString)));
    connect(&peer, &RpcPeer::disconnectedFromServer, this, [this] { dropped = true; });
    peer.connectToServer(QStringLiteral("127.0.0.1"), port);
    peer.waitForConnected(20000);
}

int TestClient::count(const QString& name) const
{
    int n = 0;
    for (const auto& message : received) {
        n += message.first == name ? 1 : 0;
    }
    return n;
}

QVariantList TestClient::last(const QString& name) const
{
    for (int i = received.size() - 1; i >= 0; --i) {
        if (received.at(i).first == name) {
            return received.at(i).second;
        }
    }
    return {};
}

bool TestClient::waitFor(const QString& name, int n)
{
    return waitUntil([&] { return count(name) >= n; });
}

bool TestClient::waitDisconnected()
{
    return waitUntil([&] { return dropped || !peer.isConnectedToServer(); });
}

void TestClient::loginResult(QString result, QList<quint8> permissions)
{
    received.append({QStringLiteral("LOGIN_RESULT"), {result, QVariant::fromValue(permissions)}});
}

void TestClient::clientsList(QList<VemoRpcClient> list)
{
    received.append({QStringLiteral("RPC_CLIENTS_LIST"), {QVariant::fromValue(list)}});
}

void TestClient::clientOperationResult(QString result)
{
    received.append({QStringLiteral("RPC_CLIENT_OPERATION_RESULT"), {result}});
}

void TestClient::uooStateResult(QList<UooDescriptor> list)
{
    received.append({QStringLiteral("RPC_LOAD_UOOSTATE_RESULT"), {QVariant::fromValue(list)}});
}

void TestClient::uooOperationResult(QString result)
{
    received.append({QStringLiteral("RPC_KTC_UOO_OPERATION_RESULT"), {result}});
}

void TestClient::paramsStateResult(UooRParamsDesc record)
{
    received.append({QStringLiteral("RPC_LOAD_PARAMSSTATE_RESULT"), {QVariant::fromValue(record)}});
}

void TestClient::paramsOperationResult(QString result)
{
    received.append({QStringLiteral("RPC_UOO_PARAMS_OPERATION_RESULT"), {result}});
}

void TestClient::newParamsState(quint32 code)
{
    received.append({QStringLiteral("RPC_NEW_PARAMSSTATE"), {code}});
}

void TestClient::sysLog(QString line)
{
    received.append({QStringLiteral("RPC_SYS_LOG_MESSAGE"), {line}});
}

void enterScratchDir()
{
    static QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
}

TestServer::TestServer()
{
    enterScratchDir();
    rpc.setPasswordCost(cheapHashCost());
    rpc.start();
}

std::unique_ptr<TestClient> TestServer::connectClient(quint64* id)
{
    const QList<quint64> before = rpc.authManager()->connectedClients();
    auto client = std::make_unique<TestClient>(port());
    waitUntil([&] { return rpc.authManager()->connectedClients().size() > before.size(); });
    for (quint64 known : rpc.authManager()->connectedClients()) {
        if (!before.contains(known) && id) {
            *id = known;
        }
    }
    return client;
}

QString TestServer::login(TestClient& client, const QString& name, const QString& pwd)
{
    clock.advanceMs(1000);
    const int answered = client.count(QStringLiteral("LOGIN_RESULT"));
    client.peer.call(QStringLiteral("LOGIN"), QVariant::fromValue(VemoRpcCredentials{name, pwd}));
    waitUntil(
        [&] { return client.count(QStringLiteral("LOGIN_RESULT")) > answered || client.dropped; });
    if (client.count(QStringLiteral("LOGIN_RESULT")) > answered) {
        return client.last(QStringLiteral("LOGIN_RESULT")).value(0).toString();
    }
    return QString();
}
