// Rows in PostgreSQL's binary COPY format: the bytes a batch is sent as, and the
// splitting of received rows, which must refuse anything that is not one row.

#include "pgcopybuffer.h"

#include <QtTest>

class TestPgCopyBuffer : public QObject
{
    Q_OBJECT
private slots:
    void layout();
    void splitsWhatItWrites();
    void splitRefuses_data();
    void splitRefuses();
};

void TestPgCopyBuffer::layout()
{
    PgCopyBuffer copy;
    copy.startRow(5);
    copy.addInt4(-2);
    copy.addNull();
    copy.addText(QStringLiteral("Ж"));
    copy.addBytes(QByteArray("\x00\x01", 2));
    // 2000-01-02 00:00:00.001, local wall-clock time: one day and one millisecond.
    copy.addTimestamp(QDateTime(QDate(2000, 1, 2), QTime(0, 0, 0, 1)));
    copy.finish();
    const QByteArray expected = QByteArray("PGCOPY\n\xff\r\n\0", 11) +
                                QByteArray(8, '\0') +                          // flags, extension
                                QByteArray("\x00\x05", 2) +                    // five fields
                                QByteArray("\x00\x00\x00\x04\xff\xff\xff\xfe", 8) + // int4 -2
                                QByteArray("\xff\xff\xff\xff", 4) +            // NULL
                                QByteArray("\x00\x00\x00\x02\xd0\x96", 6) +    // UTF-8 text
                                QByteArray("\x00\x00\x00\x02\x00\x01", 6) +    // bytea
                                QByteArray("\x00\x00\x00\x08", 4) +
                                QByteArray("\x00\x00\x00\x14\x1d\xd7\x63\xe8", 8) + // 86400001000 us
                                QByteArray("\xff\xff", 2);                     // trailer
    QCOMPARE(copy.data().toHex(' '), expected.toHex(' '));
    QCOMPARE(copy.rows(), 1);

    PgCopyBuffer nullTime;
    nullTime.startRow(1);
    nullTime.addTimestamp(QDateTime());
    QVERIFY(nullTime.data().endsWith(QByteArray("\x00\x01\xff\xff\xff\xff", 6)));
}

void TestPgCopyBuffer::splitsWhatItWrites()
{
    PgCopyBuffer copy;
    copy.startRow(3);
    copy.addInt4(7);
    copy.addNull();
    copy.addText(QString(""));
    const QByteArray row = copy.data().mid(19);
    PgCopyBuffer::Field fields[3];
    QCOMPARE(PgCopyBuffer::splitRow(row.constData(), row.size(), fields, 3), 3);
    QCOMPARE(fields[0].length, 4);
    QCOMPARE(qFromBigEndian<qint32>(fields[0].data), 7);
    QVERIFY(fields[1].data == nullptr);
    QVERIFY(fields[2].data != nullptr); // empty, not NULL
    QCOMPARE(fields[2].length, 0);
    QCOMPARE(PgCopyBuffer::splitRow("\xff\xff", 2, fields, 3), -1);
}

void TestPgCopyBuffer::splitRefuses_data()
{
    QTest::addColumn<QByteArray>("row");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("more fields than taken") << QByteArray("\x00\x04", 2);
    QTest::newRow("negative field count") << QByteArray("\xff\xfe", 2);
    QTest::newRow("length cut short") << QByteArray("\x00\x01\x00\x00", 4);
    QTest::newRow("value longer than the row") << QByteArray("\x00\x01\x00\x00\x00\x05\x01", 7);
    QTest::newRow("negative length") << QByteArray("\x00\x01\xff\xff\xff\xfe", 6);
    QTest::newRow("bytes after the last field")
        << QByteArray("\x00\x01\x00\x00\x00\x01\x01\x02", 8);
    QTest::newRow("bytes after the trailer") << QByteArray("\xff\xff\x00", 3);
}

void TestPgCopyBuffer::splitRefuses()
{
    QFETCH(QByteArray, row);
    PgCopyBuffer::Field fields[3];
    QCOMPARE(PgCopyBuffer::splitRow(row.constData(), row.size(), fields, 3), -2);
}

QTEST_APPLESS_MAIN(TestPgCopyBuffer)
#include "tst_pgcopybuffer.moc"
