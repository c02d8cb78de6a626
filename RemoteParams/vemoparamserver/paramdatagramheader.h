#pragma once

#include <QByteArray>
#include <QtGlobal>

// Message codes of the UOO parameter protocol.
enum ParamMsgCode : quint32 {
    PAR_PROTO_SYNC_REQUEST = 0xAA01,
    PAR_PROTO_SEND_REQUEST = 0xBB01,
    PAR_PROTO_RCV_ACK = 0xBB02,
    PAR_PROTO_DWLD_REQUEST = 0xCC01,
    PAR_PROTO_DWLD_FINISHED = 0xCC02,
    PAR_PROTO_DWLD_FINISHED_ACK = 0xCC03,
};

// The 24-byte header that starts every datagram of the parameter protocol. All
// fields are little-endian on the wire; encode()/decode() convert explicitly.
struct ParamDatagramHeader
{
    static constexpr quint32 Magic1 = 0xA1B2C3D4u;
    static constexpr quint32 Magic2 = 0x5E4D3C2Bu;
    static constexpr int Size = 24;
    // Where fields lie, for those who patch a prepared datagram.
    static constexpr int UooOffset = 8;
    static constexpr int DataCrcOffset = 22;

    quint32 magic1 = Magic1;
    quint32 magic2 = Magic2;
    quint32 uooCode = 0;
    quint32 msgCode = 0;
    quint32 dataLength = 0;
    quint16 value = 0;
    quint16 dataCrc = 0;

    // Writes exactly Size bytes to out.
    void encode(char* out) const;
    // Reads the first Size bytes of data; false when fewer are available.
    static bool decode(const char* data, qint64 size, ParamDatagramHeader* out);

    // True when both magics are right and the datagram is exactly Size + dataLength
    // bytes long.
    bool fits(qint64 datagramSize) const;

    // A whole datagram: header with both magics, the given fields, dataLength and
    // dataCrc from the payload (dataCrc 0 without payload), then the payload.
    static QByteArray buildRaw(quint32 msgCode, const char* payload, int payloadSize, quint16 value,
                               quint32 uooCode = 0);
    static QByteArray build(quint32 msgCode, const QByteArray& payload, quint16 value,
                            quint32 uooCode = 0);
    // Same, written into out (resized; its capacity is reused).
    static void buildInto(QByteArray* out, quint32 msgCode, const char* payload, int payloadSize,
                          quint16 value, quint32 uooCode = 0);
};
