#pragma once

#include <QString>

// The value of the sample line of a Prometheus text exposition that starts with
// "name " (name with its labels, as the exposition writes them); -1 when there is none.
double metricSample(const QString& exposition, const QString& name);
