// benchsynchandler: CPU cost of the parameter server's steady-state SYNC path and
// of the offline sweep, without sockets, for a given number of devices. The
// datagrams are handed straight to handleParamRequest (replies are not sent since
// the server has no socket), so the figures are the server's own work.
//
//   benchsynchandler [DEVICES] [REQUESTS]

#include "benchsupport.h"
#include "clock.h"
#include "vemoparamserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(BenchSupport::quietMessageHandler);
    BenchSupport::Arguments args;
    const quint32 devices = static_cast<quint32>(args.count(1, 100000));
    const qint64 requests = static_cast<qint64>(args.count(2, 2000000, 0x7FFFFFFFFFFFFFFFull));
    if (!args.valid()) {
        return BenchSupport::Arguments::usage("benchsynchandler [DEVICES] [REQUESTS]");
    }

    // The action log writes a row per upload; keep the file in memory-backed
    // storage where there is one.
    QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                          ? QStringLiteral("/dev/shm/benchsynchandler-XXXXXX")
                          : QDir::tempPath() + QStringLiteral("/benchsynchandler-XXXXXX"));
    QDir::setCurrent(dir.path());
    QTextStream out(stdout);

    ManualClock clock(QDateTime::currentDateTime());
    VemoParamServer server(nullptr, &clock);
    const QHostAddress sender(QHostAddress::LocalHost);

    BenchSupport::FirstContact contact(QByteArrayLiteral("benchsynchandler parameter set.."));
    QByteArray& sync = contact.sync;

    QElapsedTimer timer;
    timer.start();
    for (quint32 i = 0; i < devices; ++i) {
        contact.setUoo(i + 1);
        server.handleParamRequest(contact.sync, sender, 40000);
        server.handleParamRequest(contact.chunk, sender, 40000);
    }
    out << "setup devices=" << devices << " seconds=" << timer.elapsed() / 1000.0 << Qt::endl;
    if (server.uooParamsDesc(devices).state != 1) {
        out << "ERROR devices not in step" << Qt::endl;
        return 1;
    }

    int rounds = 0;
    QObject::connect(&server, &VemoParamServer::uooRpamsUpdated, [&rounds](quint32) { ++rounds; });
    timer.restart();
    quint32 next = 0;
    for (qint64 n = 0; n < requests; ++n) {
        BenchSupport::setDatagramUoo(&sync, next + 1, true);
        server.handleParamRequest(sync, sender, 40000);
        next = next + 1 == devices ? 0 : next + 1;
    }
    const qint64 ns = timer.nsecsElapsed();
    out << "steady_sync devices=" << devices << " requests=" << requests
        << " ns_per_request=" << ns / requests << " record_changes=" << rounds << Qt::endl;

    // Nobody is due: the sweep only looks at the oldest entry of its index.
    clock.advanceMs(1000);
    timer.restart();
    const int sweeps = 1000;
    for (int i = 0; i < sweeps; ++i) {
        QMetaObject::invokeMethod(&server, "sweepOffline");
    }
    out << "sweep_nobody_due devices=" << devices
        << " ns_per_sweep=" << timer.nsecsElapsed() / sweeps << Qt::endl;

    clock.advanceMs(301000);
    timer.restart();
    QMetaObject::invokeMethod(&server, "sweepOffline");
    out << "sweep_all_due devices=" << devices << " ms=" << timer.nsecsElapsed() / 1e6
        << " offline_reports=" << rounds << Qt::endl;
    return 0;
}
