#include "boundedlist.h"
#include "rpctypes.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QtTest>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

template <typename T> QByteArray encode(const T& value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_3);
    out << value;
    return bytes;
}

template <typename T> T decode(const QByteArray& bytes, QDataStream::Status* status = nullptr)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_5_3);
    T value;
    in >> value;
    if (status) {
        *status = in.status();
    }
    return value;
}

QByteArray encodeVariant(const QVariant& value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_3);
    out << value;
    return bytes;
}

QVariant decodeVariant(const QByteArray& bytes)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_5_3);
    QVariant value;
    in >> value;
    return value;
}

UooRParamsDesc sampleParams()
{
    UooRParamsDesc d;
    d.uoo = 17;
    d.state = 2;
    d.writeLeft = 1;
    d.leftToSend = 488;
    d.flags = 1;
    d.device = QStringLiteral("UOO-4M");
    d.pversion = QStringLiteral("1.2");
    d.uootime = QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9));
    d.localtime = QDateTime(QDate(2024, 3, 8), QTime(8, 0, 0));
    d.lastSeen = QDateTime(QDate(2024, 3, 9), QTime(9, 0, 0));
    d.uooparams = QByteArray(1000, 'a');
    d.localparams = QByteArray(700, 'b');
    d.uploadBuffer = QByteArray(12, 'c');
    d.uootimetemp = QDateTime(QDate(2024, 3, 6), QTime(1, 2, 3));
    return d;
}

} // namespace

class TestRpcTypes : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { registerRpcTypes(); }

    void clientEncoding()
    {
        VemoRpcClient client;
        client.loggedIn = true;
        client.permissions = {3, 6};
        client.login = QStringLiteral("op");
        const QByteArray expected = hex("00000002 03 06"
                                        "00000004 006f 0070"
                                        "00000000"
                                        "00000000 00000000");
        // An empty full name is a null text here; the workstation reads both alike.
        QByteArray bytes = encode(client);
        QCOMPARE(bytes.left(14), expected.left(14));
        QCOMPARE(bytes.right(8), QByteArray(8, '\0'));

        const VemoRpcClient back = decode<VemoRpcClient>(bytes);
        QCOMPARE(back.loggedIn, false);
        QCOMPARE(back.permissions, (QList<quint8>{3, 6}));
        QCOMPARE(back.login, client.login);
        QVERIFY(back.fullname.isEmpty());
        QCOMPARE(back.writesleft, 0);
        QCOMPARE(back.lastwrite, 0u);
    }

    void clientNumbersKeepTheirBits()
    {
        VemoRpcClient client;
        client.writesleft = -2;
        client.lastwrite = 0xFFFFFFF0u;
        const QByteArray bytes = encode(client);
        QCOMPARE(bytes.right(8), hex("FFFFFFFE FFFFFFF0"));
        const VemoRpcClient back = decode<VemoRpcClient>(bytes);
        QCOMPARE(back.writesleft, -2);
        QCOMPARE(back.lastwrite, 0xFFFFFFF0u);
    }

    void descriptorFieldOrder()
    {
        UooDescriptor d;
        d.extraNumber = 0x01020304;
        d.uoo = 0x0A0B0C0D;
        d.device = QStringLiteral("D");
        d.ip = 0x7F000001;
        d.port = 25002;
        d.extraText = QStringLiteral("X");
        d.status = 0x80;
        d.version = 0x00020103;
        d.extraShort = 0x0506;
        d.flagA = 1;
        d.flagB = -1;
        const QByteArray expected = hex("01020304 0A0B0C0D 00000002 0044 7F000001 000061AA"
                                        "00000002 0058 00000080 00020103 0506 01 FF");
        QCOMPARE(encode(d), expected);
        QCOMPARE(decode<UooDescriptor>(expected), d);
    }

    void paramsRoundTripDropsLocalMembers()
    {
        const UooRParamsDesc d = sampleParams();
        const UooRParamsDesc back = decode<UooRParamsDesc>(encode(d));
        UooRParamsDesc expected = d;
        expected.lastSeen = QDateTime();
        expected.uploadBuffer = QByteArray();
        expected.uootimetemp = QDateTime();
        QCOMPARE(back, expected);
        QVERIFY(back.lastSeen.isNull());
        QVERIFY(back.uootimetemp.isNull());
        QVERIFY(back.uploadBuffer.isEmpty());
    }

    void paramsEncodingOrder()
    {
        UooRParamsDesc d;
        d.uoo = 5;
        d.device = QStringLiteral("A");
        d.leftToSend = 6;
        d.localparams = QByteArray("\x01", 1);
        d.pversion = QStringLiteral("B");
        d.state = 7;
        d.uooparams = QByteArray("\x02", 1);
        d.writeLeft = 8;
        d.flags = 9;
        const QByteArray nullTime = hex("8000000000000000 FFFFFFFF 00");
        const QByteArray expected = hex("00000005") + hex("00000002 0041") + hex("00000006") +
                                    hex("00000001 01") + nullTime + hex("00000002 0042") +
                                    hex("00000007") + hex("00000001 02") + nullTime +
                                    hex("00000008") + hex("00000009");
        QCOMPARE(encode(d), expected);
    }

    void accountInfoRoundTrip()
    {
        AccountInfo info{QStringLiteral("Иванов"), 4, 99};
        const QByteArray bytes = encode(info);
        QCOMPARE(decode<AccountInfo>(bytes), info);
        QCOMPARE(bytes.size(), 4 + 12 + 4 + 4);
    }

    void credentialsRoundTrip()
    {
        VemoRpcCredentials c{QStringLiteral("adminvemo"),
                             QStringLiteral("5f1d0c8e2a7b4963d0e18c2f7a9b3e64")};
        QCOMPARE(decode<VemoRpcCredentials>(encode(c)), c);
    }

    void listStopsAtTheEndOfTheStream()
    {
        QList<UooDescriptor> five;
        for (quint32 i = 0; i < 5; ++i) {
            UooDescriptor d;
            d.uoo = i + 1;
            five << d;
        }
        const QByteArray whole = encode(five);
        const int one = encode(UooDescriptor()).size();
        const QByteArray cut = whole.left(4 + 3 * one);
        const QList<UooDescriptor> back = decode<QList<UooDescriptor>>(cut);
        QCOMPARE(back.size(), 3);
        QCOMPARE(back.at(2).uoo, 3u);
    }

    void hugeCountsCostNothing_data()
    {
        QTest::addColumn<QByteArray>("typeName");
        QTest::newRow("permissions") << QByteArray("QList<uchar>");
        QTest::newRow("clients") << QByteArray("QList<VemoRpcClient>");
        QTest::newRow("descriptors") << QByteArray("QList<UooDescriptor>");
    }

    void hugeCountsCostNothing()
    {
        // A variant of a list type whose count says two billion, in a short frame.
        QFETCH(QByteArray, typeName);
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_5_3);
        out << quint32(1024) << qint8(0);
        out.writeBytes(typeName.constData(), uint(typeName.size() + 1));
        out << quint32(2000000000u) << quint8(3) << quint8(6);

        QElapsedTimer timer;
        timer.start();
        const QVariant value = decodeVariant(bytes);
        // The point is memory, not speed: reserving two billion elements would
        // take gigabytes and seconds; a bounded reader takes neither.
        QVERIFY(timer.elapsed() < 5000);
        if (typeName == "QList<uchar>") {
            QCOMPARE(value.value<QList<quint8>>(), (QList<quint8>{3, 6}));
        }
    }

    void permissionListTravelsAsUchar()
    {
        const QByteArray bytes = encodeVariant(QVariant::fromValue(QList<quint8>{3, 6}));
        QCOMPARE(bytes, hex("00000400 00 0000000D") + QByteArray("QList<uchar>", 12) +
                            hex("00 00000002 03 06"));
        QCOMPARE(decodeVariant(bytes).value<QList<quint8>>(), (QList<quint8>{3, 6}));
    }

    void userTypesTravelUnderTheirOwnNames_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("credentials")
            << QVariant::fromValue(VemoRpcCredentials()) << QByteArray("VemoRpcCredentials");
        QTest::newRow("client") << QVariant::fromValue(VemoRpcClient())
                                << QByteArray("VemoRpcClient");
        QTest::newRow("clients") << QVariant::fromValue(QList<VemoRpcClient>())
                                 << QByteArray("QList<VemoRpcClient>");
        QTest::newRow("descriptor")
            << QVariant::fromValue(UooDescriptor()) << QByteArray("UooDescriptor");
        QTest::newRow("descriptors")
            << QVariant::fromValue(QList<UooDescriptor>()) << QByteArray("QList<UooDescriptor>");
        QTest::newRow("params") << QVariant::fromValue(UooRParamsDesc())
                                << QByteArray("UooRParamsDesc");
        QTest::newRow("account") << QVariant::fromValue(AccountInfo()) << QByteArray("AccountInfo");
    }

    void userTypesTravelUnderTheirOwnNames()
    {
        QFETCH(QVariant, value);
        QFETCH(QByteArray, name);
        const QByteArray bytes = encodeVariant(value);
        QCOMPARE(bytes.left(5), hex("00000400 00"));
        QDataStream in(bytes.mid(5));
        quint32 length = 0;
        in >> length;
        QCOMPARE(length, quint32(name.size() + 1));
        QCOMPARE(bytes.mid(9, name.size() + 1), name + QByteArray(1, '\0'));
        const QVariant back = decodeVariant(bytes);
        QCOMPARE(back.userType(), value.userType());
    }
};

QTEST_GUILESS_MAIN(TestRpcTypes)
#include "tst_rpctypes.moc"
