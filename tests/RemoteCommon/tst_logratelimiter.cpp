#include "clock.h"
#include "logcapture.h"
#include "logratelimiter.h"
#include "peertext.h"

#include <QtTest>

class TestLogRateLimiter : public QObject
{
    Q_OBJECT
private slots:
    void burstThenSummary_data();
    void burstThenSummary();
    void kindsCountedApart();
    void heldLinesSummarisedAtTheEnd();
    void clip_data();
    void clip();
};

void TestLogRateLimiter::burstThenSummary_data()
{
    QTest::addColumn<int>("reports");
    QTest::addColumn<qint64>("advanceMs"); // before the flush
    QTest::addColumn<int>("written");
    QTest::addColumn<QString>("summary"); // empty: none
    QTest::newRow("within the burst") << 3 << qint64(1000) << 3 << QString();
    QTest::newRow("two held, interval over")
        << 5 << qint64(1000) << 3 << "kind: 2 more such line(s) in the last 1 s not written";
    QTest::newRow("held, interval running") << 5 << qint64(999) << 3 << QString();
    QTest::newRow("clock went back")
        << 5 << qint64(-60000) << 3 << "kind: 2 more such line(s) in the last 1 s not written";
}

void TestLogRateLimiter::burstThenSummary()
{
    QFETCH(int, reports);
    QFETCH(qint64, advanceMs);
    QFETCH(int, written);
    QFETCH(QString, summary);
    ManualClock clock;
    LogRateLimiter limiter(nullptr, &clock, 3, 1000);
    LogCapture log;
    int admitted = 0;
    for (int i = 0; i < reports; ++i) {
        admitted +=
            limiter.report(QStringLiteral("kind"), QtWarningMsg, QStringLiteral("line %1").arg(i))
                ? 1
                : 0;
    }
    clock.advanceMs(advanceMs);
    limiter.flush();

    QCOMPARE(admitted, written);
    QStringList expected;
    for (int i = 0; i < written; ++i) {
        expected << QStringLiteral("line %1").arg(i);
    }
    if (!summary.isEmpty()) {
        expected << summary;
    }
    QCOMPARE(log.texts(), expected);
    // After a summary a new interval starts with a full burst.
    if (!summary.isEmpty()) {
        QVERIFY(limiter.report(QStringLiteral("kind"), QtWarningMsg, QStringLiteral("again")));
        QCOMPARE(limiter.suppressed(QStringLiteral("kind")), 0);
    }
}

void TestLogRateLimiter::kindsCountedApart()
{
    ManualClock clock;
    LogRateLimiter limiter(nullptr, &clock, 1, 1000);
    LogCapture log;
    QVERIFY(limiter.report(QStringLiteral("a"), QtDebugMsg, QStringLiteral("a1")));
    QVERIFY(!limiter.report(QStringLiteral("a"), QtDebugMsg, QStringLiteral("a2")));
    QVERIFY(limiter.report(QStringLiteral("b"), QtDebugMsg, QStringLiteral("b1")));
    // A line of a kind whose interval is over brings that kind's summary first.
    clock.advanceMs(1000);
    QVERIFY(limiter.report(QStringLiteral("a"), QtDebugMsg, QStringLiteral("a3")));
    QCOMPARE(log.texts(), QStringList() << "a1"
                                        << "b1"
                                        << "a: 1 more such line(s) in the last 1 s not written"
                                        << "a3");
}

void TestLogRateLimiter::heldLinesSummarisedAtTheEnd()
{
    ManualClock clock;
    LogCapture log;
    {
        LogRateLimiter limiter(nullptr, &clock, 1, 60000);
        limiter.report(QStringLiteral("k"), QtDebugMsg, QStringLiteral("first"));
        limiter.report(QStringLiteral("k"), QtDebugMsg, QStringLiteral("second"));
        limiter.report(QStringLiteral("k"), QtDebugMsg, QStringLiteral("third"));
    }
    QCOMPARE(log.texts(), QStringList() << "first"
                                        << "k: 2 more such line(s) in the last 60 s not written");
}

void TestLogRateLimiter::clip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("clipped");
    QTest::newRow("short") << "LOGIN"
                           << "LOGIN";
    QTest::newRow("exactly 8") << "ABCDEFGH"
                               << "ABCDEFGH";
    QTest::newRow("9") << "ABCDEFGHI"
                       << "ABCDEFGH... (9 characters)";
    QTest::newRow("line break") << "A\nB\rC"
                                << "A?B?C";
    QTest::newRow("8 MB") << QString(8 * 1024 * 1024, QLatin1Char('X'))
                          << "XXXXXXXX... (8388608 characters)";
}

void TestLogRateLimiter::clip()
{
    QFETCH(QString, text);
    QFETCH(QString, clipped);
    QCOMPARE(PeerText::clip(text, 8), clipped);
}

QTEST_GUILESS_MAIN(TestLogRateLimiter)
#include "tst_logratelimiter.moc"
