#include "signalpipe.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// Signals sent to this process arrive as the bytes they were given, in the
// order they came, both to a thread that reads the pipe itself and to a
// SignalPipe object on the event loop.
class TestSignalPipe : public QObject
{
    Q_OBJECT
private slots:
    void init() { SignalPipe::drain(); }
    void cleanup()
    {
        for (const int signalNumber : {SIGUSR1, SIGUSR2, int(SIGRTMIN)}) {
            SignalPipe::restoreDefault(signalNumber);
        }
    }

    void bytesOfSignals_data()
    {
        QTest::addColumn<int>("queuedValue"); // -1: a plain raise of SIGUSR1
        QTest::addColumn<int>("expected");    // -1: nothing arrives
        QTest::newRow("plain signal") << -1 << 7;
        QTest::newRow("queued 0") << 0 << 128;
        QTest::newRow("queued 127") << 127 << 255;
        QTest::newRow("queued 128, out of range") << 128 << -1;
        QTest::newRow("queued negative") << -1000 << -1;
    }
    void bytesOfSignals()
    {
        QFETCH(int, queuedValue);
        QFETCH(int, expected);
        QVERIFY(SignalPipe::catchSignal(SIGUSR1, 7));
        QVERIFY(SignalPipe::catchQueuedValue(SIGRTMIN, 128, 127));
        if (queuedValue == -1) {
            QCOMPARE(::raise(SIGUSR1), 0);
        } else {
            union sigval value;
            value.sival_int = queuedValue;
            QCOMPARE(::sigqueue(::getpid(), SIGRTMIN, value), 0);
        }
        QCOMPARE(SignalPipe::readByte(), expected);
        QCOMPARE(SignalPipe::readByte(), -1);
    }

    // A plain kill of the queued signal is not a command.
    void queuedSignalSentPlainIsIgnored()
    {
        QVERIFY(SignalPipe::catchQueuedValue(SIGRTMIN, 128, 127));
        QCOMPARE(::raise(SIGRTMIN), 0);
        QCOMPARE(SignalPipe::readByte(), -1);
    }

    void catchRefusesWhatCannotBeWritten_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<int>("maxValue");
        QTest::newRow("past 255") << 200 << 56;
        QTest::newRow("negative range") << 0 << -1;
    }
    void catchRefusesWhatCannotBeWritten()
    {
        QFETCH(int, base);
        QFETCH(int, maxValue);
        QVERIFY(
            !SignalPipe::catchQueuedValue(SIGRTMIN, static_cast<unsigned char>(base), maxValue));
    }

    void eventLoopReceivesInOrder()
    {
        SignalPipe pipe;
        QSignalSpy received(&pipe, &SignalPipe::received);
        QVERIFY(SignalPipe::catchSignal(SIGUSR1, 11));
        QVERIFY(SignalPipe::catchSignal(SIGUSR2, 12));
        ::raise(SIGUSR2);
        ::raise(SIGUSR1);
        SignalPipe::post(0);
        QTRY_COMPARE(received.size(), 3);
        QCOMPARE(received.at(0).at(0).toInt(), 12);
        QCOMPARE(received.at(1).at(0).toInt(), 11);
        QCOMPARE(received.at(2).at(0).toInt(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSignalPipe)
#include "tst_signalpipe.moc"
