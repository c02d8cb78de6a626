#include "syncblock.h"

#include <QtEndian>

#include <cstring>

namespace {

QString fieldText(const char* field, int size)
{
    const void* nul = std::memchr(field, 0, static_cast<size_t>(size));
    const int length =
        nul != nullptr ? static_cast<int>(static_cast<const char*>(nul) - field) : size;
    return QString::fromUtf8(field, length);
}

template <size_t N> void setFieldText(std::array<char, N>* field, const QString& text)
{
    field->fill(0);
    const QByteArray utf8 = text.toUtf8();
    std::memcpy(field->data(), utf8.constData(), qMin(static_cast<size_t>(utf8.size()), N));
}

} // namespace

void SyncBlock::encode(char* out) const
{
    std::memcpy(out, device.data(), DeviceSize);
    std::memcpy(out + 24, pversion.data(), PversionSize);
    qToLittleEndian<quint32>(version1, out + 32);
    qToLittleEndian<quint32>(version2, out + 36);
    qToLittleEndian<quint32>(version3, out + 40);
    qToLittleEndian<quint32>(uooCode, out + UooOffset);
    qToLittleEndian<quint32>(paramsSize, out + 48);
    std::memcpy(out + 52, paramsTime.data(), TimeSize);
    qToLittleEndian<quint16>(paramsCrc, out + 58);
    qToLittleEndian<quint32>(command, out + CommandOffset);
}

QByteArray SyncBlock::encode() const
{
    // Encoded on the stack, then copied: GCC 12 cannot see the size of a
    // QByteArray's buffer through its header and warns on the writes.
    std::array<char, Size> bytes{};
    encode(bytes.data());
    return QByteArray(bytes.data(), Size);
}

bool SyncBlock::decode(const char* data, qint64 size, SyncBlock* out)
{
    if (data == nullptr || size < Size) {
        return false;
    }
    std::memcpy(out->device.data(), data, DeviceSize);
    std::memcpy(out->pversion.data(), data + 24, PversionSize);
    out->version1 = qFromLittleEndian<quint32>(data + 32);
    out->version2 = qFromLittleEndian<quint32>(data + 36);
    out->version3 = qFromLittleEndian<quint32>(data + 40);
    out->uooCode = qFromLittleEndian<quint32>(data + UooOffset);
    out->paramsSize = qFromLittleEndian<quint32>(data + 48);
    std::memcpy(out->paramsTime.data(), data + 52, TimeSize);
    out->paramsCrc = qFromLittleEndian<quint16>(data + 58);
    out->command = qFromLittleEndian<quint32>(data + CommandOffset);
    return true;
}

QString SyncBlock::deviceText() const
{
    return fieldText(device.data(), DeviceSize);
}

QString SyncBlock::pversionText() const
{
    return fieldText(pversion.data(), PversionSize);
}

void SyncBlock::setDeviceText(const QString& text)
{
    setFieldText(&device, text);
}

void SyncBlock::setPversionText(const QString& text)
{
    setFieldText(&pversion, text);
}

QDateTime SyncBlock::decodeParamsTime(const std::array<quint8, TimeSize>& bytes)
{
    // Same meaning as reading "yyyy.M.d h:m:s" as local time: any part out of its
    // range makes the whole time invalid.
    const int year = bytes[2] + 2000;
    const int month = bytes[1];
    const int day = bytes[0];
    const int hour = bytes[3];
    const int minute = bytes[4];
    const int second = bytes[5];
    if (!QDate::isValid(year, month, day) || !QTime::isValid(hour, minute, second)) {
        return QDateTime();
    }
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::LocalTime);
}

void SyncBlock::setParamsDateTime(const QDateTime& time)
{
    paramsTime.fill(0);
    if (!time.isValid()) {
        return;
    }
    const QDateTime local = time.toLocalTime();
    const QDate date = local.date();
    const QTime clock = local.time();
    if (date.year() < 2000 || date.year() > 2255) {
        return;
    }
    paramsTime = {static_cast<quint8>(date.day()),         static_cast<quint8>(date.month()),
                  static_cast<quint8>(date.year() - 2000), static_cast<quint8>(clock.hour()),
                  static_cast<quint8>(clock.minute()),     static_cast<quint8>(clock.second())};
}
