#include "paramctlbatch.h"
#include "paramctldevicelist.h"
#include "paramctlformat.h"
#include "paramctloptions.h"
#include "paramctlrecord.h"
#include "testfile.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The parsed options in one line, for table-driven comparison.
QString summary(const ParamCtlOptions& o)
{
    QStringList parts;
    parts << "cmd=" + ParamCtlOptions::commandName(o.command);
    parts << QStringLiteral("server=%1:%2").arg(o.host).arg(o.port);
    parts << "as=" + o.login + "/" + o.password;
    parts << QStringLiteral("timeout=%1").arg(o.timeoutSeconds);
    if (!o.account.login.isEmpty()) {
        parts << "account=" + o.account.login + "/" +
                     ParamCtlFormat::permissions(o.account.permissions) + "/" + o.account.fullname +
                     "/" + o.accountPassword;
    }
    if (o.uoo) {
        parts << QStringLiteral("uoo=%1").arg(o.uoo);
    }
    if (!o.file.isEmpty()) {
        parts << "file=" + o.file;
    }
    if (o.time.isValid()) {
        parts << "time=" + o.time.toString("yyyy-MM-dd hh:mm:ss");
    }
    if (!o.saveFile.isEmpty()) {
        parts << "save=" + o.saveFile;
    }
    if (o.watchCount || o.watchSeconds) {
        parts << QStringLiteral("limits=%1/%2").arg(o.watchCount).arg(o.watchSeconds);
    }
    return parts.join(' ');
}

const QString Defaults = "server=127.0.0.1:45432 as=adminvemo/5f1d0c8e2a7b4963d0e18c2f7a9b3e64 "
                         "timeout=10";

} // namespace

class TestParamCtlOptions : public QObject
{
    Q_OBJECT

private slots:
    void validCommandLines_data();
    void validCommandLines();
    void badCommandLines_data();
    void badCommandLines();
    void help();
    void permissionLists_data();
    void permissionLists();
    void escaping();
    void lines();
    void bulkCommandLines_data();
    void bulkCommandLines();
    void deviceLists_data();
    void deviceLists();
    void deviceListFiles_data();
    void deviceListFiles();
    void setFiles();
    void words_data();
    void words();
    void batchLines_data();
    void batchLines();
    void jsonLines();
    void recordForms();
};

void TestParamCtlOptions::validCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");

    QTest::newRow("users") << QStringList{"users"} << "cmd=users " + Defaults;
    QTest::newRow("global options")
        << QStringList{"--host",     "127.0.0.2", "--port=5000", "--login", "op",
                       "--password", "abc",       "--timeout",   "3",       "devices"}
        << "cmd=devices server=127.0.0.2:5000 as=op/abc timeout=3";
    QTest::newRow("options after the command")
        << QStringList{"devices", "--port", "6000"}
        << "cmd=devices server=127.0.0.1:6000 as=adminvemo/5f1d0c8e2a7b4963d0e18c2f7a9b3e64 "
           "timeout=10";
    QTest::newRow("adduser") << QStringList{"adduser", "bob", "d1g3st", "3,6", "Боб Б."}
                             << "cmd=adduser " + Defaults + " account=bob/3,6/Боб Б./d1g3st";
    QTest::newRow("adduser without full name") << QStringList{"adduser", "bob", "d", "127"}
                                               << "cmd=adduser " + Defaults + " account=bob/127//d";
    QTest::newRow("adduser no permissions") << QStringList{"adduser", "bob", "d", "-"}
                                            << "cmd=adduser " + Defaults + " account=bob/-//d";
    QTest::newRow("moduser") << QStringList{"moduser", "bob", "4, 5"}
                             << "cmd=moduser " + Defaults + " account=bob/4,5//";
    QTest::newRow("deluser") << QStringList{"deluser", "bob"}
                             << "cmd=deluser " + Defaults + " account=bob/-//";
    QTest::newRow("deluser remote")
        << QStringList{"deluser", "bob", "5"} << "cmd=deluser " + Defaults + " account=bob/5//";
    QTest::newRow("params") << QStringList{"params", "4294967295"}
                            << "cmd=params " + Defaults + " uoo=4294967295";
    QTest::newRow("params save") << QStringList{"params", "17", "--save", "out.bin"}
                                 << "cmd=params " + Defaults + " uoo=17 save=out.bin";
    QTest::newRow("schedule") << QStringList{"schedule", "17", "set.bin"}
                              << "cmd=schedule " + Defaults + " uoo=17 file=set.bin";
    QTest::newRow("schedule at") << QStringList{"schedule", "17", "set.bin", "--time",
                                                "2024-03-07 13:05:09"}
                                 << "cmd=schedule " + Defaults +
                                        " uoo=17 file=set.bin time=2024-03-07 13:05:09";
    QTest::newRow("cancel") << QStringList{"cancel", "17"} << "cmd=cancel " + Defaults + " uoo=17";
    QTest::newRow("guard") << QStringList{"guard", "9"} << "cmd=guard " + Defaults + " uoo=9";
    QTest::newRow("watch") << QStringList{"watch"} << "cmd=watch " + Defaults;
    QTest::newRow("watch limits") << QStringList{"watch", "--count", "5", "--seconds", "60"}
                                  << "cmd=watch " + Defaults + " limits=5/60";
}

void TestParamCtlOptions::validCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    const ParamCtlOptions options = ParamCtlOptions::parse(QStringList{"paramctl"} + args);
    QCOMPARE(options.error, QString());
    QVERIFY(!options.help);
    QCOMPARE(summary(options), expected);
}

void TestParamCtlOptions::badCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");

    QTest::newRow("nothing") << QStringList{} << "no command";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << "unknown command";
    QTest::newRow("unknown option") << QStringList{"--frob", "users"} << "Unknown option";
    QTest::newRow("missing value") << QStringList{"users", "--port"} << "Missing value";
    QTest::newRow("port zero") << QStringList{"--port", "0", "users"} << "bad port";
    QTest::newRow("port too big") << QStringList{"--port", "65536", "users"} << "bad port";
    QTest::newRow("port not a number") << QStringList{"--port", "http", "users"} << "bad port";
    QTest::newRow("timeout zero") << QStringList{"--timeout", "0", "users"} << "bad timeout";
    QTest::newRow("twice") << QStringList{"--port", "1", "--port", "2", "users"}
                           << "more than once";
    QTest::newRow("users with argument") << QStringList{"users", "x"} << "wrong number";
    QTest::newRow("adduser short") << QStringList{"adduser", "bob", "d"} << "wrong number";
    QTest::newRow("adduser long") << QStringList{"adduser", "a", "b", "3", "d", "e"}
                                  << "wrong number";
    QTest::newRow("empty login") << QStringList{"moduser", "", "3"} << "empty login";
    QTest::newRow("bad permissions") << QStringList{"moduser", "bob", "3;6"} << "bad permission";
    QTest::newRow("permission above 255")
        << QStringList{"moduser", "bob", "256"} << "bad permission";
    // A leading dash makes an option of it.
    QTest::newRow("negative permission")
        << QStringList{"moduser", "bob", "-3"} << "Unknown option '3'";
    QTest::newRow("params no uoo") << QStringList{"params"} << "wrong number";
    QTest::newRow("uoo not a number") << QStringList{"params", "abc"} << "bad UOO";
    QTest::newRow("uoo too big") << QStringList{"guard", "4294967296"} << "bad UOO";
    QTest::newRow("uoo negative") << QStringList{"cancel", "-1"} << "Unknown option '1'";
    QTest::newRow("schedule no file") << QStringList{"schedule", "17"} << "wrong number";
    QTest::newRow("bad time") << QStringList{"schedule", "17", "f", "--time", "2024-13-01 00:00:00"}
                              << "bad time";
    QTest::newRow("time with watch")
        << QStringList{"watch", "--time", "2024-01-01 00:00:00"} << "only goes with 'schedule'";
    QTest::newRow("count with users")
        << QStringList{"users", "--count", "1"} << "only goes with 'watch'";
    QTest::newRow("save with devices")
        << QStringList{"devices", "--save", "x"} << "only goes with 'params'";
    QTest::newRow("count zero") << QStringList{"watch", "--count", "0"} << "bad count";
    QTest::newRow("seconds text") << QStringList{"watch", "--seconds", "soon"} << "bad seconds";
}

void TestParamCtlOptions::badCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    const ParamCtlOptions options = ParamCtlOptions::parse(QStringList{"paramctl"} + args);
    QVERIFY2(options.error.contains(error), qPrintable(options.error));
}

void TestParamCtlOptions::help()
{
    QVERIFY(ParamCtlOptions::parse({"paramctl", "--help"}).help);
    QVERIFY(ParamCtlOptions::parse({"paramctl", "users", "-h"}).help);
    const QString text = ParamCtlOptions::helpText();
    for (const char* word : {"users", "adduser", "moduser", "deluser", "devices", "params",
                             "schedule", "cancel", "guard", "watch", "--timeout", "Exit status"}) {
        QVERIFY2(text.contains(QLatin1String(word)), word);
    }
}

void TestParamCtlOptions::permissionLists_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("codes");

    QTest::newRow("two") << "3,6" << true << "3,6";
    QTest::newRow("spaces") << " 3 , 6 " << true << "3,6";
    QTest::newRow("all") << "127" << true << "127";
    QTest::newRow("bounds") << "0,255" << true << "0,255";
    QTest::newRow("none dash") << "-" << true << "-";
    QTest::newRow("none empty") << "" << true << "-";
    QTest::newRow("empty item") << "3,,6" << false << "-";
    QTest::newRow("trailing comma") << "3," << false << "-";
    QTest::newRow("too big") << "3,256" << false << "-";
    QTest::newRow("text") << "admin" << false << "-";
    QTest::newRow("hex") << "0x7f" << false << "-";
}

void TestParamCtlOptions::permissionLists()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, codes);
    QList<quint8> parsed{1};
    QCOMPARE(ParamCtlFormat::parsePermissions(text, &parsed), ok);
    QCOMPARE(ParamCtlFormat::permissions(parsed), codes);
}

void TestParamCtlOptions::escaping()
{
    QCOMPARE(ParamCtlFormat::escape("plain текст"), QString("plain текст"));
    QCOMPARE(ParamCtlFormat::escape("a\tb\nc\rd\\e"), QString("a\\tb\\nc\\rd\\\\e"));
    QCOMPARE(ParamCtlFormat::dateTime(QDateTime()), QString("-"));
    QCOMPARE(ParamCtlFormat::dateTime(QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9))),
             QString("2024-03-07 13:05:09"));
    QCOMPARE(ParamCtlFormat::dateTime(QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9), Qt::UTC)),
             QString("2024-03-07 13:05:09Z"));
}

void TestParamCtlOptions::lines()
{
    VemoRpcClient client;
    client.login = "op%1";
    client.permissions = {3, 6};
    client.fullname = "Иван\tИванов";
    client.writesleft = -1;
    client.lastwrite = 4000000000u;
    QCOMPARE(ParamCtlFormat::client(client),
             QString("login=op%1\tpermissions=3,6\tfullname=Иван\\tИванов\twritesleft=-1"
                     "\tlastwrite=4000000000"));

    UooDescriptor d;
    d.uoo = 17;
    d.device = "УОО %2";
    d.ip = 0x7F000001;
    d.port = 5000;
    d.status = 0x81;
    d.version = 0x010203;
    QCOMPARE(ParamCtlFormat::descriptor(d),
             QString("uoo=17\tdevice=УОО %2\tip=127.0.0.1\tport=5000\tstatus=0x81\tonline=yes"
                     "\tversion=0x010203"));
    d.status = 0;
    d.version = 0;
    QVERIFY(ParamCtlFormat::descriptor(d).contains("\tstatus=0x00\tonline=no\tversion=0x000000"));

    UooRParamsDesc p;
    p.uoo = 17;
    p.state = UooRParamsDesc::PAR_STATE_WAIT_DWLD;
    p.writeLeft = 1;
    p.leftToSend = 20;
    p.flags = 1;
    p.device = "dev";
    p.pversion = "2.1";
    p.uootime = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5));
    p.uooparams = QByteArray(30, 'x');
    p.localparams = QByteArray(20, 'y');
    QCOMPARE(ParamCtlFormat::params(p),
             QString("uoo=17\tstate=2\tstatename=WAIT_DWLD\twriteleft=1\tlefttosend=20\tflags=1"
                     "\tdevice=dev\tpversion=2.1\tuootime=2024-01-02 03:04:05\tlocaltime=-"
                     "\tuooparams=30\tlocalparams=20"));
    QCOMPARE(ParamCtlFormat::stateName(99), QString("UNKNOWN"));
}

void TestParamCtlOptions::bulkCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected"); // the error, or the devices and options

    QTest::newRow("batch") << QStringList{"--batch", "jobs.txt"} << 0 << "batch=jobs.txt";
    QTest::newRow("batch stdin keep going")
        << QStringList{"--keep-going", "--batch", "-", "--json"} << 0 << "batch=- keep json";
    QTest::newRow("summary") << QStringList{"summary"} << 0 << "summary";
    QTest::newRow("list") << QStringList{"schedule", "1,5-7,@f", "s.bin"} << 0
                          << "schedule devices=1,5-7,@f";
    QTest::newRow("plain number is no list") << QStringList{"cancel", "17"} << 0 << "cancel";
    QTest::newRow("save dir") << QStringList{"params", "1-3", "--save-dir", "d"} << 0
                              << "params devices=1-3 dir=d";
    QTest::newRow("watch params") << QStringList{"watch", "--params"} << 0 << "watch params";
    QTest::newRow("retries") << QStringList{"--login-retries", "0", "users"} << 0 << "users";

    QTest::newRow("keep going alone")
        << QStringList{"--keep-going", "users"} << 2 << "only goes with --batch";
    QTest::newRow("batch and command")
        << QStringList{"--batch", "f", "users"} << 2 << "no command goes with --batch";
    QTest::newRow("save with list")
        << QStringList{"params", "1,2", "--save", "x"} << 2 << "use --save-dir";
    QTest::newRow("save and save dir")
        << QStringList{"params", "1", "--save", "x", "--save-dir", "d"} << 2 << "do not go";
    QTest::newRow("params option elsewhere")
        << QStringList{"devices", "--params"} << 2 << "only goes with 'watch'";
    QTest::newRow("retries too many")
        << QStringList{"--login-retries", "101", "users"} << 2 << "bad login retries";
    QTest::newRow("reversed range") << QStringList{"cancel", "9-3"} << 10 << "reversed range";
    QTest::newRow("bad number") << QStringList{"params", "12x"} << 10 << "bad UOO number";
    QTest::newRow("guard takes no list") << QStringList{"guard", "1,2"} << 10 << "bad UOO";
}

void TestParamCtlOptions::bulkCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, expected);
    const ParamCtlOptions o = ParamCtlOptions::parse(QStringList{"paramctl"} + args);
    if (code != 0) {
        QCOMPARE(o.errorCode, code);
        QVERIFY2(o.error.contains(expected), qPrintable(o.error));
        return;
    }
    QCOMPARE(o.error, QString());
    QStringList parts;
    if (!o.batchFile.isEmpty()) {
        parts << "batch=" + o.batchFile;
    }
    if (o.keepGoing) {
        parts << "keep";
    }
    if (o.json) {
        parts << "json";
    }
    if (o.command != ParamCtlOptions::Command::None) {
        parts << ParamCtlOptions::commandName(o.command);
    }
    if (o.isList()) {
        parts << "devices=" + o.devices;
    }
    if (!o.saveDir.isEmpty()) {
        parts << "dir=" + o.saveDir;
    }
    if (o.watchParams) {
        parts << "params";
    }
    QCOMPARE(parts.join(' '), expected);
}

void TestParamCtlOptions::deviceLists_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("devices"); // first..last (count) in order, or the error
    QTest::addColumn<bool>("ok");

    QTest::newRow("one") << "4711"
                         << "4711..4711 (1)" << true;
    QTest::newRow("list") << "4711,4712"
                          << "4711..4712 (2)" << true;
    QTest::newRow("range") << "4800-4899"
                           << "4800..4899 (100)" << true;
    QTest::newRow("blanks") << " 1 , 3 - 4 "
                            << "1..4 (3)" << true;
    QTest::newRow("twice taken once") << "5,1-6,5"
                                      << "5..6 (6)" << true;
    QTest::newRow("one-device range") << "7-7"
                                      << "7..7 (1)" << true;
    QTest::newRow("largest number") << "4294967295"
                                    << "4294967295..4294967295 (1)" << true;
    QTest::newRow("range at the top") << "4294967290-4294967295"
                                      << "4294967290..4294967295 (6)" << true;
    QTest::newRow("at the limit") << "1-10000"
                                  << "1..10000 (10000)" << true;
    QTest::newRow("limit counts distinct") << "1-10000,5000"
                                           << "1..10000 (10000)" << true;
    QTest::newRow("order kept") << "9,2,5-6"
                                << "9..6 (4)" << true;

    QTest::newRow("reversed") << "9-3"
                              << "reversed range '9-3'" << false;
    QTest::newRow("too large range") << "1-10001"
                                     << "range '1-10001' too large" << false;
    QTest::newRow("whole number space") << "0-4294967295"
                                        << "too large" << false;
    QTest::newRow("too many in all") << "1-6000,10001-16000"
                                     << "more than 10000" << false;
    QTest::newRow("number too big") << "4294967296"
                                    << "bad UOO number" << false;
    QTest::newRow("empty item") << "1,,2"
                                << "empty item" << false;
    QTest::newRow("trailing comma") << "1,"
                                    << "empty item" << false;
    QTest::newRow("open range") << "5-"
                                << "bad range '5-'" << false;
    QTest::newRow("two dashes") << "1-2-3"
                                << "bad range" << false;
    QTest::newRow("sign") << "+5,6"
                          << "bad UOO number '+5'" << false;
    QTest::newRow("hex") << "0x10,1"
                         << "bad UOO number" << false;
    QTest::newRow("at without file") << "1,@"
                                     << "without a file name" << false;
}

void TestParamCtlOptions::deviceLists()
{
    QFETCH(QString, text);
    QFETCH(QString, devices);
    QFETCH(bool, ok);
    QList<quint32> uoos{99};
    QString error;
    int code = -1;
    QCOMPARE(ParamCtlDeviceList::parse(text, true, &uoos, &error, &code), ok);
    if (!ok) {
        QCOMPARE(code, int(ParamCtlExitCode::BadDeviceList));
        QVERIFY2(error.contains(devices), qPrintable(error));
        return;
    }
    QCOMPARE(QString("%1..%2 (%3)").arg(uoos.first()).arg(uoos.last()).arg(uoos.size()), devices);
    QCOMPARE(QSet<quint32>(uoos.begin(), uoos.end()).size(), uoos.size());
}

void TestParamCtlOptions::deviceListFiles_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected"); // the devices, or the error

    QTest::newRow("numbers and ranges")
        << QByteArray("4711\n# spare devices\n\n 4800-4802 \r\n12\n") << 0
        << "4711,4800,4801,4802,12";
    QTest::newRow("no file") << QByteArray() << 8 << "cannot read device list";
    QTest::newRow("bad line named")
        << QByteArray("4711\n\nabc\n") << 10 << "list.txt:3: bad UOO number 'abc'";
    QTest::newRow("reversed range in file")
        << QByteArray("9-1\n") << 10 << "list.txt:1: reversed range";
    QTest::newRow("only comments") << QByteArray("# none yet\n") << 10 << "names no device";
}

void TestParamCtlOptions::deviceListFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(int, code);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath("list.txt");
    if (!content.isNull()) {
        QVERIFY(writeTestFile(path, content));
    }
    // Through the command line, as paramctl reads it.
    ParamCtlOptions o = ParamCtlOptions::parse({"paramctl", "params", "@" + path});
    QCOMPARE(o.error, QString());
    QCOMPARE(o.load(), code == 0);
    if (code != 0) {
        QCOMPARE(o.errorCode, code);
        QVERIFY2(o.error.contains(expected), qPrintable(o.error));
        return;
    }
    QStringList devices;
    for (quint32 uoo : qAsConst(o.uoos)) {
        devices << QString::number(uoo);
    }
    QCOMPARE(devices.join(','), expected);
}

void TestParamCtlOptions::setFiles()
{
    QTemporaryDir dir;
    const QString empty = dir.filePath("empty.bin");
    const QString set = dir.filePath("set.bin");
    QVERIFY(writeTestFile(empty, QByteArray()));
    QVERIFY(writeTestFile(set, QByteArray("\x01\x00\x02", 3)));

    ParamCtlOptions o = ParamCtlOptions::parse({"paramctl", "schedule", "1-3", set});
    QVERIFY(o.load());
    QCOMPARE(o.newParams, QByteArray("\x01\x00\x02", 3));
    QCOMPARE(o.uoos, (QList<quint32>{1, 2, 3}));

    o = ParamCtlOptions::parse({"paramctl", "schedule", "1", empty});
    QVERIFY(!o.load());
    QCOMPARE(o.errorCode, int(ParamCtlExitCode::EmptySetFile));
    QVERIFY(o.error.contains("empty.bin is empty"));

    o = ParamCtlOptions::parse({"paramctl", "schedule", "1", dir.filePath("none.bin")});
    QVERIFY(!o.load());
    QCOMPARE(o.errorCode, int(ParamCtlExitCode::FileError));

    o = ParamCtlOptions::parse({"paramctl", "params", "1", "--save-dir", dir.filePath("none")});
    QVERIFY(!o.load());
    QCOMPARE(o.errorCode, int(ParamCtlExitCode::FileError));
}

void TestParamCtlOptions::words_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("words"); // empty with an error expected
    QTest::addColumn<QString>("error");

    QTest::newRow("plain") << "schedule  4711\tset.bin"
                           << QStringList{"schedule", "4711", "set.bin"} << "";
    QTest::newRow("double quotes")
        << "schedule 1 s --time \"2024-03-07 13:05:09\""
        << QStringList{"schedule", "1", "s", "--time", "2024-03-07 13:05:09"} << "";
    QTest::newRow("single quotes keep backslashes")
        << "adduser op 'a\\b c' 3" << QStringList{"adduser", "op", "a\\b c", "3"} << "";
    QTest::newRow("backslash") << "adduser a\\ b \\\"x" << QStringList{"adduser", "a b", "\"x"}
                               << "";
    QTest::newRow("empty quotes") << "deluser \"\"" << QStringList{"deluser", ""} << "";
    QTest::newRow("quotes inside a word") << "a\"b c\"d" << QStringList{"ab cd"} << "";
    QTest::newRow("open double quote") << "adduser \"op" << QStringList{} << "not closed";
    QTest::newRow("open single quote") << "adduser 'op" << QStringList{} << "not closed";
    QTest::newRow("trailing backslash") << "users \\" << QStringList{} << "backslash";
}

void TestParamCtlOptions::words()
{
    QFETCH(QString, line);
    QFETCH(QStringList, words);
    QFETCH(QString, error);
    QStringList split{"stale"};
    QString message;
    QCOMPARE(ParamCtlBatch::splitWords(line, &split, &message), error.isEmpty());
    if (error.isEmpty()) {
        QCOMPARE(split, words);
    } else {
        QVERIFY2(message.contains(error), qPrintable(message));
    }
}

void TestParamCtlOptions::batchLines_data()
{
    QTest::addColumn<QString>("text");
    // One entry per command: line:name, or line:code:error.
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("commands, comments and blank lines")
        << "# nightly\n\nsummary\r\n  params 1-3 --save-dir out\nschedule 4711 s.bin --time "
           "\"2024-03-07 13:05:09\"\nwatch --seconds 5\n"
        << QStringList{"3:summary", "4:params", "5:schedule", "6:watch"};
    QTest::newRow("bad lines keep their place")
        << "users\nfrobnicate 1\nparams 7-2\nusers x\n"
        << QStringList{"1:users", "2:9:jobs:2: unknown command 'frobnicate'",
                       "3:10:jobs:3: reversed range '7-2'", "4:9:jobs:4: wrong number"};
    QTest::newRow("global options belong on the command line")
        << "users --port 1\n--json devices\ndevices --batch x\n"
        << QStringList{"1:9:jobs:1: option --port belongs on the command line",
                       "2:9:jobs:2: option --json", "3:9:jobs:3: option --batch"};
    QTest::newRow("watch needs a limit")
        << "watch\nwatch --count 3\n"
        << QStringList{"1:9:jobs:1: watch in a batch needs", "2:watch"};
    QTest::newRow("open quote") << "adduser \"op 1 3\n"
                                << QStringList{"1:9:jobs:1: quote \" not closed"};
    QTest::newRow("only options") << "--time x\n" << QStringList{"1:9:jobs:1:"};
}

void TestParamCtlOptions::batchLines()
{
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QList<ParamCtlCommand> commands;
    QString error;
    QVERIFY(ParamCtlBatch::parse(text, "jobs", &commands, &error));
    QCOMPARE(commands.size(), expected.size());
    for (int i = 0; i < commands.size(); ++i) {
        const ParamCtlCommand& c = commands.at(i);
        const QStringList want = expected.at(i).split(':');
        QCOMPARE(c.line, want.at(0).toInt());
        if (want.size() == 2) {
            QCOMPARE(c.error, QString());
            QCOMPARE(ParamCtlCommand::commandName(c.command), want.at(1));
        } else {
            QCOMPARE(c.errorCode, want.at(1).toInt());
            const QString message = expected.at(i).section(':', 2);
            QVERIFY2(c.error.startsWith(message), qPrintable(c.error));
        }
    }

    // A batch of more commands than allowed is refused as a whole.
    QString many;
    for (int i = 0; i <= ParamCtlBatch::MaxCommands; ++i) {
        many += "users\n";
    }
    QVERIFY(!ParamCtlBatch::parse(many, "jobs", &commands, &error));
    QVERIFY2(error.contains("more than"), qPrintable(error));
}

void TestParamCtlOptions::jsonLines()
{
    VemoRpcClient client;
    client.login = "op \"night\"";
    client.permissions = {3, 6};
    client.fullname = "Иван\tИванов\\\n\x01";
    client.writesleft = -1;
    client.lastwrite = 4000000000u;
    const QString line = ParamCtlFormat::clientRecord(client).json();
    QVERIFY2(!line.contains('\n') && !line.contains('\t'), qPrintable(line));
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &parseError);
    QCOMPARE(parseError.error, QJsonParseError::NoError);
    const QJsonObject o = doc.object();
    QCOMPARE(o.keys().size(), 5);
    QCOMPARE(o.value("login").toString(), client.login);
    QCOMPARE(o.value("fullname").toString(), client.fullname);
    QCOMPARE(o.value("permissions").toVariant(), QVariant(QVariantList{3, 6}));
    QCOMPARE(o.value("writesleft").toInt(), -1);
    QCOMPARE(o.value("lastwrite").toDouble(), 4000000000.0);
    // The same record as a tab-separated line is unchanged.
    QCOMPARE(ParamCtlFormat::clientRecord(client).tsv(), ParamCtlFormat::client(client));

    UooDescriptor d;
    d.uoo = 17;
    d.status = 0x80;
    const QJsonObject device =
        QJsonDocument::fromJson(ParamCtlFormat::descriptorRecord(d).json().toUtf8()).object();
    QCOMPARE(device.value("online"), QJsonValue(true));
    QCOMPARE(device.value("status"), QJsonValue("0x80"));
    QCOMPARE(device.value("uoo"), QJsonValue(17));

    UooRParamsDesc p;
    p.uootime = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5));
    const QJsonObject params =
        QJsonDocument::fromJson(ParamCtlFormat::paramsRecord(p).json().toUtf8()).object();
    QCOMPARE(params.value("uootime"), QJsonValue("2024-01-02 03:04:05"));
    QVERIFY(params.value("localtime").isNull());
    QCOMPARE(params.keys().size(), 12);
}

// Every kind of field in both forms, byte for byte: scripts read these lines.
void TestParamCtlOptions::recordForms()
{
    const ParamCtlRecord record = ParamCtlRecord()
                                      .text("text", "a\tb \"q\" \\")
                                      .number("number", -5)
                                      .boolean("flag", true, "yes", "no")
                                      .boolean("off", false, "yes", "no")
                                      .numbers("list", {3, 6})
                                      .numbers("none", {})
                                      .optionalText("set", "x", true)
                                      .optionalText("unset", "x", false);
    QCOMPARE(record.tsv(), QString("text=a\\tb \"q\" \\\\\tnumber=-5\tflag=yes\toff=no\tlist=3,6\t"
                                   "none=-\tset=x\tunset=-"));
    QCOMPARE(record.json(),
             QString("{\"text\":\"a\\tb \\\"q\\\" \\\\\",\"number\":-5,\"flag\":true,\"off\":false,"
                     "\"list\":[3,6],\"none\":[],\"set\":\"x\",\"unset\":null}"));
    QCOMPARE(ParamCtlRecord().number("uoo", 1).append(record.without("text")).tsv(),
             QString("uoo=1\tnumber=-5\tflag=yes\toff=no\tlist=3,6\tnone=-\tset=x\tunset=-"));
}

QTEST_GUILESS_MAIN(TestParamCtlOptions)
#include "tst_paramctloptions.moc"
