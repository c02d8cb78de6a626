#include "paramcrc16.h"

#include <array>

namespace {

constexpr std::array<quint16, 256> makeTable()
{
    std::array<quint16, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0x8408u : crc >> 1;
        }
        table[i] = static_cast<quint16>(crc);
    }
    return table;
}

constexpr std::array<quint16, 256> crcTable = makeTable();

} // namespace

quint16 paramCrc16(const char* data, qint64 length)
{
    quint16 crc = 0;
    if (data == nullptr) {
        return crc;
    }
    const auto* bytes = reinterpret_cast<const uchar*>(data);
    for (qint64 i = 0; i < length; ++i) {
        crc = static_cast<quint16>((crc >> 8) ^ crcTable[(crc ^ bytes[i]) & 0xFFu]);
    }
    return crc;
}

quint16 paramCrc16(const QByteArray& data)
{
    return paramCrc16(data.constData(), data.size());
}

quint16 paramSetCrc(const QByteArray& set)
{
    if (set.size() < 3) {
        return 0;
    }
    return paramCrc16(set.constData(), set.size() - 2);
}
