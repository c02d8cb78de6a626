#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <memory>

namespace prometheus {
class Exposer;
}
class MetricsCollector;

// The opt-in Prometheus endpoint of the service: GET /metrics over HTTP, served
// by the library's own threads, so a slow or hostile scraper never holds the
// main thread. Off unless a port is given. GET /active on the same port
// answers 200 "active" on the active node of a pair (and on a single node),
// 503 "standby" on a standby: the role published in ServiceCounters.
//
// While it serves, it asks once a second (sampleDue) for the gauges to be
// published; that happens on the main thread, where the figures live.
class MetricsEndpoint : public QObject
{
    Q_OBJECT
public:
    MetricsEndpoint(const QString& version, const QString& build, QObject* parent = nullptr);
    ~MetricsEndpoint() override;

    // Starts serving on host:port from the settings' raw values ("Metrics/Host",
    // "Metrics/Port"). An absent or zero port means off, silently; a port or host
    // that cannot be used (the host is an IPv4 address) gets one log line and the
    // service goes on without metrics. Returns whether the endpoint serves.
    bool start(const QVariant& hostSetting, const QVariant& portSetting);
    void stop();

    bool isServing() const;
    // The port actually listened on; 0 when not serving.
    quint16 boundPort() const;

    // Reads a port setting: false for text that is not a number or a number out
    // of range; an absent value reads as 0.
    static bool parsePort(const QVariant& setting, quint16* port);

    static constexpr const char* DefaultHost = "127.0.0.1";
    static constexpr int SampleIntervalMs = 1000;

signals:
    void sampleDue();

private:
    const QString version;
    const QString build;
    std::shared_ptr<MetricsCollector> collector;
    std::unique_ptr<prometheus::Exposer> exposer;
    QHostAddress listenHost;
    quint16 port = 0;
    QTimer sampleTimer;
};
