#include "metricssample.h"

#include <QStringList>

double metricSample(const QString& exposition, const QString& name)
{
    const QString prefix = name + QLatin1Char(' ');
    const QStringList lines = exposition.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(prefix)) {
            return line.mid(prefix.size()).toDouble();
        }
    }
    return -1;
}
