// Byte layouts of the parameter protocol: CRC, header, SYNC block, chunk, time stamp.

#include "paramchunk.h"
#include "paramcrc16.h"
#include "paramdatagramheader.h"
#include "syncblock.h"

#include <QTest>

class TestParamProtocol : public QObject
{
    Q_OBJECT
private slots:
    void crc_data();
    void crc();
    void setCrc_data();
    void setCrc();
    void finishedAckBytes();
    void rcvAckBytes();
    void headerRoundTrip();
    void headerRejectsShortInput();
    void headerFits_data();
    void headerFits();
    void syncBlockLayout();
    void syncBlockTexts_data();
    void syncBlockTexts();
    void paramsTime_data();
    void paramsTime();
    void chunkLayout();
    void chunking_data();
    void chunking();
};

void TestParamProtocol::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");
    QTest::newRow("check digits") << QByteArray("123456789") << 0x2189;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("one zero byte") << QByteArray(1, '\0') << 0;
    QTest::newRow("A") << QByteArray("A") << 0x538D;
}

void TestParamProtocol::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QCOMPARE(paramCrc16(data), static_cast<quint16>(crc));
    QCOMPARE(paramCrc16(data.constData(), data.size()), static_cast<quint16>(crc));
}

void TestParamProtocol::setCrc_data()
{
    QTest::addColumn<QByteArray>("set");
    QTest::addColumn<int>("crc");
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("two bytes") << QByteArray("12") << 0;
    QTest::newRow("last two bytes not covered") << QByteArray("123456789XY") << 0x2189;
    QTest::newRow("three bytes") << QByteArray("AZZ") << 0x538D;
}

void TestParamProtocol::setCrc()
{
    QFETCH(QByteArray, set);
    QFETCH(int, crc);
    QCOMPARE(paramSetCrc(set), static_cast<quint16>(crc));
}

void TestParamProtocol::finishedAckBytes()
{
    const QByteArray expected = QByteArray::fromHex("D4C3B2A12B3C4D5E0000000003CC0000"
                                                    "0000000000000000");
    QCOMPARE(ParamDatagramHeader::build(PAR_PROTO_DWLD_FINISHED_ACK, QByteArray(), 0), expected);
}

void TestParamProtocol::rcvAckBytes()
{
    const QByteArray expected = QByteArray::fromHex("D4C3B2A12B3C4D5E0000000002BB0000"
                                                    "0000000089210000");
    QCOMPARE(ParamDatagramHeader::build(PAR_PROTO_RCV_ACK, QByteArray(), paramCrc16("123456789")),
             expected);
}

void TestParamProtocol::headerRoundTrip()
{
    const QByteArray payload("abc");
    const QByteArray datagram =
        ParamDatagramHeader::build(0x11223344u, payload, quint16(0xBEEF), 0x01020304u);
    QCOMPARE(datagram.size(), 27);
    QCOMPARE(datagram.mid(8, 4), QByteArray::fromHex("04030201"));
    QCOMPARE(datagram.mid(12, 4), QByteArray::fromHex("44332211"));
    QCOMPARE(datagram.mid(16, 4), QByteArray::fromHex("03000000"));
    QCOMPARE(datagram.mid(20, 2), QByteArray::fromHex("EFBE"));
    const quint16 crc = paramCrc16(payload);
    QCOMPARE(static_cast<quint8>(datagram[22]), static_cast<quint8>(crc & 0xFF));
    QCOMPARE(static_cast<quint8>(datagram[23]), static_cast<quint8>(crc >> 8));
    QCOMPARE(datagram.mid(24), payload);

    ParamDatagramHeader header;
    QVERIFY(ParamDatagramHeader::decode(datagram.constData(), datagram.size(), &header));
    QCOMPARE(header.uooCode, 0x01020304u);
    QCOMPARE(header.msgCode, 0x11223344u);
    QCOMPARE(header.dataLength, 3u);
    QCOMPARE(header.value, quint16(0xBEEF));
    QCOMPARE(header.dataCrc, crc);
    QVERIFY(header.fits(datagram.size()));
}

void TestParamProtocol::headerRejectsShortInput()
{
    ParamDatagramHeader header;
    const QByteArray short23(23, '\0');
    QVERIFY(!ParamDatagramHeader::decode(short23.constData(), short23.size(), &header));
    QVERIFY(!ParamDatagramHeader::decode(nullptr, 24, &header));
}

void TestParamProtocol::headerFits_data()
{
    QTest::addColumn<quint32>("magic1");
    QTest::addColumn<quint32>("magic2");
    QTest::addColumn<quint32>("dataLength");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fits");
    QTest::newRow("exact") << 0xA1B2C3D4u << 0x5E4D3C2Bu << 10u << 34 << true;
    QTest::newRow("length 10, size 40") << 0xA1B2C3D4u << 0x5E4D3C2Bu << 10u << 40 << false;
    QTest::newRow("magic2 off by one") << 0xA1B2C3D4u << 0x5E4D3C2Cu << 0u << 24 << false;
    QTest::newRow("magic1 wrong") << 0xA1B2C3D5u << 0x5E4D3C2Bu << 0u << 24 << false;
    QTest::newRow("length wraps") << 0xA1B2C3D4u << 0x5E4D3C2Bu << 0xFFFFFFF8u << 16 << false;
    QTest::newRow("huge length") << 0xA1B2C3D4u << 0x5E4D3C2Bu << 0xFFFFFFFFu << 24 << false;
}

void TestParamProtocol::headerFits()
{
    QFETCH(quint32, magic1);
    QFETCH(quint32, magic2);
    QFETCH(quint32, dataLength);
    QFETCH(int, size);
    QFETCH(bool, fits);
    ParamDatagramHeader header;
    header.magic1 = magic1;
    header.magic2 = magic2;
    header.dataLength = dataLength;
    QCOMPARE(header.fits(size), fits);
}

void TestParamProtocol::syncBlockLayout()
{
    SyncBlock block;
    block.setDeviceText(QStringLiteral("DEV"));
    block.setPversionText(QStringLiteral("v1"));
    block.version1 = 0x11;
    block.version2 = 0x22;
    block.version3 = 0x33;
    block.uooCode = 0x01020304;
    block.paramsSize = 1000;
    block.paramsTime = {7, 3, 24, 13, 5, 9};
    block.paramsCrc = 0x2189;
    block.command = 3;
    const QByteArray bytes = block.encode();
    QCOMPARE(bytes.size(), 64);
    QByteArray expected(64, '\0');
    expected.replace(0, 3, "DEV");
    expected.replace(24, 2, "v1");
    expected.replace(32, 16, QByteArray::fromHex("11000000220000003300000004030201"));
    expected.replace(48, 4, QByteArray::fromHex("E8030000"));
    expected.replace(52, 6, QByteArray::fromHex("0703180D0509"));
    expected.replace(58, 2, QByteArray::fromHex("8921"));
    expected.replace(60, 4, QByteArray::fromHex("03000000"));
    QCOMPARE(bytes.toHex(), expected.toHex());

    SyncBlock decoded;
    QVERIFY(SyncBlock::decode(bytes.constData(), bytes.size(), &decoded));
    QCOMPARE(decoded.encode(), bytes);
    QCOMPARE(decoded.versionWord(), (0x22u << 16) | (0x11u << 8) | 0x33u);
    QVERIFY(!SyncBlock::decode(bytes.constData(), 63, &decoded));
}

void TestParamProtocol::syncBlockTexts_data()
{
    QTest::addColumn<QByteArray>("deviceField");
    QTest::addColumn<QByteArray>("pversionField");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("pversion");
    QTest::newRow("terminated") << QByteArray("abc\0zzz", 7) << QByteArray("1.0\0x", 5)
                                << QStringLiteral("abc") << QStringLiteral("1.0");
    QTest::newRow("fills field, no NUL")
        << QByteArray(24, 'D') << QByteArray(8, 'P') << QString(24, QLatin1Char('D'))
        << QString(8, QLatin1Char('P'));
    QTest::newRow("empty") << QByteArray() << QByteArray() << QString() << QString();
    QTest::newRow("utf-8") << QByteArray("УОО") << QByteArray("в1") << QStringLiteral("УОО")
                           << QStringLiteral("в1");
}

void TestParamProtocol::syncBlockTexts()
{
    QFETCH(QByteArray, deviceField);
    QFETCH(QByteArray, pversionField);
    QFETCH(QString, device);
    QFETCH(QString, pversion);
    // Bytes after the fields are not zero, so a reader that runs past a field
    // would pick them up.
    QByteArray bytes(64, '\x7F');
    bytes.replace(0, 24, QByteArray(24, '\0'));
    bytes.replace(24, 8, QByteArray(8, '\0'));
    bytes.replace(0, deviceField.size(), deviceField);
    bytes.replace(24, pversionField.size(), pversionField);
    QCOMPARE(bytes.size(), 64);
    SyncBlock block;
    QVERIFY(SyncBlock::decode(bytes.constData(), bytes.size(), &block));
    QCOMPARE(block.deviceText(), device);
    QCOMPARE(block.pversionText(), pversion);
}

void TestParamProtocol::paramsTime_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QDateTime>("expected");
    QTest::newRow("7,3,24,13,5,9")
        << QByteArray::fromHex("0703180D0509") << QDateTime(QDate(2024, 3, 7), QTime(13, 5, 9));
    QTest::newRow("zeros") << QByteArray(6, '\0') << QDateTime();
    QTest::newRow("month 13") << QByteArray::fromHex("010D18000000") << QDateTime();
    QTest::newRow("30 February") << QByteArray::fromHex("1E0218000000") << QDateTime();
    QTest::newRow("29 February 2024")
        << QByteArray::fromHex("1D0218000000") << QDateTime(QDate(2024, 2, 29), QTime(0, 0, 0));
    QTest::newRow("hour 24") << QByteArray::fromHex("010118180000") << QDateTime();
    QTest::newRow("second 60") << QByteArray::fromHex("01011800003C") << QDateTime();
    QTest::newRow("year 2255") << QByteArray::fromHex("1F0CFF173B3B")
                               << QDateTime(QDate(2255, 12, 31), QTime(23, 59, 59));
}

void TestParamProtocol::paramsTime()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QDateTime, expected);
    std::array<quint8, 6> stamp{};
    for (int i = 0; i < 6; ++i) {
        stamp[static_cast<size_t>(i)] = static_cast<quint8>(bytes[i]);
    }
    const QDateTime decoded = SyncBlock::decodeParamsTime(stamp);
    QCOMPARE(decoded.isValid(), expected.isValid());
    if (expected.isValid()) {
        QCOMPARE(decoded, expected);
        QCOMPARE(decoded.timeSpec(), Qt::LocalTime);
        // The encoder writes the same bytes back.
        SyncBlock block;
        block.setParamsDateTime(decoded);
        QVERIFY(block.paramsTime == stamp);
    }
}

void TestParamProtocol::chunkLayout()
{
    ParamChunk chunk = ParamChunk::fromSet(QByteArray("123456789"), 0);
    QCOMPARE(chunk.length, 9u);
    QCOMPARE(chunk.left, 0u);
    QCOMPARE(chunk.crc, quint16(0x2189));
    const QByteArray bytes = chunk.encode();
    QCOMPARE(bytes.size(), 532);
    QCOMPARE(bytes.left(9), QByteArray("123456789"));
    QCOMPARE(bytes.mid(9, 503), QByteArray(503, '\0'));
    QCOMPARE(bytes.mid(512, 20).toHex(), QByteArray::fromHex("00000000"
                                                             "09000000"
                                                             "00000000"
                                                             "8921"
                                                             "000000000000")
                                             .toHex());

    ParamChunk decoded;
    QVERIFY(ParamChunk::decode(bytes.constData(), bytes.size(), &decoded));
    QCOMPARE(decoded.length, 9u);
    QCOMPARE(decoded.computeCrc(), quint16(0x2189));
    QVERIFY(!ParamChunk::decode(bytes.constData(), 531, &decoded));

    decoded.length = 513;
    QVERIFY(!decoded.lengthValid());
    QCOMPARE(decoded.computeCrc(), quint16(0));
}

void TestParamProtocol::chunking_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("lengths");
    QTest::newRow("1000") << 1000 << QList<int>{512, 488};
    QTest::newRow("512") << 512 << QList<int>{512};
    QTest::newRow("513") << 513 << QList<int>{512, 1};
    QTest::newRow("1") << 1 << QList<int>{1};
    QTest::newRow("1536") << 1536 << QList<int>{512, 512, 512};
}

void TestParamProtocol::chunking()
{
    QFETCH(int, size);
    QFETCH(QList<int>, lengths);
    QByteArray set(size, '\0');
    for (int i = 0; i < size; ++i) {
        set[i] = static_cast<char>(i % 251);
    }
    QByteArray joined;
    int offset = 0;
    for (int i = 0; i < lengths.size(); ++i) {
        const ParamChunk chunk = ParamChunk::fromSet(set, offset);
        QCOMPARE(static_cast<int>(chunk.offset), offset);
        QCOMPARE(static_cast<int>(chunk.length), lengths[i]);
        QCOMPARE(static_cast<int>(chunk.left), size - offset - lengths[i]);
        QCOMPARE(chunk.crc, paramCrc16(set.mid(offset, lengths[i])));
        joined.append(chunk.data.data(), static_cast<int>(chunk.length));
        offset += static_cast<int>(chunk.length);
    }
    QCOMPARE(joined, set);
}

QTEST_GUILESS_MAIN(TestParamProtocol)
#include "tst_paramprotocol.moc"
