#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <array>

// Commands of a SYNC reply.
enum ParamSyncCommand : quint32 {
    PAR_SYNC_SEND_PARAMS = 0, // upload your current set
    PAR_SYNC_IN_SYNC = 1,     // nothing to do
    PAR_SYNC_NEW_PARAMS = 3,  // a new set is waiting; its size and set CRC are given
};

// The 64-byte payload of PAR_PROTO_SYNC_REQUEST, in both directions. Little-endian
// on the wire; the two texts are NUL-terminated within their fields (a text that
// fills its field has no terminator).
struct SyncBlock
{
    static constexpr int Size = 64;
    // Where fields lie, for those who patch or peek into an encoded block.
    static constexpr int UooOffset = 44;
    static constexpr int CommandOffset = 60;
    static constexpr int DeviceSize = 24;
    static constexpr int PversionSize = 8;
    static constexpr int TimeSize = 6;

    std::array<char, DeviceSize> device{};
    std::array<char, PversionSize> pversion{};
    quint32 version1 = 0;
    quint32 version2 = 0;
    quint32 version3 = 0;
    quint32 uooCode = 0;
    quint32 paramsSize = 0;
    // day, month, year - 2000, hour, minute, second
    std::array<quint8, TimeSize> paramsTime{};
    quint16 paramsCrc = 0;
    quint32 command = 0;

    // Writes exactly Size bytes to out.
    void encode(char* out) const;
    QByteArray encode() const;
    // Reads the first Size bytes of data; false when fewer are available.
    static bool decode(const char* data, qint64 size, SyncBlock* out);

    // The texts up to their NUL or their field's end, UTF-8.
    QString deviceText() const;
    QString pversionText() const;
    // Stores the UTF-8 bytes of text, cut to the field (no terminator when full).
    void setDeviceText(const QString& text);
    void setPversionText(const QString& text);

    // The version word of the device descriptor.
    quint32 versionWord() const { return (version2 << 16) | (version1 << 8) | version3; }

    // The time stamp as local time; an invalid time when the bytes form no valid
    // date and time.
    static QDateTime decodeParamsTime(const std::array<quint8, TimeSize>& bytes);
    QDateTime paramsDateTime() const { return decodeParamsTime(paramsTime); }
    // Stores a local time (years 2000..2255); an invalid or out-of-range time
    // stores zeros.
    void setParamsDateTime(const QDateTime& time);
};
