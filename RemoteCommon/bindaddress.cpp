#include "bindaddress.h"

#include <QFile>

namespace {

bool isRestartNumber(const QString& text)
{
    bool ok = false;
    text.toInt(&ok, 10);
    return ok;
}

} // namespace

BindAddress resolveBindAddress(const QStringList& arguments, const QString& bindHostFileText,
                               quint16 rpcPort)
{
    BindAddress result;
    result.port = rpcPort;

    int next = 1;
    if (next < arguments.size() && (arguments.at(next) == QLatin1String("-e") ||
                                    arguments.at(next) == QLatin1String("-exec"))) {
        ++next;
    }
    if (next < arguments.size() && arguments.at(next).contains(QLatin1String("--restart"))) {
        ++next;
        if (next < arguments.size() && isRestartNumber(arguments.at(next))) {
            ++next;
        }
    }
    if (next < arguments.size()) {
        result.hostText = arguments.at(next); // untrimmed, as given
    } else if (!bindHostFileText.isNull()) {
        result.hostText = bindHostFileText.trimmed();
    }
    if (result.hostText.isEmpty()) {
        return result;
    }

    const QStringList parts = result.hostText.split(QLatin1Char(':'));
    result.address = QHostAddress(parts.at(0));
    if (parts.size() > 1) {
        bool ok = false;
        const quint16 given = parts.at(1).toUShort(&ok, 10);
        result.port = ok && given != 0 ? given : rpcPort;
    }
    result.valid = !result.address.isNull();
    return result;
}

QString readBindHostFile(const QString& path)
{
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    const QByteArray data = file.read(4096);
    // An empty file gives an empty text, not a null one.
    return data.isEmpty() ? QStringLiteral("") : QString::fromLocal8Bit(data);
}
