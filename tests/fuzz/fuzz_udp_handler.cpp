// The parameter server fed sequences of datagrams from any sender, with clock
// moves (forward and back), offline sweeps, restarts from its own database file,
// and operators scheduling or cancelling sets in between.
//
// Each step is one byte (its low three bits choose the kind) and its arguments:
//   0..2  a datagram with a valid header: code index, UOO, value, payload length
//         and payload (so that the handlers behind the header are reached)
//   3     raw bytes as a datagram: length, then the bytes
//   4     the clock moves by a signed number of seconds
//   5     the offline sweep, then the pending record write
//   6     the server stops and a new one loads what the old one saved
//   7     a set is scheduled or cancelled for a UOO
//
// Invariants: at most MaxDevices records (beyond those in the file at start),
// upload memory within its limit, and an upload stored only whole (a set that a
// last chunk completes ends where that chunk ends, with its bytes).

#include "clock.h"
#include "fuzzsupport.h"
#include "paramchunk.h"
#include "paramdatagramheader.h"
#include "vemoparamserver.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSqlDatabase>
#include <QTemporaryDir>

#include <memory>

namespace {

constexpr int MaxDevices = 8;
constexpr qint64 MaxUploadTotal = 8 * 1024;
const quint32 Codes[] = {PAR_PROTO_SYNC_REQUEST,  PAR_PROTO_SEND_REQUEST,
                         PAR_PROTO_RCV_ACK,       PAR_PROTO_DWLD_REQUEST,
                         PAR_PROTO_DWLD_FINISHED, PAR_PROTO_DWLD_FINISHED_ACK};

std::unique_ptr<VemoParamServer> makeServer(ManualClock* clock)
{
    auto server = std::make_unique<VemoParamServer>(nullptr, clock);
    server->setMaxDevices(MaxDevices);
    server->setMaxUploadTotal(MaxUploadTotal);
    return server;
}

void check(const VemoParamServer& server)
{
    if (server.deviceCount() > MaxDevices) {
        fuzz::fail("more device records than the limit");
    }
    if (server.uploadBytes() < 0 || server.uploadBytes() > MaxUploadTotal) {
        fuzz::fail("upload memory outside its limit");
    }
}

// After a last chunk (left 0) for uoo: a set it stored must end with it.
void checkStoredWhole(const VemoParamServer& server, quint32 uoo, const QByteArray& before,
                      const ParamChunk& last)
{
    const QByteArray after = server.uooParamsDesc(uoo).uooparams;
    const QByteArray data(last.data.data(), static_cast<int>(last.length));
    if (after != before &&
        (after.size() != qint64(last.offset) + last.length || !after.endsWith(data))) {
        fuzz::fail("an upload stored with a part missing");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::initialize(argc, argv);
    // The database file is created for every input: on memory-backed storage
    // where there is one, so that its disk syncs cost nothing.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/fuzz_udp_handler-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/fuzz_udp_handler-XXXXXX"));
    QDir::setCurrent(dir.path());
    // Keeps the SQLite driver loaded between inputs.
    static QSqlDatabase keep =
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz_keep"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Every run starts from an empty database file.
    for (const char* name : {"params_upd.db", "params_upd.db-wal", "params_upd.db-shm"}) {
        QFile::remove(QLatin1String(name));
    }
    ManualClock clock;
    std::unique_ptr<VemoParamServer> server = makeServer(&clock);
    const QHostAddress sender(QStringLiteral("192.0.2.7"));
    fuzz::Input in(data, size);

    while (!in.atEnd()) {
        const quint8 step = in.byte();
        switch (step & 7) {
        case 0:
        case 1:
        case 2: {
            const quint32 code = Codes[in.byte() % (sizeof(Codes) / sizeof(Codes[0]))];
            const quint32 uoo = in.byte() % 16;
            const quint16 value = in.word();
            const QByteArray payload = in.bytes(in.word() % 700);
            ParamChunk piece;
            const bool last = code == PAR_PROTO_SEND_REQUEST &&
                              ParamChunk::decode(payload.constData(), payload.size(), &piece) &&
                              piece.lengthValid() && piece.left == 0;
            const QByteArray before = last ? server->uooParamsDesc(uoo).uooparams : QByteArray();
            server->handleParamRequest(ParamDatagramHeader::build(code, payload, value, uoo),
                                       sender, 4000);
            if (last) {
                checkStoredWhole(*server, uoo, before, piece);
            }
            break;
        }
        case 3:
            server->handleParamRequest(in.bytes(in.word() % 1200), sender, 4000);
            break;
        case 4:
            clock.advanceMs(qint64(static_cast<qint16>(in.word())) * 1000);
            break;
        case 5:
            QMetaObject::invokeMethod(server.get(), "sweepOffline");
            QMetaObject::invokeMethod(server.get(), "persistDirty");
            break;
        case 6:
            server.reset();
            server = makeServer(&clock);
            break;
        case 7: {
            const quint32 uoo = in.byte() % 16;
            UooRParamsDesc request;
            request.localparams = in.bytes(in.word() % 1500);
            request.localtime = clock.currentDateTime();
            if (step & 8) {
                server->cancelNewParams(uoo, request);
            } else {
                server->scheduleNewParams(uoo, request);
            }
            break;
        }
        }
        check(*server);
    }
    // Stopping writes every record; the next server must find them all again.
    const int devices = server->deviceCount();
    server.reset();
    server = makeServer(&clock);
    if (server->deviceCount() != devices) {
        fuzz::fail("records lost across a restart");
    }
    return 0;
}
