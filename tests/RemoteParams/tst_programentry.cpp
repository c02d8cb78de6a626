#include "programentry.h"
#include "receiverservice.h"

#include <QtTest>

class TestProgramEntry : public QObject
{
    Q_OBJECT
private slots:
    void restartDelay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("delayMs");

        QTest::newRow("no arguments") << QStringList{"paramserver"} << 0;
        QTest::newRow("restart 5") << QStringList{"paramserver", "--restart", "5"} << 5000;
        QTest::newRow("restart alone") << QStringList{"paramserver", "--restart"} << 1000;
        QTest::newRow("restart, not a number") << QStringList{"paramserver", "--restart", "x"} << 0;
        QTest::newRow("substring") << QStringList{"paramserver", "a--restartb"} << 1000;
        QTest::newRow("substring with number")
            << QStringList{"paramserver", "x--restart", "2"} << 2000;
        QTest::newRow("case matters") << QStringList{"paramserver", "--RESTART", "5"} << 0;
        QTest::newRow("three arguments, other option")
            << QStringList{"paramserver", "-e", "5"} << 0;
        QTest::newRow("four arguments")
            << QStringList{"paramserver", "--restart", "5", "x"} << 1000;
        QTest::newRow("negative") << QStringList{"paramserver", "--restart", "-3"} << 0;
        QTest::newRow("restart 30") << QStringList{"paramserver", "--restart", "30"} << 30000;
        QTest::newRow("huge, clamped")
            << QStringList{"paramserver", "--restart", "99999999"} << 3600000;
    }

    void restartDelay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, delayMs);
        QCOMPARE(ProgramEntry::restartDelayMs(arguments), delayMs);
    }

    // The one table of the framework's options: which command lines are a
    // console run and which act on the installed service as a tool.
    void commandLineActions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("console");
        QTest::addColumn<bool>("tool");
        QTest::newRow("no option") << QStringList{"paramserver"} << false << false;
        QTest::newRow("-e") << QStringList{"paramserver", "-e"} << true << false;
        QTest::newRow("-exec") << QStringList{"paramserver", "-exec", "x"} << true << false;
        QTest::newRow("-E, case matters") << QStringList{"paramserver", "-E"} << false << false;
        QTest::newRow("--restart")
            << QStringList{"paramserver", "--restart", "5"} << false << false;
        QTest::newRow("unknown") << QStringList{"paramserver", "-x"} << false << false;
        for (const char* option :
             {"-i", "-install", "-u", "-uninstall", "-t", "-terminate", "-c", "-command", "-p",
              "-pause", "-r", "-resume", "-v", "-version", "-h", "-help"}) {
            QTest::newRow(option) << QStringList{"paramserver", option} << false << true;
        }
        QTest::newRow("option as argument 2")
            << QStringList{"paramserver", "x", "-i"} << false << false;
    }
    void commandLineActions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, console);
        QFETCH(bool, tool);
        QVector<QByteArray> bytes;
        QVector<char*> argv;
        for (const QString& argument : arguments) {
            bytes << argument.toLocal8Bit();
        }
        for (QByteArray& b : bytes) {
            argv << b.data();
        }
        QCOMPARE(ProgramEntry::isConsoleRun(argv.size(), argv.data()), console);
        QCOMPARE(ProgramEntry::isCommandLineAction(argv.size(), argv.data()), tool);
    }

    void restartArguments_data()
    {
        QTest::addColumn<int>("loopResult");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("0") << 0 << QStringList{};
        QTest::newRow("-1") << -1 << QStringList{"--restart", "1"};
        QTest::newRow("-10") << -10 << QStringList{"--restart", "10"};
        QTest::newRow("-30") << -30 << QStringList{"--restart", "30"};
        QTest::newRow("-31") << -31 << QStringList{};
        QTest::newRow("-1000") << -1000 << QStringList{};
        QTest::newRow("+1") << 1 << QStringList{};
    }

    void restartArguments()
    {
        QFETCH(int, loopResult);
        QFETCH(QStringList, arguments);
        QCOMPARE(ReceiverService::restartArguments(loopResult), arguments);
    }

    void dataDirectory_data()
    {
        QTest::addColumn<QString>("stateDirectory");
        QTest::addColumn<QString>("directory");
        QTest::newRow("no unit") << QString() << "/opt/vemo/bin";
        QTest::newRow("empty") << ""
                               << "/opt/vemo/bin";
        QTest::newRow("state directory") << "/var/lib/vemo-paramserver"
                                         << "/var/lib/vemo-paramserver";
        QTest::newRow("several, the first") << "/var/lib/vemo-paramserver:/var/lib/other"
                                            << "/var/lib/vemo-paramserver";
    }
    void dataDirectory()
    {
        QFETCH(QString, stateDirectory);
        QFETCH(QString, directory);
        QCOMPARE(ProgramEntry::dataDirectory("/opt/vemo/bin", stateDirectory), directory);
    }

    // The local time zone is read once: TZ names /etc/localtime unless the
    // environment names a zone already.
    void pinLocalTimeZone_data()
    {
        QTest::addColumn<QByteArray>("before"); // empty: TZ not set
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("not set") << QByteArray() << true << QByteArray(":/etc/localtime");
        QTest::newRow("set") << QByteArray("Europe/Moscow") << false << QByteArray("Europe/Moscow");
    }

    void pinLocalTimeZone()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, pinned);
        QFETCH(QByteArray, after);
        const QByteArray saved = qgetenv("TZ");
        const bool wasSet = qEnvironmentVariableIsSet("TZ");
        if (before.isEmpty()) {
            qunsetenv("TZ");
        } else {
            qputenv("TZ", before);
        }
        const bool result = ProgramEntry::pinLocalTimeZone();
        const QByteArray now = qgetenv("TZ");
        if (wasSet) {
            qputenv("TZ", saved);
        } else {
            qunsetenv("TZ");
        }
        QCOMPARE(result, pinned);
        QCOMPARE(now, after);
    }
};

QTEST_GUILESS_MAIN(TestProgramEntry)
#include "tst_programentry.moc"
