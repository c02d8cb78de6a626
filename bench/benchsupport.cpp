#include "benchsupport.h"

#include "paramdatagramheader.h"

#include <QTextStream>

namespace BenchSupport {

namespace {

constexpr int HeaderUooOffset = 8;
constexpr int SyncBlockUooOffset = 44;

} // namespace

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
        (*datagram)[HeaderUooOffset + i] = byte;
        if (inSyncBlock) {
            (*datagram)[ParamDatagramHeader::Size + SyncBlockUooOffset + i] = byte;
        }
    }
}

} // namespace BenchSupport
