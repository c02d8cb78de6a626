// benchpersist: cost of keeping params_upd.db in step, for a given number of
// devices: the main thread's share of each batch write (copying the changed
// records; the writing itself runs on the writer thread), how fast a first-contact
// backlog reaches the file, the load at start-up and the stop with and without
// unsaved changes.
//
//   benchpersist [DEVICES] [SET_BYTES] [DIRECTORY]

#include "benchsupport.h"
#include "clock.h"
#include "paramchunk.h"
#include "paramdatagramheader.h"
#include "syncblock.h"
#include "vemoparamserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <memory>

namespace {

double ms(qint64 ns)
{
    return ns / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(BenchSupport::quietMessageHandler);
    BenchSupport::Arguments args;
    const quint32 devices = static_cast<quint32>(args.count(1, 1000000));
    const int setBytes = static_cast<int>(args.count(2, 64, ParamChunk::DataSize));
    const QString base = args.text(3, QDir::tempPath());
    if (!args.valid()) {
        return BenchSupport::Arguments::usage(
            "benchpersist [DEVICES] [SET_BYTES<=512] [DIRECTORY]");
    }
    QTemporaryDir dir(base + QStringLiteral("/benchpersist-XXXXXX"));
    QDir::setCurrent(dir.path());
    QTextStream out(stdout);

    ManualClock clock(QDateTime::currentDateTime());
    auto server = std::make_unique<VemoParamServer>(nullptr, &clock);
    const QHostAddress sender(QHostAddress::LocalHost);
    BenchSupport::FirstContact contact(QByteArray(setBytes, 'p'));

    // First contact of every device: two record changes and one log row each.
    for (quint32 i = 1; i <= devices; ++i) {
        contact.setUoo(i);
        server->handleParamRequest(contact.sync, sender, 40000);
        server->handleParamRequest(contact.chunk, sender, 40000);
    }
    out << "devices " << devices << ", set " << setBytes << " bytes, unsaved records "
        << server->unsavedRecords() << ", log rows " << server->unsavedLogRows() << '\n';

    // Let the batches run; every turn of the event loop is timed (the copying of
    // the changed records for a batch happens in one of them, the writing on the
    // writer thread meanwhile).
    QElapsedTimer total;
    total.start();
    qint64 longest = 0;
    qint64 mainThread = 0;
    const quint64 failuresBefore = server->paramsWriteFailures();
    while (server->unsavedRecords() > 0 || server->unsavedLogRows() > 0) {
        QElapsedTimer step;
        step.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        const qint64 spent = step.nsecsElapsed();
        longest = qMax(longest, spent);
        mainThread += spent;
        QThread::usleep(200);
    }
    if (server->paramsWriteFailures() != failuresBefore) {
        out << "writing failed\n";
        return 2;
    }
    out << "backlog written in " << total.elapsed() << " ms ("
        << qRound64(devices / (total.elapsed() / 1000.0 + 1e-9)) << " devices/s); main thread "
        << ms(mainThread) << " ms in all, longest event-loop turn " << ms(longest) << " ms\n";

    // The stop with nothing unsaved, and with 10,000 unsaved records.
    const quint32 changed = qMin<quint32>(devices, 10000);
    for (int round = 0; round < 2; ++round) {
        QElapsedTimer start;
        start.start();
        if (!server) {
            server = std::make_unique<VemoParamServer>(nullptr, &clock);
            out << "start (load of " << devices << " records): " << start.elapsed() << " ms\n";
        }
        quint32 unsaved = 0;
        if (round == 1) {
            SyncBlock other = contact.block;
            other.paramsSize += 1; // another set: an upload is asked for, the record changes
            QByteArray resync =
                ParamDatagramHeader::build(PAR_PROTO_SYNC_REQUEST, other.encode(), 0);
            for (quint32 i = 1; i <= changed; ++i) {
                BenchSupport::setDatagramUoo(&resync, i, true);
                server->handleParamRequest(resync, sender, 40000);
            }
            unsaved = static_cast<quint32>(server->unsavedRecords());
        }
        QElapsedTimer stop;
        stop.start();
        server.reset();
        out << "stop with " << unsaved << " unsaved records: " << stop.elapsed() << " ms\n";
    }
    return 0;
}
