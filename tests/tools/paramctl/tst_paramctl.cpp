#include "rpcpeer.h"
#include "rpctypes.h"
#include "testfile.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int Wait = 30000;
const QString BuiltInLogin = "adminvemo";
const QString BuiltInDigest = "5f1d0c8e2a7b4963d0e18c2f7a9b3e64";

} // namespace

// A small stand-in for the parameter server's RPC side: answers the login and one
// request of each kind, and remembers what it received.
class FakeServer : public QObject
{
    Q_OBJECT
public:
    RpcPeer peer;
    QString result = "OK";               // result text of the operations
    bool answerRequests = true;          // false: requests get no reply at all
    bool closeOnLogin = false;           // close the connection instead of answering the login
    int closeLogins = 0;                 // close the connection at this many logins, then answer
    QString lineBeforeClose;             // a log line sent before such a close
    QMap<quint32, QString> resultByUoo;  // result texts of the parameter operations by UOO
    QMap<quint32, QByteArray> knownSets; // params: devices with a record of their own
    bool closeOnRequest = false;         // close the connection instead of answering a request
    QList<VemoRpcClient> accounts;
    QList<UooDescriptor> devices;
    UooRParamsDesc params;
    QList<QPair<QString, QVariantList>> pushesAfterLogin;

    // What arrived.
    QList<QString> received;
    QString operation;
    VemoRpcClient account;
    QString password;
    quint32 uoo = 0;
    QList<quint32> uoos; // every UOO of the parameter requests, in order
    UooRParamsDesc record;
    UooDescriptor descriptor;

    explicit FakeServer(QObject* parent = nullptr) : QObject(parent)
    {
        peer.attachSlot("LOGIN", this, SLOT(login(quint64, VemoRpcCredentials)));
        peer.attachSlot("RPC_GET_CLIENTS_FROM_DB", this, SLOT(getClients(quint64)));
        peer.attachSlot("RPC_CLIENT_OPERATION", this,
                        SLOT(clientOperation(quint64, QString, VemoRpcClient, QString)));
        peer.attachSlot("RPC_LOAD_UOOSTATE_REQUEST", this, SLOT(uooTrackList(quint64)));
        peer.attachSlot("RPC_LOAD_PARAMSSTATE_REQUEST", this, SLOT(paramsDesc(quint64, quint32)));
        peer.attachSlot("RPC_KTC_UOO_OPERATION", this,
                        SLOT(uooOperation(quint64, QString, UooDescriptor)));
        peer.attachSlot("RPC_UOO_PARAMS_OPERATION", this,
                        SLOT(paramsOperation(quint64, QString, quint32, UooRParamsDesc)));
    }

    bool start() { return peer.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return peer.serverPort(); }

private:
    bool request(quint64 client, const QString& name)
    {
        received << name;
        if (closeOnRequest) {
            peer.disconnectClient(client);
            return false;
        }
        return answerRequests;
    }

public slots:
    void login(quint64 client, VemoRpcCredentials credentials)
    {
        received << "LOGIN";
        if (closeLogins > 0) {
            --closeLogins;
            if (!lineBeforeClose.isEmpty()) {
                peer.call(client, "RPC_SYS_LOG_MESSAGE", lineBeforeClose);
            }
            peer.disconnectClient(client);
            return;
        }
        if (closeOnLogin) {
            peer.disconnectClient(client);
            return;
        }
        const bool ok = credentials.login == BuiltInLogin && credentials.password == BuiltInDigest;
        peer.call(client, "LOGIN_RESULT", QString(ok ? "LOGIN_OK" : "LOGIN_FAILED"),
                  QVariant::fromValue(ok ? QList<quint8>{127} : QList<quint8>{}));
        if (ok) {
            for (const auto& push : qAsConst(pushesAfterLogin)) {
                const QVariantList& a = push.second;
                peer.call(client, push.first, a.value(0), a.value(1));
            }
        }
    }
    void getClients(quint64 client)
    {
        if (request(client, "RPC_GET_CLIENTS_FROM_DB")) {
            peer.call(client, "RPC_CLIENTS_LIST", QVariant::fromValue(accounts));
        }
    }
    void clientOperation(quint64 client, QString op, VemoRpcClient data, QString p3 = QString())
    {
        operation = op;
        account = data;
        password = p3;
        if (request(client, "RPC_CLIENT_OPERATION")) {
            peer.call(client, "RPC_CLIENT_OPERATION_RESULT", result);
        }
    }
    void uooTrackList(quint64 client)
    {
        if (request(client, "RPC_LOAD_UOOSTATE_REQUEST")) {
            peer.call(client, "RPC_LOAD_UOOSTATE_RESULT", QVariant::fromValue(devices));
        }
    }
    void paramsDesc(quint64 client, quint32 code)
    {
        uoo = code;
        uoos << code;
        UooRParamsDesc answer = params;
        if (knownSets.contains(code)) {
            answer.uoo = code;
            answer.uooparams = knownSets.value(code);
        } else if (!knownSets.isEmpty()) {
            answer = UooRParamsDesc(); // what the server answers for an unknown device
        }
        if (request(client, "RPC_LOAD_PARAMSSTATE_REQUEST")) {
            peer.call(client, "RPC_LOAD_PARAMSSTATE_RESULT", QVariant::fromValue(answer));
        }
    }
    void uooOperation(quint64 client, QString op, UooDescriptor d)
    {
        operation = op;
        descriptor = d;
        if (request(client, "RPC_KTC_UOO_OPERATION")) {
            peer.call(client, "RPC_KTC_UOO_OPERATION_RESULT", result);
        }
    }
    void paramsOperation(quint64 client, QString op, quint32 code, UooRParamsDesc r)
    {
        operation = op;
        uoo = code;
        uoos << code;
        record = r;
        if (request(client, "RPC_UOO_PARAMS_OPERATION")) {
            peer.call(client, "RPC_UOO_PARAMS_OPERATION_RESULT", resultByUoo.value(code, result));
        }
    }
};

class TestParamCtl : public QObject
{
    Q_OBJECT

private:
    struct Run
    {
        int code = -1;
        QStringList lines;
        QString err;
    };

    // Runs paramctl against port while the event loop serves the fake server.
    static Run run(quint16 port, const QStringList& args, const QByteArray& input = QByteArray())
    {
        QProcess process;
        QSignalSpy done(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        process.start(PARAMCTL_PATH, QStringList{"--port", QString::number(port)} + args);
        Run result;
        if (!process.waitForStarted(Wait)) {
            result.err = "did not start";
            return result;
        }
        process.write(input);
        process.closeWriteChannel();
        if (done.isEmpty() && !done.wait(Wait)) {
            process.kill();
            process.waitForFinished(Wait);
            result.err = "did not finish";
            return result;
        }
        if (process.exitStatus() == QProcess::NormalExit) {
            result.code = process.exitCode();
        }
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        result.lines = out.split('\n');
        if (!result.lines.isEmpty() && result.lines.last().isEmpty()) {
            result.lines.removeLast();
        }
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    static quint16 unusedPort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

private slots:
    void initTestCase()
    {
        registerRpcTypes();
        QVERIFY(QFile::exists(PARAMCTL_PATH));
    }

    void users();
    void clientOperations_data();
    void clientOperations();
    void resultOtherThanOk();
    void devicesAndParams();
    void scheduleAndCancel();
    void guard();
    void watchCount();
    void watchUntilTerminated();
    void watchSeconds();
    void failures_data();
    void failures();
    void badUsageAndFiles();
    void loginRetry_data();
    void loginRetry();
    void deviceListResults();
    void paramsOfAList();
    void batches_data();
    void batches();
    void summaryAndJson();
    void watchEndsWithItsReader();
};

void TestParamCtl::users()
{
    FakeServer server;
    QVERIFY(server.start());
    VemoRpcClient admin;
    admin.login = BuiltInLogin;
    admin.permissions = {127};
    admin.fullname = "Администратор";
    VemoRpcClient op;
    op.login = "op";
    op.permissions = {3, 6};
    op.fullname = "Tab\there";
    op.writesleft = 5;
    op.lastwrite = 1700000000u;
    server.accounts = {admin, op};

    const Run r = run(server.port(), {"users"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.lines,
             (QStringList{"login=adminvemo\tpermissions=127\tfullname=Администратор\twritesleft=0"
                          "\tlastwrite=0",
                          "login=op\tpermissions=3,6\tfullname=Tab\\there\twritesleft=5"
                          "\tlastwrite=1700000000"}));
    QCOMPARE(server.received, (QStringList{"LOGIN", "RPC_GET_CLIENTS_FROM_DB"}));
}

void TestParamCtl::clientOperations_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QList<quint8>>("permissions");
    QTest::addColumn<QString>("fullname");
    QTest::addColumn<QString>("password");

    QTest::newRow("adduser") << QStringList{"adduser", "bob", "0123abcd", "3,6", "Bob B."}
                             << "RPC_ADD_NEW_CLIENT"
                             << "bob" << QList<quint8>{3, 6} << "Bob B."
                             << "0123abcd";
    QTest::newRow("moduser") << QStringList{"moduser", "bob", "4"} << "RPC_MODIFY_CLIENT"
                             << "bob" << QList<quint8>{4} << ""
                             << "";
    QTest::newRow("deluser") << QStringList{"deluser", "bob", "5"} << "RPC_DEL_CLIENT"
                             << "bob" << QList<quint8>{5} << ""
                             << "";
}

void TestParamCtl::clientOperations()
{
    QFETCH(QStringList, args);
    QFETCH(QString, operation);
    QFETCH(QString, login);
    QFETCH(QList<quint8>, permissions);
    QFETCH(QString, fullname);
    QFETCH(QString, password);

    FakeServer server;
    QVERIFY(server.start());
    const Run r = run(server.port(), args);
    QCOMPARE(r.code, 0);
    QCOMPARE(r.lines, QStringList{"OK"});
    QCOMPARE(server.operation, operation);
    QCOMPARE(server.account.login, login);
    QCOMPARE(server.account.permissions, permissions);
    QCOMPARE(server.account.fullname, fullname);
    QCOMPARE(server.password, password);
}

void TestParamCtl::resultOtherThanOk()
{
    FakeServer server;
    QVERIFY(server.start());
    server.result = "USER_NOT_FOUND";
    const Run r = run(server.port(), {"deluser", "ghost"});
    QCOMPARE(r.code, 6);
    QCOMPARE(r.lines, QStringList{"USER_NOT_FOUND"});
    QVERIFY2(r.err.contains("USER_NOT_FOUND"), qPrintable(r.err));
}

void TestParamCtl::devicesAndParams()
{
    FakeServer server;
    QVERIFY(server.start());
    UooDescriptor d;
    d.uoo = 17;
    d.device = "УОО-4";
    d.ip = 0x7F000001;
    d.port = 5000;
    d.status = 0x80;
    d.version = 0x010203;
    UooDescriptor e;
    e.uoo = 18;
    server.devices = {d, e};
    server.params.uoo = 17;
    server.params.state = UooRParamsDesc::PAR_STATE_IDLE;
    server.params.uooparams = QByteArray("\x01\x02\x03\x00\xff", 5);
    server.params.uootime = QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9));

    Run r = run(server.port(), {"devices"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.lines, (QStringList{"uoo=17\tdevice=УОО-4\tip=127.0.0.1\tport=5000\tstatus=0x80"
                                   "\tonline=yes\tversion=0x010203",
                                   "uoo=18\tdevice=\tip=0.0.0.0\tport=0\tstatus=0x00\tonline=no"
                                   "\tversion=0x000000"}));

    QTemporaryDir dir;
    const QString saved = dir.filePath("params.bin");
    r = run(server.port(), {"params", "17", "--save", saved});
    QCOMPARE(r.code, 0);
    QCOMPARE(server.uoo, 17u);
    QCOMPARE(r.lines, (QStringList{"uoo=17\tstate=1\tstatename=IDLE\twriteleft=0\tlefttosend=0"
                                   "\tflags=0\tdevice=\tpversion=\tuootime=2024-03-07 13:05:09"
                                   "\tlocaltime=-\tuooparams=5\tlocalparams=0"}));
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), server.params.uooparams);

    // An empty list prints nothing and succeeds.
    server.devices.clear();
    r = run(server.port(), {"devices"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.lines, QStringList());
}

void TestParamCtl::scheduleAndCancel()
{
    FakeServer server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    const QString path = dir.filePath("set.bin");
    QByteArray bytes;
    for (int i = 0; i < 3000; ++i) {
        bytes.append(static_cast<char>(i * 7));
    }
    QVERIFY(writeTestFile(path, bytes));

    Run r = run(server.port(), {"schedule", "17", path, "--time", "2024-03-07 13:05:09"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.lines, QStringList{"OK"});
    QCOMPARE(server.operation, QString("RPC_UOO_PARAMS_OPERATION_SND_NEW"));
    QCOMPARE(server.uoo, 17u);
    QCOMPARE(server.record.uoo, 17u);
    QCOMPARE(server.record.localparams, bytes);
    QCOMPARE(server.record.localtime, QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9)));
    QCOMPARE(server.record.localtime.timeSpec(), Qt::LocalTime);

    // Without --time: the current local time.
    r = run(server.port(), {"schedule", "18", path});
    QCOMPARE(r.code, 0);
    QCOMPARE(server.uoo, 18u);
    QVERIFY(server.record.localtime.isValid());
    QCOMPARE(server.record.localtime.timeSpec(), Qt::LocalTime);

    server.result = "UOO_IS_BUSY";
    r = run(server.port(), {"cancel", "19"});
    QCOMPARE(r.code, 6);
    QCOMPARE(r.lines, QStringList{"UOO_IS_BUSY"});
    QCOMPARE(server.operation, QString("RPC_UOO_PARAMS_OPERATION_SND_CANCEL"));
    QCOMPARE(server.uoo, 19u);
    QVERIFY(server.record.localparams.isEmpty());
}

void TestParamCtl::guard()
{
    FakeServer server;
    QVERIFY(server.start());
    server.result = "TESTING_UOO_NOT_FOUND";
    const Run r = run(server.port(), {"guard", "4000000000"});
    QCOMPARE(r.code, 6);
    QCOMPARE(r.lines, QStringList{"TESTING_UOO_NOT_FOUND"});
    QCOMPARE(server.operation, QString("RPC_CHANGE_UOO_GUARD_STATE"));
    QCOMPARE(server.descriptor.uoo, 4000000000u);
}

void TestParamCtl::watchCount()
{
    FakeServer server;
    QVERIFY(server.start());
    UooDescriptor d;
    d.uoo = 17;
    d.status = 0x80;
    server.pushesAfterLogin = {
        {"RPC_SYS_LOG_MESSAGE", {QString("24.03.07-13:05:09 >> [DEBUG] a\tb\n")}},
        {"RPC_NEW_UOOSTATE", {QVariant::fromValue(d)}},
        {"RPC_SOMETHING_ELSE", {1}},
        {"RPC_UOO_REMOVED", {QVariant::fromValue(d)}},
        {"RPC_NEW_PARAMSSTATE", {QVariant::fromValue(quint32(17))}},
        {"RPC_NEW_PARAMSSTATE", {QVariant::fromValue(quint32(18))}},
    };
    const Run r = run(server.port(), {"watch", "--count", "4"});
    QCOMPARE(r.code, 0);
    const QString device = "uoo=17\tdevice=\tip=0.0.0.0\tport=0\tstatus=0x80\tonline=yes"
                           "\tversion=0x000000";
    QCOMPARE(r.lines, (QStringList{"RPC_SYS_LOG_MESSAGE\t24.03.07-13:05:09 >> [DEBUG] a\\tb",
                                   "RPC_NEW_UOOSTATE\t" + device, "RPC_UOO_REMOVED\t" + device,
                                   "RPC_NEW_PARAMSSTATE\tuoo=17"}));
}

void TestParamCtl::watchUntilTerminated()
{
#ifdef Q_OS_UNIX
    FakeServer server;
    QVERIFY(server.start());
    server.pushesAfterLogin = {{"RPC_NEW_PARAMSSTATE", {QVariant::fromValue(quint32(5))}}};
    QProcess process;
    QSignalSpy done(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(PARAMCTL_PATH, {"--port", QString::number(server.port()), "watch"});
    QVERIFY(process.waitForStarted(Wait));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains('\n'), Wait);
    QCOMPARE(out, QByteArray("RPC_NEW_PARAMSSTATE\tuoo=5\n"));
    process.terminate(); // SIGTERM
    QVERIFY(!done.isEmpty() || done.wait(Wait));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
#else
    QSKIP("needs POSIX signals");
#endif
}

void TestParamCtl::watchSeconds()
{
    FakeServer server;
    QVERIFY(server.start());
    const Run r = run(server.port(), {"watch", "--seconds", "1"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.lines, QStringList());
}

void TestParamCtl::failures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("received");
    // fault: how the server fails; empty for one that works.

    QTest::newRow("login refused") << "" << QStringList{"--password", "wrong", "users"} << 5
                                   << "login refused" << QStringList{"LOGIN"};
    QTest::newRow("closed without reply") << "close on login" << QStringList{"users"} << 4
                                          << "closed the connection" << QStringList{"LOGIN"};
    QTest::newRow("closed on request")
        << "close on request" << QStringList{"users"} << 4 << "permission"
        << QStringList{"LOGIN", "RPC_GET_CLIENTS_FROM_DB"};
    QTest::newRow("server not there")
        << "no server" << QStringList{"users"} << 3 << "cannot connect" << QStringList{};
    QTest::newRow("no reply times out")
        << "no answer" << QStringList{"--timeout", "1", "devices"} << 7 << "no reply within 1 s"
        << QStringList{"LOGIN", "RPC_LOAD_UOOSTATE_REQUEST"};
}

void TestParamCtl::failures()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QStringList, received);
    FakeServer server;
    QVERIFY(server.start());
    server.closeOnLogin = fault == "close on login";
    server.closeOnRequest = fault == "close on request";
    server.answerRequests = fault != "no answer";
    const Run r = run(fault == "no server" ? unusedPort() : server.port(), args);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    // Which messages reached the server; a login closed unanswered is tried again.
    if (fault == "close on login") {
        server.received.removeDuplicates();
    }
    QCOMPARE(server.received, received);
}

void TestParamCtl::badUsageAndFiles()
{
    FakeServer server;
    QVERIFY(server.start());
    Run r = run(server.port(), {});
    QCOMPARE(r.code, 2);
    QVERIFY(r.err.contains("paramctl --help"));
    r = run(server.port(), {"moduser", "bob", "three"});
    QCOMPARE(r.code, 2);
    r = run(server.port(), {"--help"});
    QCOMPARE(r.code, 0);
    QVERIFY(r.lines.first().startsWith("Usage: paramctl"));

    QTemporaryDir dir;
    r = run(server.port(), {"schedule", "17", dir.filePath("missing.bin")});
    QCOMPARE(r.code, 8);
    QVERIFY2(r.err.contains("missing.bin"), qPrintable(r.err));
    QVERIFY(server.received.isEmpty()); // nothing was sent
}

void TestParamCtl::loginRetry_data()
{
    QTest::addColumn<int>("closeLogins");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("logins");

    const QString limit = "26.12.08-08:40:43 >> [WARNING] Превышен лимит попыток логина для "
                          "клиента  %1 , клиент будет отключен.\n";
    QTest::newRow("one refusal waited out") << 1 << "" << QStringList{} << 0 << 2;
    QTest::newRow("refused beyond the retries")
        << 3 << "" << QStringList{"--login-retries", "2"} << 4 << 3;
    QTest::newRow("no retry asked") << 1 << "" << QStringList{"--login-retries", "0"} << 4 << 1;
    QTest::newRow("too many failed logins: not retried")
        << 1 << limit.arg(BuiltInLogin) << QStringList{} << 4 << 1;
    QTest::newRow("another name's limit")
        << 1 << limit.arg("adminvemo2") << QStringList{} << 0 << 2;
}

void TestParamCtl::loginRetry()
{
    QFETCH(int, closeLogins);
    QFETCH(QString, line);
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(int, logins);

    FakeServer server;
    QVERIFY(server.start());
    server.closeLogins = closeLogins;
    server.lineBeforeClose = line;
    const Run r = run(server.port(), options + QStringList{"devices"});
    QCOMPARE(r.code, code);
    QCOMPARE(server.received.count("LOGIN"), logins);
    QCOMPARE(server.received.contains("RPC_LOAD_UOOSTATE_REQUEST"), code == 0);
    if (code != 0) {
        QVERIFY2(r.err.contains("closed the connection"), qPrintable(r.err));
    }
}

void TestParamCtl::deviceListResults()
{
    FakeServer server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    const QString set = dir.filePath("set.bin");
    QVERIFY(writeTestFile(set, "new set"));

    // Results differ device by device: every line must name its own device,
    // also with many requests on the way at once.
    QStringList expected;
    QList<quint32> all;
    for (quint32 uoo = 1; uoo <= 40; ++uoo) {
        const QString result = uoo % 7 == 0   ? "TESTING_UOO_NOT_FOUND"
                               : uoo % 3 == 0 ? "UOO_IS_BUSY"
                                              : "OK";
        server.resultByUoo.insert(uoo, result);
        expected << QString("uoo=%1\tresult=%2").arg(uoo).arg(result);
        all << uoo;
    }
    Run r = run(server.port(), {"schedule", "1-40", set});
    QCOMPARE(r.code, 6);
    QCOMPARE(r.lines, expected);
    QCOMPARE(server.uoos, all);
    QCOMPARE(server.received.count("LOGIN"), 1);
    QCOMPARE(server.record.localparams, QByteArray("new set"));
    QVERIFY2(r.err.contains("schedule: 17 of 40 devices failed"), qPrintable(r.err));

    // Every device succeeds: status 0.
    server.uoos.clear();
    server.resultByUoo.clear();
    r = run(server.port(), {"cancel", "3,1,2-3"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.lines, (QStringList{"uoo=3\tresult=OK", "uoo=1\tresult=OK", "uoo=2\tresult=OK"}));
    QCOMPARE(server.uoos, (QList<quint32>{3, 1, 2}));
    QCOMPARE(server.operation, QString("RPC_UOO_PARAMS_OPERATION_SND_CANCEL"));
}

void TestParamCtl::paramsOfAList()
{
    FakeServer server;
    QVERIFY(server.start());
    server.knownSets = {{5, QByteArray("five")}, {6, QByteArray("six\0", 4)}};
    QTemporaryDir dir;
    const Run r = run(server.port(), {"params", "5-7", "--save-dir", dir.path()});
    QCOMPARE(r.code, 6);
    QCOMPARE(r.lines.size(), 3);
    QVERIFY2(r.lines[0].startsWith("uoo=5\tresult=OK\tstate=0\t"), qPrintable(r.lines[0]));
    QVERIFY(r.lines[0].endsWith("\tuooparams=4\tlocalparams=0"));
    QVERIFY(r.lines[1].startsWith("uoo=6\tresult=OK\t"));
    QCOMPARE(r.lines[2], QString("uoo=7\tresult=TESTING_UOO_NOT_FOUND"));
    for (quint32 uoo : {5u, 6u}) {
        QFile saved(dir.filePath(QString("%1.bin").arg(uoo)));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), server.knownSets.value(uoo));
    }
    QVERIFY(!QFile::exists(dir.filePath("7.bin")));
}

void TestParamCtl::batches_data()
{
    QTest::addColumn<QByteArray>("batch");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("result"); // of the parameter operations
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("received");
    // fault: how the server fails; empty for one that works.
    QTest::addColumn<QString>("err");

    const QString users = "RPC_GET_CLIENTS_FROM_DB";
    const QString devices = "RPC_LOAD_UOOSTATE_REQUEST";
    const QString operation = "RPC_UOO_PARAMS_OPERATION";
    QTest::newRow("one login for all")
        << QByteArray("# three\nusers\n\ndevices\ncancel 4\nsummary\n") << QStringList{} << "OK"
        << 0 << QStringList{"LOGIN", users, devices, operation, devices} << "";
    QTest::newRow("stop at the first failure")
        << QByteArray("users\ncancel 4\ndevices\n") << QStringList{} << "UOO_IS_BUSY" << 6
        << QStringList{"LOGIN", users, operation} << "standard input:2: cancel failed: UOO_IS_BUSY";
    QTest::newRow("keep going") << QByteArray("users\ncancel 4\ndevices\n")
                                << QStringList{"--keep-going"} << "UOO_IS_BUSY" << 6
                                << QStringList{"LOGIN", users, operation, devices} << "";
    QTest::newRow("bad line: nothing sent")
        << QByteArray("users\nfrobnicate\n") << QStringList{} << "OK" << 9 << QStringList{}
        << "standard input:2: unknown command";
    QTest::newRow("bad line skipped with keep going")
        << QByteArray("users\nparams 9-1\ndevices\n") << QStringList{"--keep-going"} << "OK" << 10
        << QStringList{"LOGIN", users, devices} << "standard input:2: reversed range";
    QTest::newRow("missing set file: nothing sent")
        << QByteArray("users\nschedule 1 /nonexistent/set.bin\n") << QStringList{} << "OK" << 8
        << QStringList{} << "standard input:2: cannot read /nonexistent/set.bin";
    QTest::newRow("too many devices in all: nothing sent")
        << QByteArray("cancel 1-10000\n").repeated(11) << QStringList{} << "OK" << 10
        << QStringList{} << "standard input:11: the device lists of the batch name more than";
    QTest::newRow("empty batch") << QByteArray("# nothing\n") << QStringList{} << "OK" << 0
                                 << QStringList{} << "";
}

void TestParamCtl::batches()
{
    QFETCH(QByteArray, batch);
    QFETCH(QStringList, options);
    QFETCH(QString, result);
    QFETCH(int, code);
    QFETCH(QStringList, received);
    QFETCH(QString, err);

    FakeServer server;
    QVERIFY(server.start());
    server.result = result;
    const Run r = run(server.port(), options + QStringList{"--batch", "-"}, batch);
    QCOMPARE(r.code, code);
    QCOMPARE(server.received, received);
    QVERIFY2(r.err.contains(err), qPrintable(r.err));
}

void TestParamCtl::summaryAndJson()
{
    FakeServer server;
    QVERIFY(server.start());
    UooDescriptor on;
    on.uoo = 1;
    on.status = 0x81;
    UooDescriptor off;
    off.uoo = 2;
    off.device = "say \"hi\"";
    server.devices = {on, off, off};
    Run r = run(server.port(), {"summary"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.lines, QStringList{"known=3\tonline=1\toffline=2"});

    server.pushesAfterLogin = {
        {"RPC_SYS_LOG_MESSAGE", {QString("a line\twith \"quotes\"\n")}},
        {"RPC_NEW_PARAMSSTATE", {QVariant::fromValue(quint32(2))}},
    };
    r = run(server.port(), {"--json", "watch", "--count", "2"});
    QCOMPARE(r.code, 0);
    r.lines += run(server.port(), {"--json", "devices"}).lines;
    r.lines += run(server.port(), {"--json", "cancel", "1"}).lines;
    const QStringList expected{
        R"({"message":"RPC_SYS_LOG_MESSAGE","text":"a line\twith \"quotes\""})",
        R"({"message":"RPC_NEW_PARAMSSTATE","uoo":2})",
        "1 online=true",
        "2 online=false",
        "2 online=false",
        R"({"result":"OK"})"};
    QCOMPARE(r.lines.size(), expected.size());
    for (int i = 0; i < r.lines.size(); ++i) {
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(r.lines[i].toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        if (object.contains("online")) {
            QCOMPARE(QString("%1 online=%2")
                         .arg(object.value("uoo").toInt())
                         .arg(object.value("online").toBool() ? "true" : "false"),
                     expected[i]);
            QCOMPARE(object.keys().size(), 7);
        } else {
            QCOMPARE(r.lines[i], expected[i]);
        }
    }
}

void TestParamCtl::watchEndsWithItsReader()
{
#ifdef Q_OS_UNIX
    FakeServer server;
    QVERIFY(server.start());
    server.pushesAfterLogin = {{"RPC_NEW_PARAMSSTATE", {QVariant::fromValue(quint32(5))}}};
    // Nothing comes after the first line: paramctl must notice that head has gone.
    QProcess shell;
    QSignalSpy done(&shell, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    shell.start("bash",
                {"-c", QString("'%1' --port %2 watch | head -n 1; echo \"${PIPESTATUS[0]}\"")
                           .arg(PARAMCTL_PATH)
                           .arg(server.port())});
    QVERIFY(done.wait(Wait));
    QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()),
             QString("RPC_NEW_PARAMSSTATE\tuoo=5\n0\n"));
#else
    QSKIP("needs POSIX pipes");
#endif
}

QTEST_GUILESS_MAIN(TestParamCtl)
#include "tst_paramctl.moc"
