// The Prometheus endpoint: what a scrape shows for each counter and gauge, and
// what every kind of bad setting gets (one log line, no endpoint).

#include "logcapture.h"
#include "metricscollector.h"
#include "metricsendpoint.h"
#include "metricssample.h"
#include "servicecounters.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <prometheus/text_serializer.h>

#include <sstream>

Q_DECLARE_METATYPE(ServiceCounters::Counter)
Q_DECLARE_METATYPE(ServiceCounters::Gauge)

namespace {

QString exposition()
{
    MetricsCollector collector("1.2", "Qt test build");
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, collector.Collect());
    return QString::fromStdString(out.str());
}

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class TestMetricsEndpoint : public QObject
{
    Q_OBJECT
private slots:
    void counterIsExposedUnderItsName_data()
    {
        QTest::addColumn<ServiceCounters::Counter>("counter");
        QTest::addColumn<QString>("name");
        QTest::newRow("sync") << ServiceCounters::SyncRequests << "paramserver_sync_requests_total";
        QTest::newRow("uploads") << ServiceCounters::UploadsCompleted
                                 << "paramserver_uploads_completed_total";
        QTest::newRow("downloads")
            << ServiceCounters::DownloadsCompleted << "paramserver_downloads_completed_total";
        QTest::newRow("abandoned")
            << ServiceCounters::DownloadsAbandoned << "paramserver_downloads_abandoned_total";
        QTest::newRow("invalid") << ServiceCounters::InvalidDatagrams
                                 << "paramserver_invalid_datagrams_total";
        QTest::newRow("logins") << ServiceCounters::LoginsFailed
                                << "paramserver_logins_failed_total";
        QTest::newRow("db writes")
            << ServiceCounters::DbWriteFailures << "paramserver_db_write_failures_total";
    }
    void counterIsExposedUnderItsName()
    {
        QFETCH(ServiceCounters::Counter, counter);
        QFETCH(QString, name);
        const QString before = exposition();
        QVERIFY2(before.contains("# TYPE " + name + " counter"), qPrintable(before));
        const double start = metricSample(before, name);
        ServiceCounters::add(counter, 3);
        const QString after = exposition();
        QCOMPARE(metricSample(after, name), start + 3);
        // No other counter moved with it.
        for (int other = 0; other < ServiceCounters::CounterCount; ++other) {
            if (other != counter) {
                QCOMPARE(ServiceCounters::value(ServiceCounters::Counter(other)) > 0, false);
            }
        }
        resetCounter(counter);
    }

    void gaugeIsExposedUnderItsName_data()
    {
        QTest::addColumn<ServiceCounters::Gauge>("gauge");
        QTest::addColumn<QString>("name");
        QTest::newRow("known") << ServiceCounters::DevicesKnown << "paramserver_devices_known";
        QTest::newRow("online") << ServiceCounters::DevicesOnline << "paramserver_devices_online";
        QTest::newRow("unsaved") << ServiceCounters::UnsavedRecords
                                 << "paramserver_unsaved_records";
        QTest::newRow("published account")
            << ServiceCounters::DefaultCredentials << "paramserver_default_credentials";
        QTest::newRow("logged in")
            << ServiceCounters::RpcClientsLoggedIn << "paramserver_rpc_clients{logged_in=\"true\"}";
        QTest::newRow("anonymous") << ServiceCounters::RpcClientsAnonymous
                                   << "paramserver_rpc_clients{logged_in=\"false\"}";
    }
    void gaugeIsExposedUnderItsName()
    {
        QFETCH(ServiceCounters::Gauge, gauge);
        QFETCH(QString, name);
        ServiceCounters::set(gauge, 1000001);
        QCOMPARE(metricSample(exposition(), name), 1000001.0);
        ServiceCounters::set(gauge, 0);
        QCOMPARE(metricSample(exposition(), name), 0.0);
    }

    void buildInfoCarriesVersionAndBuild()
    {
        QCOMPARE(metricSample(exposition(),
                              "paramserver_build_info{version=\"1.2\",build=\"Qt test build\"}"),
                 1.0);
    }

    void badSettingsLeaveTheServiceWithoutMetrics_data()
    {
        QTest::addColumn<QVariant>("host");
        QTest::addColumn<QVariant>("port");
        QTest::addColumn<int>("logLines");
        QTest::newRow("absent") << QVariant() << QVariant() << 0;
        QTest::newRow("zero") << QVariant() << QVariant("0") << 0;
        QTest::newRow("empty") << QVariant() << QVariant("") << 0;
        QTest::newRow("not a number") << QVariant() << QVariant("metrics") << 1;
        QTest::newRow("trailing text") << QVariant() << QVariant("9100x") << 1;
        QTest::newRow("too large") << QVariant() << QVariant("65536") << 1;
        QTest::newRow("negative") << QVariant() << QVariant("-1") << 1;
        QTest::newRow("host not an address")
            << QVariant("metrics.example") << QVariant("9100") << 1;
        QTest::newRow("host IPv6") << QVariant("::1") << QVariant("9100") << 1;
    }
    void badSettingsLeaveTheServiceWithoutMetrics()
    {
        QFETCH(QVariant, host);
        QFETCH(QVariant, port);
        QFETCH(int, logLines);
        LogCapture log;
        MetricsEndpoint endpoint("1", "b");
        QSignalSpy samples(&endpoint, &MetricsEndpoint::sampleDue);
        QVERIFY(!endpoint.start(host, port));
        QVERIFY(!endpoint.isServing());
        QCOMPARE(endpoint.boundPort(), quint16(0));
        QCOMPARE(samples.count(), 0);
        QCOMPARE(log.entries().size(), logLines);
        if (logLines > 0) {
            QVERIFY2(log.texts().constFirst().contains("без метрик"),
                     qPrintable(log.texts().join('|')));
        }
    }

    void takenPortIsOneLogLine()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        LogCapture log;
        MetricsEndpoint endpoint("1", "b");
        QVERIFY(!endpoint.start(QVariant(), QString::number(taken.serverPort())));
        QVERIFY(!endpoint.isServing());
        QCOMPARE(log.entries().size(), 1);
        QVERIFY(log.texts().constFirst().contains(QString::number(taken.serverPort())));
    }

    void servesTheScrapeOnLoopback()
    {
        const quint16 port = freePort();
        ServiceCounters::add(ServiceCounters::SyncRequests, 7);
        MetricsEndpoint endpoint("1.2", "b");
        QSignalSpy samples(&endpoint, &MetricsEndpoint::sampleDue);
        QVERIFY(endpoint.start(QVariant(), QVariant(int(port))));
        QCOMPARE(endpoint.boundPort(), port);
        // The gauges are asked for at once, not only a second later.
        QCOMPARE(samples.count(), 1);

        const QString reply = QString::fromUtf8(httpGet(port, "/metrics"));
        QVERIFY2(reply.startsWith("HTTP/1.1 200") || reply.startsWith("HTTP/1.0 200"),
                 qPrintable(reply.left(200)));
        QVERIFY(metricSample(reply, "paramserver_sync_requests_total") >= 7);
        QVERIFY(reply.contains("paramserver_build_info{version=\"1.2\""));

        // 127.0.0.1 only by default: another loopback address is not answered.
        QVERIFY(httpGet(port, "/metrics", QHostAddress("127.0.0.2")).isEmpty());

        endpoint.stop();
        QVERIFY(!endpoint.isServing());
        QVERIFY(httpGet(port, "/metrics").isEmpty());
        resetCounter(ServiceCounters::SyncRequests);
    }

private:
    static void resetCounter(ServiceCounters::Counter counter)
    {
        ServiceCounters::store(counter, 0);
    }
};

QTEST_GUILESS_MAIN(TestMetricsEndpoint)
#include "tst_metricsendpoint.moc"
