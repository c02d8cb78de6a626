// The metrics endpoint of a build without prometheus-cpp (the Windows build:
// Debian packages the library for Linux only). The settings are read as
// everywhere else; a configured port gets one log line and the service goes on
// without metrics.
#include "metricsendpoint.h"

#include <QDebug>

// Never created here; complete only so that the member's destructor compiles.
namespace prometheus {
class Exposer
{
};
} // namespace prometheus

MetricsEndpoint::MetricsEndpoint(const QString& version, const QString& build, QObject* parent)
    : QObject(parent), version(version), build(build)
{
}

MetricsEndpoint::~MetricsEndpoint() = default;

bool MetricsEndpoint::start(const QVariant& hostSetting, const QVariant& portSetting)
{
    Q_UNUSED(hostSetting)
    quint16 wanted = 0;
    if (parsePort(portSetting, &wanted) && wanted == 0) {
        return false;
    }
    qWarning().noquote() << QStringLiteral("ERROR: Метрики не поддерживаются этой сборкой "
                                           "(Metrics/Port: \"%1\"), служба работает без метрик")
                                .arg(portSetting.toString().left(64));
    return false;
}

void MetricsEndpoint::stop() {}

bool MetricsEndpoint::isServing() const
{
    return false;
}

quint16 MetricsEndpoint::boundPort() const
{
    return 0;
}
