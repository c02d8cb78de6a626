#pragma once

#include <QByteArray>
#include <QtGlobal>

// CRC-16/KERMIT as used by the UOO parameter protocol: polynomial 0x1021 processed
// bit-reflected (0x8408), initial value 0, no final XOR. A range of zero or
// negative length yields 0.
quint16 paramCrc16(const char* data, qint64 length);
quint16 paramCrc16(const QByteArray& data);

// Set CRC of a parameter set: paramCrc16 over all but the last two bytes. Sets
// shorter than three bytes (and the empty set) have set CRC 0.
quint16 paramSetCrc(const QByteArray& set);
