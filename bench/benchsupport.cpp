#include "benchsupport.h"

#include "paramdatagramheader.h"
#include "syncblock.h"

#include <QTextStream>

namespace BenchSupport {

void quietMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg) {
        QTextStream(stderr) << text << '\n';
    }
}

void setDatagramUoo(QByteArray* datagram, quint32 uoo, bool inSyncBlock)
{
    for (int i = 0; i < 4; ++i) {
        const char byte = static_cast<char>(uoo >> (8 * i));
        (*datagram)[ParamDatagramHeader::UooOffset + i] = byte;
        if (inSyncBlock) {
            (*datagram)[ParamDatagramHeader::Size + SyncBlock::UooOffset + i] = byte;
        }
    }
}

} // namespace BenchSupport
