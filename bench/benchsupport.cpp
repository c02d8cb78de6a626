#include "benchsupport.h"

#include "paramchunk.h"
#include "paramcrc16.h"
#include "paramdatagramheader.h"
#include "syncblock.h"

#include <QCoreApplication>
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

Arguments::Arguments() : args(QCoreApplication::arguments()) {}

quint64 Arguments::count(int position, quint64 fallback, quint64 most)
{
    if (position >= args.size()) {
        return fallback;
    }
    bool parsed = false;
    const quint64 value = args.at(position).toULongLong(&parsed);
    if (!parsed || value == 0 || value > most) {
        ok = false;
    }
    return value;
}

QString Arguments::text(int position, const QString& fallback) const
{
    return position < args.size() ? args.at(position) : fallback;
}

int Arguments::usage(const char* synopsis)
{
    QTextStream(stderr) << "usage: " << synopsis << '\n';
    return 1;
}

FirstContact::FirstContact(const QByteArray& set)
{
    block.setDeviceText(QStringLiteral("BENCH"));
    block.setPversionText(QStringLiteral("1.0"));
    block.paramsSize = static_cast<quint32>(set.size());
    block.paramsCrc = paramSetCrc(set);
    sync = ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, block.encode(), 0);
    chunk =
        ParamDatagramHeader::build(PAR_PROTO_SEND_REQUEST, ParamChunk::fromSet(set, 0).encode(), 0);
}

void FirstContact::setUoo(quint32 uoo)
{
    setDatagramUoo(&sync, uoo, true);
    setDatagramUoo(&chunk, uoo, false);
}

} // namespace BenchSupport
