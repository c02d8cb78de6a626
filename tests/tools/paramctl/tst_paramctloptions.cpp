#include "paramctlformat.h"
#include "paramctloptions.h"

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

QTEST_GUILESS_MAIN(TestParamCtlOptions)
#include "tst_paramctloptions.moc"
