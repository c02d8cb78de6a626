#include "paramctldevicelist.h"

#include "paramctlexitcode.h"

#include <QFile>
#include <QSet>
#include <QStringList>

namespace {

bool parseUoo(const QString& text, quint32* uoo)
{
    // Digits only: toUInt() would take a sign or surrounding blanks as well.
    if (text.isEmpty() || text.size() > 10) {
        return false;
    }
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, 10);
    if (!ok || value > 0xFFFFFFFFull) {
        return false;
    }
    *uoo = static_cast<quint32>(value);
    return true;
}

// Collects devices in order, once each, up to the limit.
class Collector
{
public:
    explicit Collector(QList<quint32>* uoos) : uoos(uoos) {}

    // False when the limit would be passed.
    bool addRange(quint32 first, quint32 last)
    {
        for (quint64 uoo = first; uoo <= last; ++uoo) {
            if (seen.contains(quint32(uoo))) {
                continue;
            }
            if (uoos->size() >= ParamCtlDeviceList::MaxDevices) {
                return false;
            }
            seen.insert(quint32(uoo));
            uoos->append(quint32(uoo));
        }
        return true;
    }

private:
    QList<quint32>* uoos;
    QSet<quint32> seen;
};

const QString TooMany = QStringLiteral("more than %1 devices in the list");

// One item that is a number or a range; where names the item in messages.
bool parseItem(const QString& item, const QString& where, Collector* collector, QString* error)
{
    const int dash = item.indexOf(QLatin1Char('-'));
    quint32 first = 0;
    quint32 last = 0;
    if (dash < 0) {
        if (!parseUoo(item, &first)) {
            *error = QStringLiteral("%1bad UOO number '%2'").arg(where, item);
            return false;
        }
        last = first;
    } else if (!parseUoo(item.left(dash).trimmed(), &first) ||
               !parseUoo(item.mid(dash + 1).trimmed(), &last)) {
        *error = QStringLiteral("%1bad range '%2' (FIRST-LAST)").arg(where, item);
        return false;
    } else if (first > last) {
        *error = QStringLiteral("%1reversed range '%2'").arg(where, item);
        return false;
    } else if (quint64(last) - first >= quint64(ParamCtlDeviceList::MaxDevices)) {
        *error = QStringLiteral("%1range '%2' too large (at most %3 devices)")
                     .arg(where, item)
                     .arg(ParamCtlDeviceList::MaxDevices);
        return false;
    }
    if (!collector->addRange(first, last)) {
        *error = where + TooMany.arg(ParamCtlDeviceList::MaxDevices);
        return false;
    }
    return true;
}

bool parseFile(const QString& name, Collector* collector, QString* error, int* code)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read device list %1: %2").arg(name, file.errorString());
        *code = ParamCtlExitCode::FileError;
        return false;
    }
    if (file.size() > ParamCtlDeviceList::MaxFileBytes) {
        *error = QStringLiteral("device list %1 is larger than %2 bytes")
                     .arg(name)
                     .arg(ParamCtlDeviceList::MaxFileBytes);
        *code = ParamCtlExitCode::BadDeviceList;
        return false;
    }
    const QByteArray bytes = file.read(ParamCtlDeviceList::MaxFileBytes + 1);
    if (bytes.size() > ParamCtlDeviceList::MaxFileBytes) {
        *error = QStringLiteral("device list %1 is larger than %2 bytes")
                     .arg(name)
                     .arg(ParamCtlDeviceList::MaxFileBytes);
        *code = ParamCtlExitCode::BadDeviceList;
        return false;
    }
    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (!parseItem(line, QStringLiteral("%1:%2: ").arg(name).arg(i + 1), collector, error)) {
            *code = ParamCtlExitCode::BadDeviceList;
            return false;
        }
    }
    return true;
}

} // namespace

bool ParamCtlDeviceList::isList(const QString& text)
{
    quint32 uoo = 0;
    return !parseUoo(text, &uoo) &&
           (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('-')) ||
            text.startsWith(QLatin1Char('@')));
}

bool ParamCtlDeviceList::parse(const QString& text, bool readFiles, QList<quint32>* uoos,
                               QString* error, int* code)
{
    uoos->clear();
    error->clear();
    *code = ParamCtlExitCode::BadDeviceList;
    Collector collector(uoos);
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString& raw : items) {
        const QString item = raw.trimmed();
        if (item.isEmpty()) {
            *error = QStringLiteral("empty item in the device list '%1'").arg(text);
            return false;
        }
        if (item.startsWith(QLatin1Char('@'))) {
            const QString name = item.mid(1);
            if (name.isEmpty()) {
                *error = QStringLiteral("'@' without a file name in the device list");
                return false;
            }
            if (readFiles && !parseFile(name, &collector, error, code)) {
                return false;
            }
            continue;
        }
        if (!parseItem(item, QString(), &collector, error)) {
            return false;
        }
    }
    if (readFiles && uoos->isEmpty()) {
        *error = QStringLiteral("the device list '%1' names no device").arg(text);
        return false;
    }
    return true;
}
