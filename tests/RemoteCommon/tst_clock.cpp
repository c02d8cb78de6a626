#include "clock.h"

#include <QtTest>

class TestClock : public QObject
{
    Q_OBJECT
private slots:
    void manualClockMovesOnlyWhenTold()
    {
        const QDateTime start(QDate(2024, 3, 7), QTime(13, 5, 9));
        ManualClock clock(start, 0xFFFFFF00u);
        QCOMPARE(clock.currentDateTime(), start);
        clock.advanceMs(301000);
        QCOMPARE(clock.currentDateTime(), start.addSecs(301));
        QCOMPARE(clock.currentMSecsSinceEpoch(), start.toMSecsSinceEpoch() + 301000);
        // The tick is 32 bits and wraps; differences stay right in unsigned arithmetic.
        QCOMPARE(quint32(clock.tickMs() - 0xFFFFFF00u), quint32(301000));
    }

    void settingTheTimeMovesOnlyTheWallClock()
    {
        const QDateTime start(QDate(2024, 3, 7), QTime(13, 5, 9));
        ManualClock clock(start);
        const qint64 monotonic = clock.monotonicMs();
        clock.jumpWallMs(-3600000);
        QCOMPARE(clock.currentDateTime(), start.addSecs(-3600));
        clock.setDateTime(start.addDays(1));
        QCOMPARE(clock.currentDateTime(), start.addDays(1));
        QCOMPARE(clock.monotonicMs(), monotonic);
        clock.advanceMs(5000);
        QCOMPARE(clock.monotonicMs(), monotonic + 5000);
        QCOMPARE(clock.currentDateTime(), start.addDays(1).addSecs(5));
    }

    void systemClockAgreesWithTheSystem()
    {
        Clock* clock = Clock::system();
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const qint64 now = clock->currentMSecsSinceEpoch();
        QVERIFY(now >= before);
        QVERIFY(qAbs(clock->currentDateTime().toMSecsSinceEpoch() - now) < 60000);
        const qint64 m1 = clock->monotonicMs();
        QVERIFY(clock->monotonicMs() >= m1);
        const quint32 t1 = clock->tickMs();
        const quint32 t2 = clock->tickMs();
        QVERIFY(quint32(t2 - t1) < 60000);
    }
};

QTEST_GUILESS_MAIN(TestClock)
#include "tst_clock.moc"
