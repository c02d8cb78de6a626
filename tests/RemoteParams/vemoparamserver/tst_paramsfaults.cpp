// The parameters file on a bad day: locked at start, damaged, not a database,
// rows with values of the wrong type, a file that cannot be written for a while.
// Nothing stored may be removed, and every change must reach the file in the end.

#include "paramtestsupport.h"

#include <QSqlError>
#include <QSqlQuery>

#include <csignal>
#include <sys/resource.h>

using namespace paramtest;

class TestParamsFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void lockedAtStart_data();
    void lockedAtStart();
    void damagedFile_data();
    void damagedFile();
    void valuesOfWrongTypes_data();
    void valuesOfWrongTypes();
    void storedTextsAndTimes_data();
    void storedTextsAndTimes();
    void unwritableFileRetried();
};

namespace {

ParamsRow row(quint32 uoo, const QByteArray& set, const QByteArray& newSet = QByteArray())
{
    ParamsRow r = storedRow(uoo, 1, set);
    r.record.localparams = newSet;
    r.record.leftToSend = newSet.size();
    return r;
}

QVector<ParamsRow> rows(quint32 first, quint32 last, int setSize)
{
    QVector<ParamsRow> list;
    for (quint32 uoo = first; uoo <= last; ++uoo) {
        list.append(row(uoo, patternSet(setSize, static_cast<int>(uoo))));
    }
    return list;
}

int storedCount(const QString& where = QString())
{
    FileProbe probe;
    return probe.column(QStringLiteral("SELECT COUNT(*) FROM desc ") + where).value(0).toInt();
}

QStringList movedAside()
{
    return QDir().entryList({QStringLiteral("params_upd.db.damaged-*")}, QDir::Files);
}

// Writes to files fail while it lives, as on a full disk (writes that extend a
// file are refused by the file size limit; the limit is the process's own).
class FileWritesFail
{
public:
    FileWritesFail()
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = 0;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileWritesFail() { setrlimit(RLIMIT_FSIZE, &m_old); }

private:
    rlimit m_old{};
};

} // namespace

void TestParamsFaults::initTestCase()
{
    // Past the file size limit writes fail with an error instead of a signal.
    std::signal(SIGXFSZ, SIG_IGN);
}

void TestParamsFaults::lockedAtStart_data()
{
    QTest::addColumn<bool>("releaseWhileRunning");
    QTest::newRow("released before the stop") << false;
    QTest::newRow("released while running") << true;
}

void TestParamsFaults::lockedAtStart()
{
    QFETCH(bool, releaseWhileRunning);
    Harness h(false);
    QVector<ParamsRow> seeded = rows(1, 100, 40);
    seeded[4] = row(5, patternSet(40, 5), QByteArray("pending new set"));
    seedRows(seeded);

    auto lock = std::make_unique<FileProbe>();
    QVERIFY(lock->exec(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")));
    QVERIFY(lock->exec(QStringLiteral("BEGIN EXCLUSIVE")));
    QVERIFY(lock->exec(QStringLiteral("INSERT INTO log (message, uoo) VALUES (9, 9)")));
    QVERIFY(lock->exec(QStringLiteral("COMMIT")));

    LogCapture log;
    h.createServer(); // waits out the lock, then serves
    QVERIFY2(log.countStarting(QStringLiteral("ERROR: Загрузка БД параметров не завершена: ")) == 1,
             qPrintable(log.texts().join('\n')));
    QCOMPARE(h.server->uooParamsDesc(1).uoo, 0u);
    // Devices are served meanwhile; device 5 is new to the server now.
    QCOMPARE(h.exchange(syncRequest(5, 0, 0)).size(), 1);
    QCOMPARE(h.exchange(syncRequest(500, 0, 0)).size(), 1);
    // An operator action cannot be made durable: refused, nothing changed.
    QVERIFY(!h.server->cancelNewParams(5, UooRParamsDesc()));

    lock.reset();
    if (releaseWhileRunning) {
        QTRY_COMPARE_WITH_TIMEOUT(h.server->uooParamsDesc(1).uoo, 1u, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(storedCount(), 101, 15000);
    }
    h.destroyServer();
    QCOMPARE(storedCount(), 101);
    QCOMPARE(storedCount(QStringLiteral("WHERE uoo BETWEEN 1 AND 100 AND length(uooparams) = 40")),
             99);
    // The live record of device 5 (upload asked) keeps the operator's new set.
    FileProbe probe;
    QCOMPARE(probe.column(QStringLiteral("SELECT state FROM desc WHERE uoo = 5")), QVariantList{0});
    QCOMPARE(probe.column(QStringLiteral("SELECT localparams FROM desc WHERE uoo = 5")),
             QVariantList{QByteArray("pending new set")});
    QCOMPARE(probe.column(QStringLiteral("SELECT COUNT(*) FROM log WHERE message = 9")),
             QVariantList{1});
}

void TestParamsFaults::damagedFile_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("minLoaded");
    QTest::addColumn<int>("maxLoaded");
    QTest::newRow("not a database") << "garbage" << 0 << 0;
    QTest::newRow("damaged page") << "page" << 290 << 299;
    QTest::newRow("table of another shape") << "shape" << 0 << 0;
}

void TestParamsFaults::damagedFile()
{
    QFETCH(QString, damage);
    QFETCH(int, minLoaded);
    QFETCH(int, maxLoaded);
    Harness h(false);
    if (damage == QLatin1String("garbage")) {
        QFile file(QStringLiteral("params_upd.db"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(patternSet(8192, 3));
    } else if (damage == QLatin1String("shape")) {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
        QVERIFY(probe.exec(QStringLiteral("CREATE TABLE desc (uoo INTEGER PRIMARY KEY, x TEXT)")));
        QVERIFY(probe.exec(QStringLiteral("INSERT INTO desc VALUES (1, 'kept')")));
    } else {
        // Four rows a page: the middle page of the file is a leaf of table desc.
        seedRows(rows(1, 300, 1000));
        QVERIFY(!QFile::exists(QStringLiteral("params_upd.db-wal")));
        QFile file(QStringLiteral("params_upd.db"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        const qint64 pages = file.size() / 4096;
        QVERIFY(pages > 60);
        QVERIFY(file.seek((pages / 2) * 4096));
        file.write(QByteArray(64, '\xFF'));
    }
    QFile original(QStringLiteral("params_upd.db"));
    QVERIFY(original.open(QIODevice::ReadOnly));
    const QByteArray originalBytes = original.readAll();
    original.close();

    LogCapture log;
    h.createServer();
    QVERIFY2(log.countStarting(QStringLiteral("ERROR: БД параметров повреждена: ")) == 1,
             qPrintable(log.texts().join('\n')));
    int loaded = 0;
    for (quint32 uoo = 1; uoo <= 300; ++uoo) {
        loaded += h.server->uooParamsDesc(uoo).uoo == uoo ? 1 : 0;
    }
    QVERIFY2(loaded >= minLoaded && loaded <= maxLoaded, qPrintable(QString::number(loaded)));
    if (maxLoaded > 0) {
        // Stepped over the damage: the rows on both sides of it are there.
        QCOMPARE(h.server->uooParamsDesc(1).uooparams, patternSet(1000, 1));
        QCOMPARE(h.server->uooParamsDesc(300).uooparams, patternSet(1000, 300));
    }
    // The damaged file is kept aside as it was; a fresh file holds what was read.
    const QStringList aside = movedAside();
    QCOMPARE(aside.size(), 1);
    QFile kept(aside.first());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY(kept.readAll() == originalBytes);
    QCOMPARE(storedCount(), loaded);

    // New changes are written to the fresh file, and all survives the stop.
    h.exchange(syncRequest(777, 0, 0));
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), loaded + 1, 15000);
    h.destroyServer();
    QCOMPARE(storedCount(), loaded + 1);
}

void TestParamsFaults::valuesOfWrongTypes_data()
{
    QTest::addColumn<QString>("values");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("uooparamsSize");
    QTest::addColumn<int>("localparamsSize");
    QTest::addColumn<bool>("repaired");
    // uoo 7; the values of the other ten columns.
    QTest::newRow("NULLs") << "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL" << 0 << 0
                           << 0 << true;
    QTest::newRow("texts for numbers")
        << "'x', 'y', 'z', 5, 6, 'not a time', NULL, NULL, x'0102', NULL" << 0 << 2 << 0 << true;
    QTest::newRow("a set larger than any upload")
        << "1, 0, 0, 'd', 'p', NULL, NULL, NULL, zeroblob(300), x'01'" << 0 << 0 << 1 << true;
    QTest::newRow("a new set larger than any device takes")
        << "2, 1, 10, 'd', 'p', NULL, NULL, NULL, x'0102', zeroblob(300)" << 1 << 2 << 0 << true;
    // The INTEGER columns make numbers of numeric texts: read back as those texts.
    QTest::newRow("numeric texts") << "1, 0, 0, 5, 6, NULL, NULL, NULL, x'0102', NULL" << 1 << 2
                                   << 0 << false;
    QTest::newRow("sound row") << "2, 1, 10, 'd', 'p', NULL, NULL, NULL, x'0102', zeroblob(200)"
                               << 2 << 2 << 200 << false;
}

void TestParamsFaults::valuesOfWrongTypes()
{
    QFETCH(QString, values);
    QFETCH(int, state);
    QFETCH(int, uooparamsSize);
    QFETCH(int, localparamsSize);
    QFETCH(bool, repaired);
    Harness h(false);
    seedRows({row(8, "as the server writes it")}); // null times, no new set: sound
    {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("INSERT INTO desc VALUES (7, ") + values + ")"));
        // A key that is no UOO number this server writes.
        QVERIFY(probe.exec(QStringLiteral("INSERT INTO desc (uoo, state) VALUES (1099511627776, "
                                          "1)")));
    }
    ParamsDatabase db(QStringLiteral("direct"));
    QVERIFY(db.open());
    ParamsDatabase::ReadReport report;
    const QVector<ParamsRow> read = db.readRecords(256, &report);
    QCOMPARE(report.failure, ParamsDatabase::Failure::None);
    QCOMPARE(read.size(), 2);
    QCOMPARE(report.rowsSkipped, 1);
    QCOMPARE(report.rowsRepaired, repaired ? 1 : 0);
    const UooRParamsDesc& r = read[0].record;
    QCOMPARE(r.uoo, 7u);
    QCOMPARE(r.state, state);
    QCOMPARE(r.uooparams.size(), uooparamsSize);
    QCOMPARE(r.localparams.size(), localparamsSize);
    QVERIFY(r.leftToSend >= 0);
    db.close();

    // A run without traffic leaves both rows exactly as they were.
    FileProbe before;
    const QVariantList stored =
        before.column(QStringLiteral("SELECT quote(state) || quote(uooparams) "
                                     "|| quote(localparams) FROM desc"));
    h.createServer();
    h.destroyServer();
    QCOMPARE(before.column(QStringLiteral("SELECT quote(state) || quote(uooparams) || "
                                          "quote(localparams) FROM desc")),
             stored);
}

void TestParamsFaults::storedTextsAndTimes_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("uootime");
    QTest::addColumn<QString>("expectedDevice");
    QTest::addColumn<QDateTime>("expectedTime");
    QTest::addColumn<bool>("repaired");
    const QDateTime written(QDate(2026, 12, 9), QTime(8, 3, 39, 123));
    // As the driver writes a local time, and other texts a time may be read from.
    QTest::newRow("written time") << "'d'" << "'2026-12-09T08:03:39.123'" << "d" << written
                                  << false;
    QTest::newRow("time without msecs") << "'d'" << "'2026-12-09T08:03:39'" << "d"
                                        << QDateTime(QDate(2026, 12, 9), QTime(8, 3, 39)) << false;
    QTest::newRow("UTC time") << "'d'" << "'2026-12-09T08:03:39.123Z'" << "d"
                              << QDateTime(QDate(2026, 12, 9), QTime(8, 3, 39, 123), Qt::UTC)
                              << false;
    QTest::newRow("no such day") << "'d'" << "'2026-02-30T08:03:39.123'" << "d" << QDateTime()
                                 << true;
    QTest::newRow("hour 25") << "'d'" << "'2026-12-09T25:03:39.123'" << "d" << QDateTime() << true;
    QTest::newRow("empty time") << "'d'" << "''" << "d" << QDateTime() << false;
    QTest::newRow("number for a time") << "'d'" << "5" << "d" << QDateTime() << true;
    QTest::newRow("blob for a time") << "'d'" << "x'31'" << "d" << QDateTime() << true;
    QTest::newRow("real for a text") << "2.5" << "NULL" << "2.5" << QDateTime() << false;
    QTest::newRow("blob for a text") << "x'4142'" << "NULL" << "AB" << QDateTime() << true;
    QTest::newRow("number for a text") << "8" << "NULL" << "8" << QDateTime() << false;
}

void TestParamsFaults::storedTextsAndTimes()
{
    QFETCH(QString, device);
    QFETCH(QString, uootime);
    QFETCH(QString, expectedDevice);
    QFETCH(QDateTime, expectedTime);
    QFETCH(bool, repaired);
    Harness h(false);
    seedRows({row(8, "as the server writes it"), row(9, "as the server writes it")});
    {
        FileProbe probe;
        QVERIFY(probe.exec(QStringLiteral("INSERT INTO desc VALUES (7, 1, 0, 0, %1, '1', %2, "
                                          "NULL, NULL, x'01', NULL)")
                               .arg(device, uootime)));
        // Texts repeated or not from the row before, of both types.
        QVERIFY(probe.exec(QStringLiteral("UPDATE desc SET device = 'd' WHERE uoo = 8")));
        QVERIFY(probe.exec(QStringLiteral("UPDATE desc SET device = 8 WHERE uoo = 9")));
    }
    ParamsDatabase db(QStringLiteral("direct"));
    QVERIFY(db.open());
    ParamsDatabase::ReadReport report;
    const QVector<ParamsRow> read = db.readRecords(256, &report);
    QCOMPARE(report.failure, ParamsDatabase::Failure::None);
    QCOMPARE(read.size(), 3);
    QCOMPARE(report.rowsRepaired, repaired ? 1 : 0);
    const UooRParamsDesc& r = read[0].record;
    QCOMPARE(r.device, expectedDevice);
    QCOMPARE(r.pversion, QStringLiteral("1"));
    QCOMPARE(r.uootime, expectedTime);
    QCOMPARE(r.uootime.isValid(), expectedTime.isValid());
    QCOMPARE(read[1].record.device, QStringLiteral("d"));
    QCOMPARE(read[2].record.device, QStringLiteral("8"));
    db.close();
}

void TestParamsFaults::unwritableFileRetried()
{
    Harness h;
    h.makeIdle(1, patternSet(30));
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), 1, 15000);
    LogCapture log;
    {
        FileWritesFail fail;
        for (quint32 uoo = 10; uoo < 20; ++uoo) {
            h.makeIdle(uoo, patternSet(50, static_cast<int>(uoo)));
        }
        QTRY_VERIFY_WITH_TIMEOUT(h.server->paramsWriteFailing(), 15000);
        // An operator's new set that cannot be written is refused and not kept.
        UooRParamsDesc request;
        request.localparams = patternSet(99);
        QVERIFY(!h.server->scheduleNewParams(1, request));
        QVERIFY(h.server->uooParamsDesc(1).localparams.isEmpty());
        QCOMPARE(h.server->unsavedRecords(), 10);
        QCOMPARE(h.server->unsavedLogRows(), 10);
    }
    QCOMPARE(storedCount(), 1);
    // Writing works again: everything waiting reaches the file without traffic.
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(QStringLiteral("WHERE state = 1")), 11, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(h.server->unsavedLogRows(), 0, 15000);
    FileProbe probe;
    QCOMPARE(probe.column(QStringLiteral("SELECT COUNT(*) FROM log WHERE message = 1")),
             QVariantList{11});
    QCOMPARE(log.countStarting(QStringLiteral("Ошибка записи в БД параметров: ")), 1);
    QCOMPARE(log.countStarting(QStringLiteral("БД параметров снова записывается")), 1);
    QVERIFY(h.server->paramsWriteFailures() >= 1);
    QVERIFY(!h.server->paramsWriteFailing());
}

QTEST_GUILESS_MAIN(TestParamsFaults)
#include "tst_paramsfaults.moc"
