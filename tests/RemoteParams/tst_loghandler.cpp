#include "controller.h"
#include "fakeserviceplatform.h"
#include "loghandler.h"
#include "logwriter.h"
#include "rpccontroller.h"
#include "rpcpeer.h"
#include "rpctypes.h"

#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

// The smallest service the framework accepts; it only has to exist for the log
// handler to find it.
class IdleService : public QtServiceBase
{
public:
    IdleService() : QtServiceBase(1, argv(), QStringLiteral("VEMO UOO_Params_Server service")) {}

protected:
    void start() override {}
    void createApplication(int&, char**) override {}
    int executeApplication() override { return 0; }

private:
    static char** argv()
    {
        static char name[] = "paramserver";
        static char* list[] = {name, nullptr};
        return list;
    }
};

// Receives the unsolicited log lines a workstation gets.
class LogReceiver : public QObject
{
    Q_OBJECT
public slots:
    void onLine(QString line) { lines << line; }

public:
    QStringList lines;
};

} // namespace

class TestLogHandler : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        platform.clearCalls();
        platform.clearEvents();
        QtServicePlatform::setCurrent(&platform);
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        QtServicePlatform::setCurrent(nullptr);
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("line");
        const QDateTime time(QDate(2024, 3, 5), QTime(14, 7, 9));
        Q_UNUSED(time);
        QTest::newRow("debug") << int(QtDebugMsg) << "Старт главного контроллера..."
                               << "24.03.05-14:07:09 >> [DEBUG] Старт главного контроллера...\n";
        QTest::newRow("critical, quoted")
            << int(QtCriticalMsg) << "\"ERROR: Ошибка открытия файла БД ресурсов\""
            << "24.03.05-14:07:09 >> [CRITICAL] ERROR: Ошибка открытия файла БД ресурсов\n";
        QTest::newRow("warning, inner quotes") << int(QtWarningMsg) << "say \"hi\" \"\""
                                               << "24.03.05-14:07:09 >> [WARNING] say hi \n";
        QTest::newRow("fatal") << int(QtFatalMsg) << "x"
                               << "24.03.05-14:07:09 >> [FATAL] x\n";
        QTest::newRow("info") << int(QtInfoMsg) << "y"
                              << "24.03.05-14:07:09 >> [INFO] y\n";
    }

    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QString, message);
        QFETCH(QString, line);
        const QDateTime time(QDate(2024, 3, 5), QTime(14, 7, 9));
        QCOMPARE(LogHandler::formatLine(time, QtMsgType(type), message), line);
    }

    void eventLogFields_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("eventType");
        QTest::addColumn<int>("eventId");
        QTest::newRow("debug") << int(QtDebugMsg) << int(QtServiceBase::Information) << 257;
        QTest::newRow("warning") << int(QtWarningMsg) << int(QtServiceBase::Warning) << 258;
        QTest::newRow("critical") << int(QtCriticalMsg) << int(QtServiceBase::Error) << 259;
        QTest::newRow("info") << int(QtInfoMsg) << int(QtServiceBase::Information) << 257;
    }

    void eventLogFields()
    {
        QFETCH(int, type);
        QFETCH(int, eventType);
        QFETCH(int, eventId);
        IdleService service;
        LogHandler::install();
        QMessageLogger logger;
        switch (QtMsgType(type)) {
        case QtDebugMsg:
            logger.debug() << QString("item");
            break;
        case QtWarningMsg:
            logger.warning() << QString("item");
            break;
        case QtCriticalMsg:
            logger.critical() << QString("item");
            break;
        default:
            logger.info() << QString("item");
            break;
        }
        qInstallMessageHandler(nullptr);
        const QList<FakeServicePlatform::Event> events = platform.events();
        QCOMPARE(events.size(), 1);
        QCOMPARE(int(events[0].type), eventType);
        QCOMPARE(events[0].id, eventId);
        QCOMPARE(events[0].category, 0u);
        QVERIFY(events[0].data.isEmpty());
        QVERIFY(events[0].message.endsWith("] item\n"));
        QCOMPARE(events[0].name, QString("VEMO UOO_Params_Server service"));
    }

    void writerKeepsOrderAndCountsWhatItDrops_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("roomFor");
        QTest::newRow("room for all") << 500 << 500;
        QTest::newRow("room for three") << 10 << 3;
    }

    // Lines are posted before the thread starts, so what fits is exactly known.
    void writerKeepsOrderAndCountsWhatItDrops()
    {
        QFETCH(int, lines);
        QFETCH(int, roomFor);
        IdleService service;
        const auto lineOf = [](int i) { return QStringLiteral("line %1\n").arg(i, 4, 10, QChar('0')); };
        LogWriter writer(2 * lineOf(0).size() * roomFor);
        for (int i = 0; i < lines; ++i) {
            QVERIFY(writer.post(lineOf(i), i % 2 ? QtWarningMsg : QtDebugMsg));
        }
        writer.start();
        writer.finish();
        QVERIFY(!writer.post(lineOf(0), QtDebugMsg));

        const QList<FakeServicePlatform::Event> events = platform.events();
        const int dropped = lines - roomFor;
        QCOMPARE(events.size(), roomFor + (dropped > 0 ? 1 : 0));
        for (int i = 0; i < roomFor; ++i) {
            QCOMPARE(events[i].message, lineOf(i));
            QCOMPARE(int(events[i].type),
                     int(i % 2 ? QtServiceBase::Warning : QtServiceBase::Information));
        }
        QCOMPARE(writer.droppedLines(), qint64(dropped));
        if (dropped > 0) {
            QVERIFY(events.last().message.endsWith(
                QStringLiteral("[WARNING] Журнал событий не успевал: пропущено строк: %1\n")
                    .arg(dropped)));
        }
    }

    // Two threads post while the writer writes: nothing is lost, each thread's
    // lines stay in their order.
    void writerTakesLinesFromTwoThreadsAtOnce()
    {
        IdleService service;
        LogWriter writer;
        writer.start();
        const int perThread = 3000;
        const auto postAll = [&writer](const QString& prefix) {
            for (int i = 0; i < perThread; ++i) {
                writer.post(prefix + QString::number(i), QtDebugMsg);
            }
        };
        QThread* worker = QThread::create([&postAll] { postAll(QStringLiteral("w")); });
        worker->start();
        postAll(QStringLiteral("m"));
        worker->wait();
        delete worker;
        writer.finish();

        int next[2] = {0, 0};
        for (const FakeServicePlatform::Event& event : platform.events()) {
            const int who = event.message.startsWith('w') ? 1 : 0;
            QCOMPARE(event.message.mid(1).toInt(), next[who]++);
        }
        QCOMPARE(next[0], perThread);
        QCOMPARE(next[1], perThread);
        QCOMPARE(writer.droppedLines(), qint64(0));
    }

    // A thread logs all the while controllers are created and deleted on the
    // main thread: no line is handed to a controller that is gone (that would
    // be a use after free: a crash, or AddressSanitizer's report).
    void threadLogsWhileTheControllerIsDeleted()
    {
        IdleService service;
        LogHandler::install();
        std::atomic<bool> done{false};
        std::atomic<int> logged{0};
        QList<QThread*> workers;
        for (int i = 0; i < 3; ++i) {
            workers << QThread::create([&] {
                while (!done.load()) {
                    qDebug() << "from a worker";
                    ++logged;
                }
            });
            workers.last()->start();
        }
        for (int i = 0; i < 20000; ++i) {
            auto* controller = new Controller;
            QCoreApplication::processEvents();
            delete controller;
            if (i % 64 == 0) {
                platform.clearEvents();
            }
        }
        done = true;
        for (QThread* worker : qAsConst(workers)) {
            worker->wait();
            delete worker;
        }
        qInstallMessageHandler(nullptr);
        QVERIFY(logged.load() > 0);
    }

    void withoutServiceNothingIsWritten()
    {
        LogHandler::install();
        qDebug() << "lost";
        qInstallMessageHandler(nullptr);
        QVERIFY(platform.events().isEmpty());
    }

    void everyClientReceivesEveryLine()
    {
        QTemporaryDir dir;
        QDir::setCurrent(dir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("user"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.filePath("sys"));
        {
            QSettings s(QSettings::NativeFormat, QSettings::UserScope, "Kolvant",
                        "VemoParamsServer");
            s.setValue("Network/RpcPort", 0);
            s.setValue("Network/ParamsPort", 0);
        }

        IdleService service;
        Controller controller;
        controller.initialize();
        QVERIFY(controller.rpcServer());
        const quint16 port = controller.rpcServer()->serverPort();
        QVERIFY(port != 0);
        LogHandler::install();

        // Two workstations, neither logged in.
        LogReceiver first, second;
        RpcPeer a, b;
        a.attachSlot("RPC_SYS_LOG_MESSAGE", &first, SLOT(onLine(QString)));
        b.attachSlot("RPC_SYS_LOG_MESSAGE", &second, SLOT(onLine(QString)));
        a.connectToServer("127.0.0.1", port);
        b.connectToServer("127.0.0.1", port);
        QVERIFY(a.waitForConnected(10000));
        QVERIFY(b.waitForConnected(10000));
        QTRY_COMPARE_WITH_TIMEOUT(controller.rpcServer()->getClients().size(), 2, 10000);

        qDebug() << "from the main thread";
        QThread* worker = QThread::create([] { qWarning() << "from a worker"; });
        worker->start();
        worker->wait();
        delete worker;

        for (LogReceiver* receiver : {&first, &second}) {
            QTRY_VERIFY_WITH_TIMEOUT(
                receiver->lines.filter(" >> [DEBUG] from the main thread\n").size() == 1, 10000);
            QTRY_VERIFY_WITH_TIMEOUT(
                receiver->lines.filter(" >> [WARNING] from a worker\n").size() == 1, 10000);
        }
        qInstallMessageHandler(nullptr);
        QDir::setCurrent(QDir::tempPath());
    }

private:
    FakeServicePlatform platform;
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
