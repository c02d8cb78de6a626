#include "metricsendpoint.h"

#include "metricscollector.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

#include "servicecounters.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/exposer.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace {

// civetweb's limits for the scrapers: two serving threads (a scrape is a
// copy of a few dozen numbers), and a connection that sends or reads nothing
// for this long is closed.
const char* const ServingThreads = "2";
const char* const RequestTimeoutMs = "5000";

const char* const ActivePath = "/active";

// GET /active: 200 on the active node (a single node always is), 503 on a
// standby, as load balancers' and keepalived's health checks expect (the
// convention of Patroni's /primary). Answered by the library's serving thread
// before its own handlers, from the relaxed atomic the role is published in;
// every other path goes on to the library (0).
int answerRoleRequest(mg_connection* connection)
{
    const mg_request_info* request = mg_get_request_info(connection);
    if (request == nullptr || request->local_uri == nullptr ||
        std::strcmp(request->local_uri, ActivePath) != 0) {
        return 0;
    }
    const bool standby = ServiceCounters::value(ServiceCounters::ClusterStandby) != 0;
    const char* const body = standby ? "standby\n" : "active\n";
    const int status = standby ? 503 : 200;
    mg_printf(connection,
              "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: %d\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n",
              status, standby ? "Service Unavailable" : "OK", int(std::strlen(body)));
    if (request->request_method == nullptr || std::strcmp(request->request_method, "HEAD") != 0) {
        mg_write(connection, body, std::strlen(body));
    }
    return status;
}

} // namespace

MetricsEndpoint::MetricsEndpoint(const QString& version, const QString& build, QObject* parent)
    : QObject(parent), version(version), build(build)
{
    sampleTimer.setInterval(SampleIntervalMs);
    connect(&sampleTimer, &QTimer::timeout, this, &MetricsEndpoint::sampleDue);
}

MetricsEndpoint::~MetricsEndpoint()
{
    stop();
}

bool MetricsEndpoint::start(const QVariant& hostSetting, const QVariant& portSetting)
{
    stop();
    quint16 wanted = 0;
    if (!parsePort(portSetting, &wanted)) {
        qWarning().noquote() << QStringLiteral("ERROR: Неверный порт метрик Metrics/Port: \"%1\", "
                                               "служба работает без метрик")
                                    .arg(portSetting.toString().left(64));
        return false;
    }
    if (wanted == 0) {
        return false;
    }
    const QString hostText = hostSetting.toString().trimmed().isEmpty()
                                 ? QLatin1String(DefaultHost)
                                 : hostSetting.toString().trimmed();
    // Debian's civetweb listens on IPv4 addresses only.
    const QHostAddress host(hostText);
    if (host.protocol() != QAbstractSocket::IPv4Protocol) {
        qWarning().noquote() << QStringLiteral("ERROR: Неверный адрес метрик Metrics/Host: \"%1\", "
                                               "служба работает без метрик")
                                    .arg(hostText.left(64));
        return false;
    }
    const QString listen = QStringLiteral("%1:%2").arg(host.toString()).arg(wanted);
    listenHost = host;

    collector = std::make_shared<MetricsCollector>(version.toStdString(), build.toStdString());
    try {
        CivetCallbacks callbacks;
        callbacks.begin_request = &answerRoleRequest;
        exposer = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", listen.toStdString(), "num_threads",
                                     ServingThreads, "request_timeout_ms", RequestTimeoutMs},
            &callbacks);
        exposer->RegisterCollectable(collector);
        const std::vector<int> ports = exposer->GetListeningPorts();
        port = ports.empty() ? wanted : static_cast<quint16>(ports.front());
    } catch (const std::exception& e) {
        exposer.reset();
        collector.reset();
        qWarning().noquote()
            << QStringLiteral("ERROR: Ошибка запуска метрик на %1: %2, служба работает без метрик")
                   .arg(listen, QString::fromLocal8Bit(e.what()));
        return false;
    }
    qDebug().noquote()
        << QStringLiteral("Метрики доступны по адресу http://%1/metrics").arg(listen);
    emit sampleDue();
    sampleTimer.start();
    return true;
}

void MetricsEndpoint::stop()
{
    sampleTimer.stop();
    if (exposer != nullptr) {
        // civetweb's listening thread looks at its stop flag only between waits
        // for a connection, each up to 2 s, and the stop waits for it. A
        // connection of our own, made again until the library has stopped, ends
        // that wait at once.
        std::atomic<bool> stopped{false};
        const QHostAddress target = listenHost == QHostAddress(QHostAddress::AnyIPv4)
                                        ? QHostAddress(QHostAddress::LocalHost)
                                        : listenHost;
        const quint16 targetPort = port;
        std::thread waker([&stopped, target, targetPort] {
            while (!stopped.load()) {
                QTcpSocket knock;
                knock.connectToHost(target, targetPort);
                knock.waitForConnected(50);
                knock.abort();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        exposer.reset();
        stopped.store(true);
        waker.join();
    }
    collector.reset();
    port = 0;
}

bool MetricsEndpoint::isServing() const
{
    return exposer != nullptr;
}

quint16 MetricsEndpoint::boundPort() const
{
    return port;
}
