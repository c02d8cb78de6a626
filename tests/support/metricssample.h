#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The value of the sample line of a Prometheus text exposition that starts with
// "name " (name with its labels, as the exposition writes them); -1 when there is none.
double metricSample(const QString& exposition, const QString& name);

// The whole reply (head and body) to one HTTP/1.0 GET of path from the server
// at address:port, such as the metrics endpoint; empty when nothing answers.
QByteArray httpGet(quint16 port, const QByteArray& path,
                   const QHostAddress& address = QHostAddress::LocalHost);
