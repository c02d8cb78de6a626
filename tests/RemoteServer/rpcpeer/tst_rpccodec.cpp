#include "rpcbytes.h"
#include "rpccodec.h"
#include "rpccomparators.h"
#include "rpcframereader.h"
#include "rpctypes.h"

#include <QDataStream>
#include <QtEndian>
#include <QtTest>

using namespace RpcBytes;

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', "").replace('\n', ""));
}

QByteArray variantBytes(const QVariant& value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(RpcCodec::StreamVersion);
    if (!RpcCodec::writeVariant(out, value)) {
        return QByteArray("<not written>");
    }
    return bytes;
}

// A QString as QDataStream writes it.
QByteArray str(const QString& text)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << text;
    return bytes;
}

RpcCodec::BodyStatus decode(const QByteArray& bytes, RpcCodec::Message& message)
{
    return RpcCodec::decodeBody(bytes.constData(), bytes.size(), message);
}

VemoRpcClient sampleClient()
{
    VemoRpcClient client;
    client.loggedIn = true; // never travels
    client.permissions = {3, 6, 127};
    client.login = QStringLiteral("operator");
    client.fullname = QStringLiteral("Иванов И. И.");
    client.writesleft = -5;
    client.lastwrite = 0xFFFFFFF0u;
    return client;
}

UooDescriptor sampleDescriptor(quint32 uoo)
{
    UooDescriptor d;
    d.extraText = QStringLiteral("x");
    d.device = QStringLiteral("УОО-4");
    d.extraNumber = -7;
    d.uoo = uoo;
    d.version = 0x010203;
    d.status = 0x80;
    d.ip = 0x7F000001;
    d.port = 5000;
    d.extraShort = -2;
    d.flagA = 1;
    d.flagB = -1;
    return d;
}

UooRParamsDesc sampleParams()
{
    UooRParamsDesc p;
    p.uoo = 17;
    p.state = UooRParamsDesc::PAR_STATE_WAIT_DWLD;
    p.writeLeft = 2;
    p.leftToSend = 300;
    p.flags = 1;
    p.device = QStringLiteral("dev");
    p.pversion = QStringLiteral("1.2");
    p.uootime = QDateTime(QDate(2023, 1, 2), QTime(3, 4, 5));
    p.localtime = QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC);
    p.uooparams = QByteArray(1000, 'u');
    p.localparams = QByteArray("\x00\x01\x02", 3);
    return p;
}

} // namespace

class TestRpcCodec : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { registerRpcComparators(); }

    void referenceFrames_data();
    void referenceFrames();
    void referenceVariants_data();
    void referenceVariants();
    void zonedDateTimes_data();
    void zonedDateTimes();
    void argumentsCountedToFirstInvalid();
    void roundTrip_data();
    void roundTrip();
    void aliasNameResolves();
    void badBodies_data();
    void badBodies();
    void hugeCountsAreCheap_data();
    void hugeCountsAreCheap();
    void listElementCaps_data();
    void listElementCaps();
    void deepNestingIsRejected();
    void unsendableTypes();

    void frameReaderSplitsStream();
    void frameReaderLimits();
    void frameReaderCompacts();
};

void TestRpcCodec::referenceFrames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("LOGIN_RESULT")
        << "LOGIN_RESULT"
        << QVariantList{QString("LOGIN_OK"), QVariant::fromValue(QList<quint8>{3, 6})}
        << hex("52 00 00 00 00 00 00 18 00 4c 00 4f 00 47 00 49 00 4e 00 5f 00 52 00 45"
               "00 53 00 55 00 4c 00 54 02 00 00 00 0a 00 00 00 00 10 00 4c 00 4f 00 47"
               "00 49 00 4e 00 5f 00 4f 00 4b 00 00 04 00 00 00 00 00 0d 51 4c 69 73 74"
               "3c 75 63 68 61 72 3e 00 00 00 00 02 03 06");
    QTest::newRow("RPC_NEW_PARAMSSTATE")
        << "RPC_NEW_PARAMSSTATE" << QVariantList{QVariant::fromValue(quint32(17))}
        << hex("34 00 00 00 00 00 00 26 00 52 00 50 00 43 00 5f 00 4e 00 45 00 57 00 5f"
               "00 50 00 41 00 52 00 41 00 4d 00 53 00 53 00 54 00 41 00 54 00 45 01 00"
               "00 00 03 00 00 00 00 11");
    QTest::newRow("RPC_GET_CLIENTS_FROM_DB")
        << "RPC_GET_CLIENTS_FROM_DB" << QVariantList()
        << hex("33 00 00 00 00 00 00 2e 00 52 00 50 00 43 00 5f 00 47 00 45 00 54 00 5f"
               "00 43 00 4c 00 49 00 45 00 4e 00 54 00 53 00 5f 00 46 00 52 00 4f 00 4d"
               "00 5f 00 44 00 42 00");
}

void TestRpcCodec::referenceFrames()
{
    QFETCH(QString, name);
    QFETCH(QVariantList, args);
    QFETCH(QByteArray, expected);

    const QByteArray frame = RpcCodec::encodeFrame(name, args);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));

    // And back: the same name, the same types and values.
    QVERIFY(frame.size() >= RpcCodec::HeaderSize);
    QCOMPARE(RpcCodec::readLength(frame.constData()), quint32(frame.size() - 4));
    RpcCodec::Message message;
    QCOMPARE(decode(frame.mid(4), message), RpcCodec::BodyStatus::Ok);
    QCOMPARE(message.name, name);
    QCOMPARE(message.args.size(), args.size());
    for (int i = 0; i < args.size(); ++i) {
        QCOMPARE(message.args.at(i).userType(), args.at(i).userType());
        QCOMPARE(message.args.at(i), args.at(i));
    }
}

void TestRpcCodec::referenceVariants_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("QDateTime local")
        << QVariant(QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9)))
        << hex("00 00 00 10 00 00 00 00 00 00 25 8a d9 02 ce d3 88 00");
    QTest::newRow("QDateTime null")
        << QVariant(QDateTime()) << hex("00 00 00 10 00 80 00 00 00 00 00 00 00 ff ff ff ff 00");
    QTest::newRow("QString null") << QVariant(QString()) << hex("00 00 00 0a 00 ff ff ff ff");
    QTest::newRow("QString empty") << QVariant(QString("")) << hex("00 00 00 0a 00 00 00 00 00");
    QTest::newRow("QByteArray null") << QVariant(QByteArray()) << hex("00 00 00 0c 00 ff ff ff ff");
    QTest::newRow("quint64") << QVariant::fromValue(quint64(0x0102030405060708ULL))
                             << hex("00 00 00 05 00 01 02 03 04 05 06 07 08");
    QTest::newRow("bool") << QVariant(true) << hex("00 00 00 01 00 01");
    QTest::newRow("int") << QVariant(-2) << hex("00 00 00 02 00 ff ff ff fe");
    QTest::newRow("credentials")
        << QVariant::fromValue(VemoRpcCredentials{QStringLiteral("a"), QStringLiteral("b")})
        << (userHeader("VemoRpcCredentials") + hex("00 00 00 02 00 61 00 00 00 02 00 62"));
}

void TestRpcCodec::referenceVariants()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, expected);
    QCOMPARE(variantBytes(value).toHex(' '), expected.toHex(' '));

    QDataStream in(expected);
    in.setVersion(RpcCodec::StreamVersion);
    QVariant decoded;
    QVERIFY(RpcCodec::readVariant(in, decoded));
    QCOMPARE(decoded.userType(), value.userType());
    QVERIFY(in.atEnd());
}

void TestRpcCodec::zonedDateTimes_data()
{
    // 2024-03-07 13:05:09 at UTC+3, as Qt 5.15 writes it at stream version Qt_5_3.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("read");
    const QByteArray head = hex("00 00 00 10 00 00 00 00 00 00 25 8a d9 02 ce d3 88");
    const QByteArray utc3 = hex("00 00 00 0c 00 55 00 54 00 43 00 2b 00 30 00 33");
    QTest::newRow("offset") << head + hex("02 00 00 2a 30") << true;
    QTest::newRow("named zone")
        << head + hex("03") + str("Europe/Moscow") << true;
    QTest::newRow("offset zone") << head + hex("03") + str("OffsetFromUtc") + utc3 +
                                        hex("00 00 2a 30") + utc3 + utc3 + be32(0) + utc3
                                 << true;
    QTest::newRow("unknown zone") << head + hex("03") + str("Nowhere/Atlantis") << false;
    QTest::newRow("path as zone") << head + hex("03") + str("../../etc/passwd") << false;
    QTest::newRow("offset out of range") << head + hex("02 00 01 51 81") << false;
}

void TestRpcCodec::zonedDateTimes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, read);
    RpcCodec::Message message;
    QCOMPARE(decode(body("T", 1, bytes), message) == RpcCodec::BodyStatus::Ok, read);
    if (read) {
        const QDateTime time = message.args.value(0).toDateTime();
        QCOMPARE(time.toMSecsSinceEpoch(),
                 QDateTime(QDate(2024, 3, 7), QTime(10, 5, 9), Qt::UTC).toMSecsSinceEpoch());
        QCOMPARE(time.timeSpec(), Qt::LocalTime);
    }
}

void TestRpcCodec::argumentsCountedToFirstInvalid()
{
    const QByteArray frame =
        RpcCodec::encodeFrame("X", QVariantList{1, QVariant(), 2, 3, 4, 5, 6, 7, 8, 9});
    RpcCodec::Message message;
    QCOMPARE(decode(frame.mid(4), message), RpcCodec::BodyStatus::Ok);
    QCOMPARE(message.args, QVariantList{1});

    // Never more than eight.
    QVariantList many;
    for (int i = 0; i < 10; ++i) {
        many << i;
    }
    QCOMPARE(decode(RpcCodec::encodeFrame("Y", many).mid(4), message), RpcCodec::BodyStatus::Ok);
    QCOMPARE(message.args.size(), 8);
    QCOMPARE(message.args.last().toInt(), 7);
}

void TestRpcCodec::roundTrip_data()
{
    QTest::addColumn<QVariant>("value");

    VemoRpcClient client = sampleClient();
    QTest::newRow("bool") << QVariant(false);
    QTest::newRow("int") << QVariant(-123456);
    QTest::newRow("uint") << QVariant::fromValue(quint32(0xFFFFFFFFu));
    QTest::newRow("qlonglong") << QVariant::fromValue(qint64(-1));
    QTest::newRow("qulonglong") << QVariant::fromValue(quint64(1) << 63);
    QTest::newRow("QString") << QVariant(QStringLiteral("Сервер администрирования"));
    QTest::newRow("QByteArray") << QVariant(QByteArray("\x00\xff\x10", 3));
    QTest::newRow("QDateTime UTC")
        << QVariant(QDateTime(QDate(2020, 2, 29), QTime(23, 59, 59, 999), Qt::UTC));
    QTest::newRow("QDateTime offset")
        << QVariant(QDateTime(QDate(2020, 2, 29), QTime(1, 0), Qt::OffsetFromUTC, 3 * 3600));
    QTest::newRow("QStringList") << QVariant(QStringList{"a", QString(), "в"});
    QTest::newRow("credentials") << QVariant::fromValue(
        VemoRpcCredentials{"adminvemo", "5f1d0c8e2a7b4963d0e18c2f7a9b3e64"});
    QTest::newRow("client") << QVariant::fromValue(client);
    QTest::newRow("client list") << QVariant::fromValue(
        QList<VemoRpcClient>{client, VemoRpcClient(), client});
    QTest::newRow("descriptor") << QVariant::fromValue(sampleDescriptor(42));
    QTest::newRow("descriptor list")
        << QVariant::fromValue(QList<UooDescriptor>{sampleDescriptor(1), sampleDescriptor(2)});
    QTest::newRow("empty descriptor list") << QVariant::fromValue(QList<UooDescriptor>());
    QTest::newRow("params") << QVariant::fromValue(sampleParams());
    QTest::newRow("account") << QVariant::fromValue(AccountInfo{"Full Name", -1, 99});
    QTest::newRow("permissions") << QVariant::fromValue(QList<quint8>{127, 0, 255});
}

void TestRpcCodec::roundTrip()
{
    QFETCH(QVariant, value);
    const QByteArray frame = RpcCodec::encodeFrame("ECHO", QVariantList{value, value});
    QVERIFY(!frame.isEmpty());
    RpcCodec::Message message;
    QCOMPARE(decode(frame.mid(4), message), RpcCodec::BodyStatus::Ok);
    QCOMPARE(message.args.size(), 2);
    QVariant expected = value;
    if (value.userType() == qMetaTypeId<VemoRpcClient>()) {
        VemoRpcClient c = value.value<VemoRpcClient>();
        c.loggedIn = false;
        expected = QVariant::fromValue(c);
    } else if (value.userType() == qMetaTypeId<QList<VemoRpcClient>>()) {
        auto list = value.value<QList<VemoRpcClient>>();
        for (VemoRpcClient& c : list) {
            c.loggedIn = false;
        }
        expected = QVariant::fromValue(list);
    }
    for (const QVariant& arg : qAsConst(message.args)) {
        QCOMPARE(arg.userType(), value.userType());
        QCOMPARE(arg, expected);
    }
}

void TestRpcCodec::aliasNameResolves()
{
    // The alias the permission list is registered under reads as the same type.
    const QByteArray args = userHeader("QList<quint8>") + hex("00 00 00 02 03 06");
    RpcCodec::Message message;
    QCOMPARE(decode(body("LOGIN_RESULT", 1, args), message), RpcCodec::BodyStatus::Ok);
    QCOMPARE(message.args.at(0).userType(), qMetaTypeId<QList<quint8>>());
    QCOMPARE(message.args.at(0).value<QList<quint8>>(), (QList<quint8>{3, 6}));
}

void TestRpcCodec::badBodies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");

    const int protocol = int(RpcCodec::BodyStatus::ProtocolError);
    const int bad = int(RpcCodec::BodyStatus::BadArguments);
    const int ok = int(RpcCodec::BodyStatus::Ok);

    QTest::newRow("garbage") << hex("de ad be ef 01") << protocol;
    QTest::newRow("name cut short") << hex("00 00 00 10 00 41") << protocol;
    QTest::newRow("odd name length") << hex("00 00 00 03 00 41 00 00") << protocol;
    QTest::newRow("no count") << body("X", 0).chopped(1) << protocol;
    QTest::newRow("count 9") << body("X", 9, QByteArray(100, '\0')) << protocol;
    QTest::newRow("count 255") << body("X", 255) << protocol;
    QTest::newRow("null name, no args") << hex("ff ff ff ff 00") << ok;
    QTest::newRow("missing argument") << body("X", 1) << bad;
    QTest::newRow("second argument missing")
        << body("X", 2, hex("00 00 00 02 00 00 00 00 01")) << bad;
    QTest::newRow("truncated int") << body("X", 1, hex("00 00 00 02 00 00 00")) << bad;
    QTest::newRow("invalid variant") << body("X", 1, hex("00 00 00 00 01")) << bad;
    QTest::newRow("QVariantList id") << body("X", 1, hex("00 00 00 09 00 00 00 00 00")) << bad;
    QTest::newRow("QVariantMap id") << body("X", 1, hex("00 00 00 08 00 00 00 00 00")) << bad;
    QTest::newRow("QObject* id") << body("X", 1, hex("00 00 00 27 00 00 00 00 00 00 00 00 00"))
                                 << bad;
    QTest::newRow("local user id") << body("X", 1, hex("00 00 04 01 00 00 00 00 00")) << bad;
    QTest::newRow("unknown name") << body("X", 1, userHeader("NoSuchType") + be32(0)) << bad;
    QTest::newRow("builtin container by name")
        << body("X", 1, userHeader("QVariantList") + be32(0)) << bad;
    QTest::newRow("name without NUL")
        << body("X", 1, be32(1024) + hex("00") + be32(3) + "abc" + be32(0)) << bad;
    QTest::newRow("NUL inside name")
        << body("X", 1, be32(1024) + hex("00") + be32(4) + QByteArray("a\0b\0", 4)) << bad;
    QTest::newRow("huge name length")
        << body("X", 1, be32(1024) + hex("00") + be32(0xFFFFFFF0u)) << bad;
    QTest::newRow("type without stream operators")
        << body("X", 1, userHeader("NetworkStats") + QByteArray(16, '\0')) << bad;
    QTest::newRow("list without stream operators")
        << body("X", 1, userHeader("QList<quint32>") + be32(0)) << bad;
    QTest::newRow("truncated record")
        << body("X", 1, userHeader("VemoRpcCredentials") + hex("00 00 00 02 00 61")) << bad;
    // A date-time with a time zone would have the zone's name looked up in the
    // system's zone files.
    QByteArray zoneName;
    {
        QDataStream out(&zoneName, QIODevice::WriteOnly);
        out.setVersion(RpcCodec::StreamVersion);
        out << QString("../../../../dev/stdin");
    }
    const QByteArray zonedTime = hex("00 00 00 00 00 25 8a d9 02 ce d3 88 03") + zoneName;
    QTest::newRow("QDateTime with time zone")
        << body("X", 1, hex("00 00 00 10 00") + zonedTime) << bad;
    QTest::newRow("QDateTime with an unknown kind of time")
        << body("X", 1, hex("00 00 00 10 00 00 00 00 00 00 25 8a d9 02 ce d3 88 07")) << bad;
    QTest::newRow("params with zoned time")
        << body("X", 1,
                userHeader("UooRParamsDesc") + be32(17) + be32(0) + be32(0) + be32(0) + zonedTime +
                    QByteArray(40, '\0'))
        << bad;
    QTest::newRow("odd string length in record")
        << body("X", 1, userHeader("VemoRpcCredentials") + hex("00 00 00 03 00 61 00 00 00 00 00"))
        << bad;
}

void TestRpcCodec::badBodies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    RpcCodec::Message message;
    QCOMPARE(int(decode(bytes, message)), expected);
    if (expected != int(RpcCodec::BodyStatus::Ok)) {
        QVERIFY(message.args.isEmpty());
    }
}

void TestRpcCodec::hugeCountsAreCheap_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("elements");

    const QByteArray twoBillion = be32(2000000000u);
    // A 30-byte frame asking for two billion permission codes yields the codes that
    // are there.
    QTest::newRow("QList<uchar>") << body("P", 1,
                                          userHeader("QList<uchar>") + twoBillion + hex("03 06"))
                                  << int(RpcCodec::BodyStatus::Ok) << 2;
    QTest::newRow("QList<VemoRpcClient>")
        << body("C", 1, userHeader("QList<VemoRpcClient>") + twoBillion + hex("00 00"))
        << int(RpcCodec::BodyStatus::BadArguments) << 0;
    QTest::newRow("QList<UooDescriptor>")
        << body("D", 1, userHeader("QList<UooDescriptor>") + twoBillion)
        << int(RpcCodec::BodyStatus::BadArguments) << 0;
    QTest::newRow("client permissions")
        << body("C", 1, userHeader("VemoRpcClient") + twoBillion + hex("01 02"))
        << int(RpcCodec::BodyStatus::BadArguments) << 0;
    QTest::newRow("QStringList") << body("S", 1, hex("00 00 00 0b 00") + twoBillion + be32(0))
                                 << int(RpcCodec::BodyStatus::Ok) << 1;
    QTest::newRow("QString") << body("S", 1,
                                     hex("00 00 00 0a 00") + be32(0x7FFFFFFEu) + hex("00 41"))
                             << int(RpcCodec::BodyStatus::BadArguments) << 0;
    QTest::newRow("QByteArray") << body("B", 1,
                                        hex("00 00 00 0c 00") + be32(0xFFFFFFF0u) + hex("41"))
                                << int(RpcCodec::BodyStatus::BadArguments) << 0;
}

void TestRpcCodec::listElementCaps_data()
{
    // Lists whose elements are all there, each at or one above its cap.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("read");
    const auto codes = [](int n) {
        return body("P", 1, userHeader("QList<uchar>") + be32(n) + QByteArray(n, '\3'));
    };
    const auto texts = [](int n) {
        QByteArray empty;
        for (int i = 0; i < n; ++i) {
            empty += be32(0);
        }
        return body("S", 1, hex("00 00 00 0b 00") + be32(n) + empty);
    };
    QTest::newRow("256 codes") << codes(256) << true;
    QTest::newRow("257 codes") << codes(257) << false;
    QTest::newRow("16M codes") << codes(16 * 1024 * 1024) << false;
    QTest::newRow("65536 texts") << texts(65536) << true;
    QTest::newRow("65537 texts") << texts(65537) << false;
}

void TestRpcCodec::listElementCaps()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, read);
    RpcCodec::Message message;
    QCOMPARE(decode(bytes, message) == RpcCodec::BodyStatus::Ok, read);
}

void TestRpcCodec::hugeCountsAreCheap()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    QFETCH(int, elements);
    RpcCodec::Message message;
    QCOMPARE(int(decode(bytes, message)), expected);
    if (expected == int(RpcCodec::BodyStatus::Ok)) {
        const QVariant arg = message.args.value(0);
        int size = -1;
        if (arg.userType() == qMetaTypeId<QList<quint8>>()) {
            size = arg.value<QList<quint8>>().size();
        } else if (arg.userType() == qMetaTypeId<QList<UooDescriptor>>()) {
            size = arg.value<QList<UooDescriptor>>().size();
        } else if (arg.userType() == QMetaType::QStringList) {
            size = arg.toStringList().size();
        }
        QCOMPARE(size, elements);
    }
}

void TestRpcCodec::deepNestingIsRejected()
{
    // A million nested one-element QVariantLists in about 9 MB: rejected at the
    // first level, without recursion.
    const QByteArray level = hex("00 00 00 09 00 00 00 00 01");
    QByteArray args;
    args.reserve(level.size() * 1000000 + 8);
    for (int i = 0; i < 1000000; ++i) {
        args += level;
    }
    args += hex("00 00 00 02 00 00 00 00 01");
    RpcCodec::Message message;
    QCOMPARE(decode(body("DEEP", 1, args), message), RpcCodec::BodyStatus::BadArguments);
}

void TestRpcCodec::unsendableTypes()
{
    QCOMPARE(RpcCodec::encodeFrame("X", QVariantList{QVariantList{1}}), QByteArray());
    QCOMPARE(RpcCodec::encodeFrame("X", QVariantList{QVariant::fromValue(NetworkStats())}),
             QByteArray());
    QCOMPARE(RpcCodec::encodeFrame("X", QVariantList{QVariant::fromValue<QObject*>(this)}),
             QByteArray());
    QVERIFY(!RpcCodec::encodeFrame("X", QVariantList{1}).isEmpty());
}

void TestRpcCodec::frameReaderSplitsStream()
{
    const QByteArray a = RpcCodec::encodeFrame("A", QVariantList{1});
    const QByteArray empty = hex("00 00 00 00");
    const QByteArray b = RpcCodec::encodeFrame("B", QVariantList{QString("two")});
    const QByteArray stream = a + empty + b + a.left(3);

    RpcFrameReader reader;
    QList<QByteArray> bodies;
    for (char byte : stream) {
        reader.append(QByteArray(1, byte));
        const char* data = nullptr;
        int size = 0;
        while (reader.next(&data, &size) == RpcFrameReader::Result::Frame) {
            bodies << QByteArray(data, size);
        }
    }
    QCOMPARE(bodies.size(), 3);
    QCOMPARE(bodies.at(0), a.mid(4));
    QCOMPARE(bodies.at(1), QByteArray());
    QCOMPARE(bodies.at(2), b.mid(4));
    QCOMPARE(reader.buffered(), qint64(3));
}

void TestRpcCodec::frameReaderLimits()
{
    RpcFrameReader reader(100);
    const char* data = nullptr;
    int size = 0;
    quint32 announced = 0;

    QByteArray frame(4 + 100, 'x');
    qToLittleEndian<quint32>(100, frame.data());
    reader.append(frame);
    QCOMPARE(reader.next(&data, &size, &announced), RpcFrameReader::Result::Frame);
    QCOMPARE(size, 100);

    // One byte above the limit is refused on its header alone.
    reader.append(hex("65 00 00 00"));
    QCOMPARE(reader.next(&data, &size, &announced), RpcFrameReader::Result::Oversized);
    QCOMPARE(announced, 101u);

    // A frame announcing 4 GiB costs nothing.
    RpcFrameReader big;
    big.append(hex("ff ff ff ff 00 00"));
    QCOMPARE(big.next(&data, &size, &announced), RpcFrameReader::Result::Oversized);
    QCOMPARE(announced, 0xFFFFFFFFu);
    QVERIFY(big.capacity() < 1024);
}

void TestRpcCodec::frameReaderCompacts()
{
    // A long stream cut into chunks that end inside frames: every frame comes out
    // and the buffer holds only what is unfinished.
    const QByteArray frame = RpcCodec::encodeFrame("TICK", QVariantList{QByteArray(1000, 'z')});
    QByteArray stream;
    const int total = 20000;
    for (int i = 0; i < total; ++i) {
        stream += frame;
    }
    RpcFrameReader reader;
    int frames = 0;
    const int chunk = 7777;
    for (int pos = 0; pos < stream.size(); pos += chunk) {
        reader.append(stream.mid(pos, chunk));
        const char* data = nullptr;
        int size = 0;
        while (reader.next(&data, &size) == RpcFrameReader::Result::Frame) {
            QCOMPARE(size, frame.size() - 4);
            ++frames;
        }
        QVERIFY(reader.buffered() < frame.size());
        QVERIFY(reader.capacity() < 4 * chunk);
    }
    QCOMPARE(frames, total);
    QCOMPARE(reader.buffered(), qint64(0));
}

QTEST_GUILESS_MAIN(TestRpcCodec)
#include "tst_rpccodec.moc"
