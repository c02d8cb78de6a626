// Rules of login: the attempt table, the account lookup and the login exchange
// with real workstations over loopback.
#include "logcapture.h"
#include "logratelimiter.h"
#include "passwordhash.h"
#include "rpccodec.h"
#include "rpcloginattempts.h"
#include "rpcpermissions.h"
#include "rpctestsupport.h"

#include <QTcpSocket>
#include <QtTest>

using Verdict = RpcLoginAttempts::Verdict;

class TestRpcLogin : public QObject
{
    Q_OBJECT
private slots:
    void attemptIntervalAndLimit();
    void attemptTableIsBounded();
    void attemptKeys_data();
    void attemptKeys();
    void loginAndPermissions_data();
    void loginAndPermissions();
    void loadAllUsers();
    void loginOk();
    void fourthFailureDisconnects();
    void intervalAcrossConnections();
    void successClearsFailures();
    void unknownClientAndOverlongName();
    void lowerCostHashIsUpgraded();
    void hashingFailureFailsTheLogin();
    void checksPerAddressAreBounded();
    void requestsWaitForTheLoginBeforeThem();
    void strangerCannotLockOutOperator();
    void peerCausedLinesAreRateLimited_data();
    void peerCausedLinesAreRateLimited();
};

void TestRpcLogin::attemptIntervalAndLimit()
{
    RpcLoginAttempts a;
    QVERIFY(a.intervalKept("bob", 5)); // first attempt, even right after start-up
    QCOMPARE(a.recordFailure("bob", 5), Verdict::Answer);
    QVERIFY(!a.intervalKept("bob", 5 + 999));
    QVERIFY(a.intervalKept("bob", 5 + 1000));
    QVERIFY(a.intervalKept("eve", 5 + 10)); // names do not share counts or ticks
    QCOMPARE(a.recordFailure("bob", 2000), Verdict::Answer);
    QCOMPARE(a.recordFailure("bob", 3000), Verdict::Answer);
    QCOMPARE(a.failures("bob"), 3);
    QCOMPARE(a.recordFailure("bob", 4000), Verdict::Disconnect);
    QCOMPARE(a.failures("bob"), 0); // starts again
    QCOMPARE(a.recordFailure("bob", 5000), Verdict::Answer);
    a.recordSuccess("bob", 6000);
    QCOMPARE(a.failures("bob"), 0);
    // The tick wraps: 0xFFFFFF00 -> 0x100 is 512 ms.
    a.recordFailure("wrap", 0xFFFFFF00u);
    QVERIFY(!a.intervalKept("wrap", 0x100));
    QVERIFY(a.intervalKept("wrap", 0x300));
}

void TestRpcLogin::attemptTableIsBounded()
{
    RpcLoginAttempts a;
    QCOMPARE(a.capacity(), 65536);
    a.recordFailure("first", 1);
    a.recordFailure("second", 1);
    for (int i = 0; i < 65534; ++i) {
        a.recordFailure(QString::number(i), 1);
    }
    QCOMPARE(a.size(), 65536);
    a.recordFailure("first", 2); // tried again: now the most recent
    a.recordFailure("newcomer", 2);
    QCOMPARE(a.size(), 65536);
    QVERIFY(!a.knows("second")); // least recently tried, dropped from both maps
    QCOMPARE(a.failures("second"), 0);
    QVERIFY(a.knows("first"));
    QCOMPARE(a.failures("first"), 2);
    QVERIFY(a.knows("0"));
    a.recordFailure("again", 3);
    QVERIFY(!a.knows("0") && a.knows("1") && a.knows("newcomer") && a.knows("first"));
    QCOMPARE(a.size(), 65536);
    // The server's table uses the same bound.
    TestBackend backend;
    RpcController rpc(&backend, backend.accountStore());
    QCOMPARE(rpc.loginAttempts().capacity(), 65536);
}

void TestRpcLogin::attemptKeys_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("shared");
    QTest::newRow("v4 and its mapped form") << "127.0.0.1"
                                            << "::ffff:127.0.0.1" << true;
    QTest::newRow("two v4 hosts") << "127.0.0.1"
                                  << "127.0.0.2" << false;
    QTest::newRow("one v6 /64") << "2001:db8::1"
                                << "2001:db8::ffff:0:1" << true;
    QTest::newRow("two v6 /64") << "2001:db8::1"
                                << "2001:db8:0:1::1" << false;
    QTest::newRow("unknown and v4") << ""
                                    << "0.0.0.0" << false;
}

void TestRpcLogin::attemptKeys()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, shared);
    const QHostAddress first(a), second(b);
    QCOMPARE(RpcLoginAttempts::keyOf("op", first) == RpcLoginAttempts::keyOf("op", second),
             shared);
    QVERIFY(RpcLoginAttempts::keyOf("op", first) != RpcLoginAttempts::keyOf("po", first));
}

void TestRpcLogin::loginAndPermissions_data()
{
    QTest::addColumn<QString>("stored"); // "#" is the hash of "abc"
    QTest::addColumn<QByteArray>("perms");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("pwd");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QList<int>>("granted"); // codes 3, 4, 5, 6 that pass

    const QByteArray all("\x7f");
    QTest::newRow("3+6") << "abc" << QByteArray("\x03\x06") << "op"
                         << "abc" << true << QList<int>{3, 6};
    QTest::newRow("127") << "abc" << all << "op"
                         << "abc" << true << QList<int>{3, 4, 5, 6};
    QTest::newRow("5 only") << "abc" << QByteArray("\x05") << "op"
                            << "abc" << true << QList<int>{5};
    QTest::newRow("other codes") << "abc" << QByteArray("\x01\x80") << "op"
                                 << "abc" << true << QList<int>{};
    QTest::newRow("wrong pwd") << "abc" << all << "op"
                               << "abd" << false << QList<int>{};
    QTest::newRow("pwd case") << "abc" << all << "op"
                              << "ABC" << false << QList<int>{};
    QTest::newRow("pwd spaces") << "abc" << all << "op"
                                << " abc" << false << QList<int>{};
    QTest::newRow("login case") << "abc" << all << "OP"
                                << "abc" << false << QList<int>{};
    QTest::newRow("injection") << "abc" << all << "op"
                               << "' OR '1'='1" << false << QList<int>{};
    QTest::newRow("hash") << "#" << QByteArray("\x03\x06") << "op"
                          << "abc" << true << QList<int>{3, 6};
    QTest::newRow("hash, wrong pwd") << "#" << all << "op"
                                     << "abd" << false << QList<int>{};
    QTest::newRow("hash, pwd case") << "#" << all << "op"
                                    << "ABC" << false << QList<int>{};
    QTest::newRow("hash, huge pwd") << "#" << all << "op" << QString(30000, 'f') << false
                                    << QList<int>{};
    QTest::newRow("hash, sent as pwd") << "#" << all << "op"
                                       << "#" << false << QList<int>{};
    QTest::newRow("unknown scheme") << "$2y$10$abcdefghijklmnopqrstuu" << all << "op"
                                    << "$2y$10$abcdefghijklmnopqrstuu" << false << QList<int>{};
    QTest::newRow("damaged hash") << "$argon2id$v=19$m=8,t=1,p=1$xx" << all << "op"
                                  << "$argon2id$v=19$m=8,t=1,p=1$xx" << false << QList<int>{};
}

void TestRpcLogin::loginAndPermissions()
{
    QFETCH(QString, stored);
    QFETCH(QByteArray, perms);
    QFETCH(QString, login);
    QFETCH(QString, pwd);
    QFETCH(bool, ok);
    QFETCH(QList<int>, granted);
    QString hash;
    QVERIFY(PasswordHash::hash("abc", cheapHashCost(), &hash));
    stored.replace("#", hash);
    pwd.replace("#", hash);
    TestServer server;
    server.backend.addStoredAccount("op", stored, perms, "Оператор");
    quint64 id = 0;
    auto client = server.connectClient(&id);
    LogCapture log;
    QCOMPARE(server.login(*client, login, pwd), QString(ok ? "LOGIN_OK" : "LOGIN_FAILED"));
    RpcAuthManager* auth = server.rpc.authManager();
    for (quint8 code : {3, 4, 5, 6}) {
        QCOMPARE(auth->hasPermission(id, code), granted.contains(code));
    }
    QCOMPARE(auth->loginName(id), ok ? QString("op") : QString());
    QCOMPARE(server.rpc.loginAttempts().failures(fromLoopback(login)), ok ? 0 : 1);
    // A digest that logged in is now kept as its hash; nothing else is rewritten.
    const QString now = server.backend.rows().at(0).at(1).toString();
    if (ok && stored == "abc") {
        QVERIFY(now.startsWith("$argon2id$"));
        QCOMPARE(PasswordHash::verify(now, "abc"), PasswordHash::Verdict::Match);
    } else {
        QCOMPARE(now, stored);
    }
    // A stored value no digest can match is named once.
    const bool unreadable = stored.startsWith("$") && stored != hash;
    QCOMPARE(log.count("хранится в нечитаемом виде"), unreadable ? 1 : 0);
    if (unreadable) {
        QCOMPARE(server.login(*client, login, pwd), QString("LOGIN_FAILED"));
        QCOMPARE(log.count("хранится в нечитаемом виде"), 1);
    }
}

void TestRpcLogin::loadAllUsers()
{
    TestBackend backend;
    backend.addAccount("a", "secret", QByteArray("\x03\x06"), "Иванов");
    backend.addAccount("b", "secret", QByteArray());
    const QList<VemoRpcClient> users = backend.accountStore()->loadAll();
    QCOMPARE(users.size(), 2);
    QCOMPARE(users[0].login, QString("a"));
    QCOMPARE(users[0].permissions, (QList<quint8>{3, 6}));
    QCOMPARE(users[0].fullname, QString("Иванов"));
    QCOMPARE(users[0].writesleft, 7);
    QCOMPARE(users[0].lastwrite, 4000000000u);
    QVERIFY(!users[0].loggedIn);
    QVERIFY(users[1].permissions.isEmpty() && users[1].fullname.isEmpty());
}

void TestRpcLogin::loginOk()
{
    TestServer server;
    server.backend.addAccount("op", "5f1d", QByteArray("\x03\x06"));
    quint64 id = 0;
    auto client = server.connectClient(&id);
    QVERIFY(!server.rpc.authManager()->hasPermission(id, 3));
    QCOMPARE(server.login(*client, "op", "5f1d"), QString("LOGIN_OK"));
    QCOMPARE(client->last("LOGIN_RESULT").value(1).value<QList<quint8>>(), (QList<quint8>{3, 6}));
    QVERIFY(server.rpc.authManager()->hasPermission(id, 6));
    QVERIFY(!server.rpc.authManager()->hasPermission(id, 4));
    // A second login on the same connection keeps the codes already held.
    server.backend.addAccount("viewer", "x", QByteArray("\x06\x04"));
    QCOMPARE(server.login(*client, "viewer", "x"), QString("LOGIN_OK"));
    QCOMPARE(client->last("LOGIN_RESULT").value(1).value<QList<quint8>>(),
             (QList<quint8>{3, 6, 4}));
    QCOMPARE(server.rpc.authManager()->loginName(id), QString("viewer"));
}

void TestRpcLogin::fourthFailureDisconnects()
{
    TestServer server;
    server.backend.addAccount("op", "right", QByteArray("\x03"));
    auto client = server.connectClient();
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(server.login(*client, "op", "wrong"), QString("LOGIN_FAILED"));
        QVERIFY(client->last("LOGIN_RESULT").value(1).value<QList<quint8>>().isEmpty());
    }
    QTest::ignoreMessage(QtWarningMsg, "Превышен лимит попыток логина для клиента  \"op\" , "
                                       "клиент будет отключен.");
    QCOMPARE(server.login(*client, "op", "wrong"), QString());
    QVERIFY(client->waitDisconnected());
    QCOMPARE(client->count("LOGIN_RESULT"), 3);
    // The count restarted: a new connection is answered again.
    auto again = server.connectClient();
    QCOMPARE(server.login(*again, "op", "wrong"), QString("LOGIN_FAILED"));
    QCOMPARE(server.rpc.loginAttempts().failures(fromLoopback("op")), 1);
}

void TestRpcLogin::intervalAcrossConnections()
{
    TestServer server;
    server.backend.addAccount("op", "right", QByteArray("\x03"));
    auto first = server.connectClient();
    auto second = server.connectClient();
    QCOMPARE(server.login(*first, "op", "wrong"), QString("LOGIN_FAILED"));
    server.clock.advanceMs(-500); // login() moves 1000 ms: the next attempt comes 500 ms later
    QTest::ignoreMessage(QtWarningMsg, "Нарушен временной интервал попыток логина для клиента  "
                                       "\"op\" , клиент будет отключен.");
    QCOMPARE(server.login(*second, "op", "right"), QString());
    QVERIFY(second->waitDisconnected());
    QCOMPARE(second->count("LOGIN_RESULT"), 0);
    QCOMPARE(server.rpc.loginAttempts().failures(fromLoopback("op")), 1); // not counted
    // The refused attempt left the tick alone: 1000 ms after the first one is fine.
    QCOMPARE(server.login(*first, "op", "right"), QString("LOGIN_OK"));
    QVERIFY(first->connected());
}

void TestRpcLogin::successClearsFailures()
{
    TestServer server;
    server.backend.addAccount("op", "right", QByteArray("\x03"));
    auto client = server.connectClient();
    QCOMPARE(server.login(*client, "op", "bad"), QString("LOGIN_FAILED"));
    QCOMPARE(server.login(*client, "other", "bad"), QString("LOGIN_FAILED"));
    QCOMPARE(server.login(*client, "op", "bad"), QString("LOGIN_FAILED"));
    QCOMPARE(server.rpc.loginAttempts().failures(fromLoopback("op")), 2);
    QCOMPARE(server.login(*client, "op", "right"), QString("LOGIN_OK"));
    QCOMPARE(server.rpc.loginAttempts().failures(fromLoopback("op")), 0);
    QCOMPARE(server.rpc.loginAttempts().failures(fromLoopback("other")), 1);
}

void TestRpcLogin::unknownClientAndOverlongName()
{
    TestServer server;
    QTest::ignoreMessage(QtWarningMsg, "[RpcServer] Попытка логина для неподключенного клиента "
                                       "с id =  4242");
    QVERIFY(QMetaObject::invokeMethod(&server.rpc, "rpcLogin", Q_ARG(quint64, 4242),
                                      Q_ARG(VemoRpcCredentials, (VemoRpcCredentials{"op", "x"}))));
    QCOMPARE(server.rpc.loginAttempts().size(), 0);

    auto client = server.connectClient();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Слишком длинное имя для логина"));
    QCOMPARE(server.login(*client, QString(RpcController::MaxLoginLength + 1, 'x'), "x"),
             QString());
    QVERIFY(client->waitDisconnected());
    QCOMPARE(server.rpc.loginAttempts().size(), 0);
}

void TestRpcLogin::lowerCostHashIsUpgraded()
{
    TestServer server;
    server.rpc.setPasswordCost({2, 16384});
    server.backend.addAccount("op", "abc", QByteArray("\x03")); // hashed at t=1, m=8
    const QString before = server.backend.rows().at(0).at(1).toString();
    auto client = server.connectClient();
    QCOMPARE(server.login(*client, "op", "wrong"), QString("LOGIN_FAILED"));
    QCOMPARE(server.backend.rows().at(0).at(1).toString(), before);
    QCOMPARE(server.login(*client, "op", "abc"), QString("LOGIN_OK"));
    const QString after = server.backend.rows().at(0).at(1).toString();
    QVERIFY2(after.startsWith("$argon2id$v=19$m=16,t=2,p=1$"), qPrintable(after));
    QCOMPARE(PasswordHash::verify(after, "abc"), PasswordHash::Verdict::Match);
}

void TestRpcLogin::hashingFailureFailsTheLogin()
{
    TestServer server;
    server.rpc.setPasswordCost({0, 8192}); // below the library's least: every hash fails
    server.backend.addStoredAccount("op", "abc", QByteArray("\x03"));
    auto client = server.connectClient();
    LogCapture log;
    QCOMPARE(server.login(*client, "op", "abc"), QString("LOGIN_FAILED"));
    QCOMPARE(log.count("ERROR: проверка пароля учетной записи op не выполнена"), 1);
    QCOMPARE(server.backend.rows().at(0).at(1).toString(), QString("abc"));
}

void TestRpcLogin::checksPerAddressAreBounded()
{
    TestServer server;
    RpcAuthManager* auth = server.rpc.authManager();
    const int bound = RpcController::MaxChecksPerAddress;
    for (quint64 id = 1; id <= quint64(bound) + 1; ++id) {
        auth->addClient(id); // all from one (unknown) address, each with a name of its own
        QMetaObject::invokeMethod(&server.rpc, "rpcLogin", Q_ARG(quint64, id),
                                  Q_ARG(VemoRpcCredentials, (VemoRpcCredentials{
                                                                QString::number(id), "x"})));
    }
    QCOMPARE(server.rpc.pendingPasswordChecks(), bound);
    QCOMPARE(server.rpc.pendingDisconnections(), QList<quint64>{quint64(bound) + 1});
    QVERIFY(waitUntil([&] { return server.rpc.pendingPasswordChecks() == 0; }));
    auth->addClient(100); // their checks are done: the address is served again
    QMetaObject::invokeMethod(&server.rpc, "rpcLogin", Q_ARG(quint64, 100),
                              Q_ARG(VemoRpcCredentials, (VemoRpcCredentials{"late", "x"})));
    QCOMPARE(server.rpc.pendingPasswordChecks(), 1);
}

void TestRpcLogin::requestsWaitForTheLoginBeforeThem()
{
    TestServer server;
    server.backend.addAccount("admin", "right", QByteArray("\x03"));
    auto client = server.connectClient();
    server.clock.advanceMs(1000);
    // Sent back to back: the password is checked on another thread meanwhile.
    client->peer.call("LOGIN", QVariant::fromValue(VemoRpcCredentials{"admin", "right"}));
    client->peer.call("RPC_GET_CLIENTS_FROM_DB");
    client->peer.call("RPC_CLIENT_OPERATION", "RPC_ADD_NEW_CLIENT",
                      QVariant::fromValue(VemoRpcClient{false, {6}, "new", "", 0, 0}), "ABC");
    client->peer.call("RPC_GET_CLIENTS_FROM_DB");
    QVERIFY(client->waitFor("RPC_CLIENTS_LIST", 2));
    QStringList order;
    for (const auto& message : client->received) {
        order << message.first;
    }
    QCOMPARE(order, (QStringList{"LOGIN_RESULT", "RPC_CLIENTS_LIST", "RPC_CLIENT_OPERATION_RESULT",
                                 "RPC_CLIENTS_LIST"}));
    QCOMPARE(client->last("RPC_CLIENTS_LIST").value(0).value<QList<VemoRpcClient>>().size(), 2);
}

void TestRpcLogin::strangerCannotLockOutOperator()
{
    TestServer server;
    server.backend.addAccount("admin", "right", QByteArray("\x7f"));
    QTcpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress("127.0.0.2")));
    stranger.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(stranger.waitForConnected(20000));
    const QString strangerKey = RpcLoginAttempts::keyOf("admin", QHostAddress("127.0.0.2"));
    const QByteArray wrong = RpcCodec::encodeFrame(
        "LOGIN", {QVariant::fromValue(VemoRpcCredentials{"admin", "wrong"})});
    auto op = server.connectClient();
    // Each of the stranger's attempts counts; the operator tries in the same millisecond.
    for (int round = 1; round <= 3; ++round) {
        server.clock.advanceMs(1000);
        stranger.write(wrong);
        QVERIFY(waitUntil([&] { return server.rpc.loginAttempts().failures(strangerKey) == round; }));
        server.clock.advanceMs(-1000); // login() moves the clock by 1000 ms
        QCOMPARE(server.login(*op, "admin", round < 3 ? "typo" : "right"),
                 QString(round < 3 ? "LOGIN_FAILED" : "LOGIN_OK"));
    }
    // The stranger itself still meets the rules: its fourth failure closes it.
    server.clock.advanceMs(1000);
    QTest::ignoreMessage(QtWarningMsg, "Превышен лимит попыток логина для клиента  \"admin\" , "
                                       "клиент будет отключен.");
    stranger.write(wrong);
    QVERIFY(waitUntil([&] { return stranger.state() == QAbstractSocket::UnconnectedState; }));
    QVERIFY(op->connected());
}

void TestRpcLogin::peerCausedLinesAreRateLimited_data()
{
    QTest::addColumn<QString>("action"); // what each of 1,000 clients does
    QTest::addColumn<QString>("line");
    QTest::newRow("interval") << "interval"
                              << "Нарушен временной интервал попыток логина";
    QTest::newRow("failure limit") << "limit"
                                   << "Превышен лимит попыток логина";
    QTest::newRow("long name") << "long"
                               << "Слишком длинное имя для логина";
    QTest::newRow("no permission") << "list"
                                   << "Неодостаточно прав пользователя";
}

void TestRpcLogin::peerCausedLinesAreRateLimited()
{
    QFETCH(QString, action);
    QFETCH(QString, line);
    LogCapture log;
    {
        TestServer server;
        RpcAuthManager* auth = server.rpc.authManager();
        const auto login = [&](quint64 id, const QString& name) {
            QMetaObject::invokeMethod(&server.rpc, "rpcLogin", Q_ARG(quint64, id),
                                      Q_ARG(VemoRpcCredentials, (VemoRpcCredentials{name, "x"})));
        };
        for (quint64 id = 1; id <= 1000; ++id) {
            auth->addClient(id);
            if (action == "interval") {
                login(id, "op"); // all in one millisecond: only the first keeps the interval
            } else if (action == "long") {
                login(id, QString(RpcController::MaxLoginLength + 1, 'x'));
            } else if (action == "list") {
                QMetaObject::invokeMethod(&server.rpc, "rpcGetClientList", Q_ARG(quint64, id));
            }
        }
        // Four failures each for 1,000 names, in groups that one address may have checked.
        const quint64 group = RpcController::MaxChecksPerAddress;
        for (quint64 first = 1; action == "limit" && first <= 1000; first += group) {
            for (int attempt = 0; attempt < 4; ++attempt) {
                server.clock.setTick(server.clock.tickMs() + 1000);
                for (quint64 id = first; id < first + group; ++id) {
                    login(id, QString::number(id));
                }
                QVERIFY(waitUntil([&] { return server.rpc.pendingPasswordChecks() == 0; }));
            }
        }
        QCOMPARE(log.count(line), LogRateLimiter::DefaultBurst);
    }
    const int held = 1000 - LogRateLimiter::DefaultBurst - (action == "interval" ? 1 : 0);
    QCOMPARE(log.count(QString(": %1 more such line(s) in the last 60 s not written").arg(held)),
             1);
}

QTEST_GUILESS_MAIN(TestRpcLogin)
#include "tst_rpclogin.moc"
