// The port setting of the metrics endpoint, read the same way whether or not the
// endpoint is built in.
#include "metricsendpoint.h"

#include <QVariant>

bool MetricsEndpoint::parsePort(const QVariant& setting, quint16* port)
{
    *port = 0;
    if (!setting.isValid() || setting.toString().trimmed().isEmpty()) {
        return true;
    }
    bool ok = false;
    const qlonglong value = setting.toString().trimmed().toLongLong(&ok, 10);
    if (!ok || value < 0 || value > 65535) {
        return false;
    }
    *port = static_cast<quint16>(value);
    return true;
}
