#include "metricssample.h"

#include <QStringList>
#include <QTcpSocket>

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

QByteArray httpGet(quint16 port, const QByteArray& path, const QHostAddress& address)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(10000)) {
        return QByteArray();
    }
    socket.write("GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000)) {
        reply += socket.readAll();
    }
    return reply + socket.readAll();
}
