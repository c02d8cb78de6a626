// Request operations: result texts, audit lines, permission denials and bad input,
// driven through real workstations over loopback.
#include "rpctestsupport.h"

#include <QDataStream>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

namespace {
enum Outcome : int { Stays, Closes };
const QString Admin = QStringLiteral("admin");

VemoRpcClient account(const QString& login, QList<quint8> perms, const QString& fullname = {})
{
    VemoRpcClient c;
    c.login = login;
    c.permissions = perms;
    c.fullname = fullname;
    c.loggedIn = true; // never travels
    return c;
}

// A whole frame as a workstation writes it; args are already-encoded variants.
QByteArray frame(const QString& name, const QVariantList& args, int claimedCount = -1)
{
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_3);
    out << name << quint8(claimedCount < 0 ? args.size() : claimedCount);
    for (const QVariant& v : args) {
        out << v;
    }
    QByteArray whole(4, '\0');
    qToLittleEndian<quint32>(body.size(), whole.data());
    return whole + body;
}
} // namespace

class TestRpcOperations : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void clientOperations_data();
    void clientOperations();
    void clientList();
    void uooOperations_data();
    void uooOperations();
    void unguardedRequests();
    void denial_data();
    void denial();
    void queuedClientIsNotServed();
    void badInput_data();
    void badInput();

private:
    std::unique_ptr<TestServer> server;
};

void TestRpcOperations::init()
{
    server = std::make_unique<TestServer>();
    server->backend.addAccount(Admin, "pw", QByteArray("\x03\x06"));
    server->backend.addAccount("old", "pw", QByteArray("\x05"), "Петров");
    UooDescriptor d;
    d.uoo = 77;
    server->backend.uoos.insert(77, d);
}

void TestRpcOperations::cleanup()
{
    server.reset();
}

void TestRpcOperations::clientOperations_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<VemoRpcClient>("record");
    QTest::addColumn<QVariant>("p3"); // invalid: the message carries three arguments
    QTest::addColumn<bool>("failWrites");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("audit"); // 0: none

    const QString add = "RPC_ADD_NEW_CLIENT", del = "RPC_DEL_CLIENT", mod = "RPC_MODIFY_CLIENT";
    const VemoRpcClient fresh = account("new", {3}, "Сидоров");
    const VemoRpcClient remote = account("new", {5});
    QTest::newRow("add user") << add << fresh << QVariant("ABCDEF") << false << "OK" << 101;
    QTest::newRow("add remote") << add << remote << QVariant("abc") << false << "OK" << 104;
    QTest::newRow("add existing, no p3")
        << add << account("old", {3}) << QVariant() << false << "USER_ALREADY_EXISTS" << 0;
    QTest::newRow("add, 3 args") << add << fresh << QVariant() << false << "INVALID_P3_SIZE" << 0;
    QTest::newRow("add, empty p3")
        << add << fresh << QVariant("") << false << "INVALID_P3_SIZE" << 0;
    QTest::newRow("add, db fails") << add << fresh << QVariant("x") << true << "FAILED" << 0;
    QTest::newRow("del remote") << del << account("old", {5}) << QVariant() << false << "OK" << 106;
    QTest::newRow("del user") << del << account("old", {}) << QVariant() << false << "OK" << 103;
    QTest::newRow("del missing") << del << fresh << QVariant() << false << "USER_NOT_FOUND" << 0;
    QTest::newRow("del, db fails")
        << del << account("old", {}) << QVariant() << true << "FAILED" << 0;
    QTest::newRow("modify to 5") << mod << account("old", {5, 6}) << QVariant() << false << "OK"
                                 << 102;
    QTest::newRow("modify missing") << mod << fresh << QVariant() << false << "USER_NOT_FOUND" << 0;
    QTest::newRow("unknown op") << "RPC_add_new_client" << fresh << QVariant("x") << false
                                << "INVALID_OPERATION" << 0;
    QTest::newRow("empty login") << add << account("", {3}) << QVariant("x") << false
                                 << "INVALID_LOGIN_NAME" << 0;
    QTest::newRow("empty login, bad op")
        << "nonsense" << account("", {3}) << QVariant() << false << "INVALID_LOGIN_NAME" << 0;
    QTest::newRow("overlong login") << add << account(QString(200, 'n'), {3}) << QVariant("x")
                                    << false << "INVALID_LOGIN_NAME" << 0;
}

void TestRpcOperations::clientOperations()
{
    QFETCH(QString, op);
    QFETCH(VemoRpcClient, record);
    QFETCH(QVariant, p3);
    QFETCH(bool, failWrites);
    QFETCH(QString, result);
    QFETCH(int, audit);
    TestBackend& b = server->backend;
    auto client = server->connectClient();
    QCOMPARE(server->login(*client, Admin, "pw"), QString("LOGIN_OK"));
    const QList<QVariantList> before = b.rows();
    if (failWrites) {
        b.failAccountWrites();
    }

    client->peer.call("RPC_CLIENT_OPERATION", op, QVariant::fromValue(record), p3);
    QVERIFY(client->waitFor("RPC_CLIENT_OPERATION_RESULT"));
    QCOMPARE(client->last("RPC_CLIENT_OPERATION_RESULT"), QVariantList{result});
    QCOMPARE(b.audits.size(), audit ? 1 : 0);
    if (audit) {
        QCOMPARE(b.audits[0].user, Admin);
        QCOMPARE(b.audits[0].code, audit);
        QCOMPARE(b.audits[0].text, QString());
    }
    if (result != "OK") {
        QCOMPARE(b.rows(), before);
        return;
    }
    const QList<VemoRpcClient> users = b.accountStore()->loadAll();
    const auto row = std::find_if(users.begin(), users.end(),
                                  [&](const VemoRpcClient& u) { return u.login == record.login; });
    if (op == "RPC_DEL_CLIENT") {
        QVERIFY(row == users.end());
        return;
    }
    QVERIFY(row != users.end());
    QCOMPARE(row->permissions, record.permissions);
    if (op == "RPC_MODIFY_CLIENT") {
        QCOMPARE(row->fullname, QString("Петров")); // only the permissions change
        QCOMPARE(PasswordHash::verify(b.rows().last().at(1).toString(), "pw"),
                 PasswordHash::Verdict::Match);
    } else {
        QCOMPARE(row->fullname, record.fullname);
        // Stored as the hash of the digest in lower case.
        QCOMPARE(PasswordHash::verify(b.rows().last().at(1).toString(), p3.toString().toLower()),
                 PasswordHash::Verdict::Match);
    }
}

void TestRpcOperations::clientList()
{
    auto client = server->connectClient();
    QCOMPARE(server->login(*client, Admin, "pw"), QString("LOGIN_OK"));
    client->peer.call("RPC_GET_CLIENTS_FROM_DB");
    QVERIFY(client->waitFor("RPC_CLIENTS_LIST"));
    const auto list = client->last("RPC_CLIENTS_LIST").value(0).value<QList<VemoRpcClient>>();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[1].login, QString("old"));
    QCOMPARE(list[1].permissions, QList<quint8>{5});
    QCOMPARE(list[1].fullname, QString("Петров"));
    QVERIFY(server->backend.audits.isEmpty());
}

void TestRpcOperations::uooOperations_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("op");
    QTest::addColumn<quint32>("uoo");
    QTest::addColumn<bool>("backendSays");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("audit");

    const QString ktc = "RPC_KTC_UOO_OPERATION", par = "RPC_UOO_PARAMS_OPERATION";
    const QString guard = "RPC_CHANGE_UOO_GUARD_STATE";
    QTest::newRow("guard unknown") << ktc << guard << 5u << true << "TESTING_UOO_NOT_FOUND" << 0;
    QTest::newRow("guard busy") << ktc << guard << 77u << false << "UOO_IS_BUSY" << 0;
    QTest::newRow("guard ok") << ktc << guard << 77u << true << "OK" << 110;
    QTest::newRow("guard bad op") << ktc << "RPC_CHANGE" << 77u << true << "INVALID_OPERATION" << 0;
    const QString sndNew = "RPC_UOO_PARAMS_OPERATION_SND_NEW";
    const QString cancel = "RPC_UOO_PARAMS_OPERATION_SND_CANCEL";
    QTest::newRow("new unknown") << par << sndNew << 5u << true << "TESTING_UOO_NOT_FOUND" << 0;
    QTest::newRow("new ok") << par << sndNew << 77u << true << "OK" << 0;
    QTest::newRow("new busy") << par << sndNew << 77u << false << "UOO_IS_BUSY" << 0;
    QTest::newRow("cancel ok") << par << cancel << 77u << true << "OK" << 0;
    QTest::newRow("cancel busy") << par << cancel << 77u << false << "UOO_IS_BUSY" << 0;
    QTest::newRow("params bad op") << par << "SND_NEW" << 77u << true << "INVALID_OPERATION" << 0;
}

void TestRpcOperations::uooOperations()
{
    QFETCH(QString, message);
    QFETCH(QString, op);
    QFETCH(quint32, uoo);
    QFETCH(bool, backendSays);
    QFETCH(QString, result);
    QFETCH(int, audit);
    TestBackend& b = server->backend;
    b.guardResult = b.paramsResult = backendSays;
    auto client = server->connectClient();
    QCOMPARE(server->login(*client, Admin, "pw"), QString("LOGIN_OK"));

    const QString reply = message + "_RESULT";
    if (message == "RPC_KTC_UOO_OPERATION") {
        UooDescriptor d;
        d.uoo = uoo;
        d.device = "ignored";
        client->peer.call(message, op, QVariant::fromValue(d));
    } else {
        UooRParamsDesc record;
        record.uoo = 9999; // the message's own number counts, not the record's
        client->peer.call(message, op, uoo, QVariant::fromValue(record));
    }
    QVERIFY(client->waitFor(reply));
    QCOMPARE(client->last(reply), QVariantList{result});
    QCOMPARE(b.audits.size(), audit ? 1 : 0);
    if (audit) {
        QCOMPARE(b.audits[0].user, Admin);
        QCOMPARE(b.audits[0].code, audit);
        QCOMPARE(b.audits[0].text, QString("Код УОО: 77"));
    }
    const bool reachedParams =
        message != "RPC_KTC_UOO_OPERATION" && uoo == 77 && op.contains("_SND_");
    QCOMPARE(b.paramsCalls, reachedParams ? QList<quint32>{77} : QList<quint32>{});
}

void TestRpcOperations::unguardedRequests()
{
    UooRParamsDesc record;
    record.uoo = 77;
    record.device = "UOO-3";
    record.uooparams = QByteArray(300, 'p');
    record.uootime = QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9));
    server->backend.params.insert(77, record);
    UooDescriptor second;
    second.uoo = 12;
    server->backend.uoos.insert(12, second);

    auto client = server->connectClient(); // not logged in
    client->peer.call("RPC_LOAD_UOOSTATE_REQUEST");
    client->peer.call("RPC_LOAD_PARAMSSTATE_REQUEST", 77u);
    client->peer.call("RPC_LOAD_PARAMSSTATE_REQUEST", 5u);
    QVERIFY(client->waitFor("RPC_LOAD_PARAMSSTATE_RESULT", 2));
    QVERIFY(client->waitFor("RPC_LOAD_UOOSTATE_RESULT"));
    const auto list =
        client->last("RPC_LOAD_UOOSTATE_RESULT").value(0).value<QList<UooDescriptor>>();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].uoo, 12u);
    QCOMPARE(list[1].uoo, 77u);
    const QList<QPair<QString, QVariantList>>& got = client->received;
    QCOMPARE(got[1].second.value(0).value<UooRParamsDesc>(), record);
    QCOMPARE(got[2].second.value(0).value<UooRParamsDesc>(), UooRParamsDesc());
}

void TestRpcOperations::denial_data()
{
    QTest::addColumn<QString>("account"); // empty: not logged in
    QTest::addColumn<QString>("message");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("warning"); // %1 = client id

    const QString w =
        "Неодостаточно прав пользователя для выполнения операции  \"%2\" ; ClientID= %1";
    const QVariant rec = QVariant::fromValue(account("victim", {127}));
    UooDescriptor d;
    d.uoo = 77;
    const QVariant desc = QVariant::fromValue(d);
    const QVariant params = QVariant::fromValue(UooRParamsDesc());
    const QString add = "RPC_ADD_NEW_CLIENT";
    const QString list = "Неодостаточно прав пользователя для выполнения операции "
                         "RPC_GET_CLIENT_LIST; ClientID= %1";
    QTest::newRow("list, no login") << ""
                                    << "RPC_GET_CLIENTS_FROM_DB" << QVariantList{} << list;
    QTest::newRow("list, perm 6") << "uoo"
                                  << "RPC_GET_CLIENTS_FROM_DB" << QVariantList{} << list;
    QTest::newRow("add, no login")
        << ""
        << "RPC_CLIENT_OPERATION" << QVariantList{add, rec, "p"} << w.arg("%1", add);
    QTest::newRow("add, perm 5") << "old"
                                 << "RPC_CLIENT_OPERATION" << QVariantList{add, rec, "p"}
                                 << w.arg("%1", add);
    QTest::newRow("del, perm 6") << "uoo"
                                 << "RPC_CLIENT_OPERATION" << QVariantList{"RPC_DEL_CLIENT", rec}
                                 << w.arg("%1", "RPC_DEL_CLIENT");
    QTest::newRow("guard, no login")
        << ""
        << "RPC_KTC_UOO_OPERATION" << QVariantList{"RPC_CHANGE_UOO_GUARD_STATE", desc}
        << w.arg("%1", "RPC_CHANGE_UOO_GUARD_STATE");
    QTest::newRow("params, perm 3") << "clients"
                                    << "RPC_UOO_PARAMS_OPERATION"
                                    << QVariantList{"RPC_UOO_PARAMS_OPERATION_SND_NEW", 77u, params}
                                    << w.arg("%1", "RPC_UOO_PARAMS_OPERATION_SND_NEW");
}

void TestRpcOperations::denial()
{
    QFETCH(QString, account);
    QFETCH(QString, message);
    QFETCH(QVariantList, args);
    QFETCH(QString, warning);
    TestBackend& b = server->backend;
    b.addAccount("uoo", "pw", QByteArray("\x06"));
    b.addAccount("clients", "pw", QByteArray("\x03"));
    b.guardResult = true;
    const QList<QVariantList> before = b.rows();
    quint64 id = 0;
    auto client = server->connectClient(&id);
    auto bystander = server->connectClient();
    if (!account.isEmpty()) {
        QCOMPARE(server->login(*client, account, "pw"), QString("LOGIN_OK"));
    }
    client->peer.call("RPC_LOAD_UOOSTATE_REQUEST"); // unguarded: answered
    QVERIFY(client->waitFor("RPC_LOAD_UOOSTATE_RESULT"));
    const int answered = client->received.size();

    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning.arg(id)));
    client->peer.call(message, args.value(0), args.value(1), args.value(2));
    QVERIFY(client->waitDisconnected());
    QCOMPARE(client->received.size(), answered); // no reply
    QCOMPARE(b.rows(), before);
    QVERIFY(b.audits.isEmpty() && b.paramsCalls.isEmpty());
    bystander->peer.call("RPC_LOAD_UOOSTATE_REQUEST");
    QVERIFY(bystander->waitFor("RPC_LOAD_UOOSTATE_RESULT"));
}

void TestRpcOperations::queuedClientIsNotServed()
{
    quint64 id = 0;
    auto client = server->connectClient(&id);
    server->rpc.disconnectClient(id);
    const int calls = server->backend.descriptorCalls;
    QVERIFY(QMetaObject::invokeMethod(&server->rpc, "rpcGetUooTrackList", Q_ARG(quint64, id)));
    QCOMPARE(server->backend.descriptorCalls, calls);
    QVERIFY(client->waitDisconnected());
    QCOMPARE(client->received.size(), 0);
}

void TestRpcOperations::badInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("outcome"); // Stays or Closes

    const QString add = "RPC_ADD_NEW_CLIENT";
    const QVariant rec = QVariant::fromValue(account("intruder", {127}));
    const QVariant creds = QVariant::fromValue(VemoRpcCredentials{Admin, "pw"});
    QTest::newRow("unknown name") << frame("RPC_DROP_TABLES", {add, rec, "p"}) << int(Stays);
    QTest::newRow("empty frame") << QByteArray(4, '\0') << int(Stays);
    QTest::newRow("op, wrong types") << frame("RPC_CLIENT_OPERATION", {5, 6, 7}) << int(Stays);
    QTest::newRow("op, too few") << frame("RPC_CLIENT_OPERATION", {add}) << int(Stays);
    QTest::newRow("op, too many") << frame("RPC_CLIENT_OPERATION", {add, rec, "p", 1, 2})
                                  << int(Stays);
    QTest::newRow("op before login")
        << frame("RPC_CLIENT_OPERATION", {add, rec, "p"}) << int(Closes);
    QTest::newRow("modify before login")
        << frame("RPC_CLIENT_OPERATION", {"RPC_MODIFY_CLIENT", rec}) << int(Closes);
    QTest::newRow("login, text arg") << frame("LOGIN", {"admin"}) << int(Stays);
    QTest::newRow("params, text uoo")
        << frame("RPC_LOAD_PARAMSSTATE_REQUEST", {"77"}) << int(Stays);
    QTest::newRow("count > 8") << frame("LOGIN", {creds}, 9) << int(Closes);
    QTest::newRow("count beyond body") << frame("LOGIN", {creds}, 3) << int(Stays);
    QTest::newRow("unreadable name")
        << QByteArray::fromHex("0a000000ffffff7f010203040506") << int(Closes);
    QTest::newRow("huge length") << QByteArray::fromHex("ffffff7f") << int(Closes);
    QTest::newRow("mid-frame close") << QByteArray::fromHex("64000000000000") << int(Closes);
}

void TestRpcOperations::badInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, outcome);
    const QList<QVariantList> before = server->backend.rows();
    auto good = server->connectClient();
    QCOMPARE(server->login(*good, Admin, "pw"), QString("LOGIN_OK"));

    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, server->port());
    QVERIFY(raw.waitForConnected(20000));
    raw.write(bytes);
    if (QByteArray(QTest::currentDataTag()) == "mid-frame close") {
        raw.disconnectFromHost();
    } else {
        // An unguarded request behind it: answered while the connection stays.
        raw.write(frame("RPC_LOAD_UOOSTATE_REQUEST", {}));
    }
    const auto closed = [&] { return raw.state() == QAbstractSocket::UnconnectedState; };
    QVERIFY(waitUntil([&] { return closed() || raw.bytesAvailable() > 4; }));
    QCOMPARE(closed(), outcome == Closes);
    if (closed()) { // the server has let go of it
        QVERIFY(
            waitUntil([&] { return server->rpc.authManager()->connectedClients().size() == 1; }));
    }
    good->peer.call("RPC_GET_CLIENTS_FROM_DB");
    QVERIFY(good->waitFor("RPC_CLIENTS_LIST"));
    QCOMPARE(server->backend.rows(), before);
    QVERIFY(server->backend.audits.isEmpty());
}

QTEST_GUILESS_MAIN(TestRpcOperations)
#include "tst_rpcoperations.moc"
