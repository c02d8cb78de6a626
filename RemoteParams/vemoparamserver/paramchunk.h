#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>

// The 532-byte payload of PAR_PROTO_SEND_REQUEST: one piece of a parameter set.
// Little-endian on the wire; only the first `length` data bytes count.
struct ParamChunk
{
    static constexpr int Size = 532;
    static constexpr int DataSize = 512;

    std::array<char, DataSize> data{};
    quint32 offset = 0;
    quint32 length = 0;
    quint32 left = 0;
    quint16 crc = 0;

    // Writes exactly Size bytes to out (the six reserved bytes as zeros).
    void encode(char* out) const;
    QByteArray encode() const;
    // Reads the first Size bytes of data; false when fewer are available.
    static bool decode(const char* data, qint64 size, ParamChunk* out);

    // True when length fits the data area.
    bool lengthValid() const { return length <= static_cast<quint32>(DataSize); }
    // paramCrc16 over the counted data bytes (0 when length does not fit).
    quint16 computeCrc() const;

    // The chunk of `set` that starts at offset: at most DataSize bytes, the rest of
    // the data area zero, crc computed. offset must lie within the set (or equal
    // its size, which gives an empty last chunk).
    static ParamChunk fromSet(const QByteArray& set, int offset);
};
