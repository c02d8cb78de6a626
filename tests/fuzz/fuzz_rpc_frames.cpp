// The RPC input path without sockets: bytes arrive in pieces of varying size and
// go through the frame reader, the body decoder and the delivery to slots with
// the server's signatures, before or after login (the frame limit differs).
//
// The first input byte chooses the piece size and the limit; the rest is the
// stream. Invariants: no frame above the limit is handed out, every decoded
// message encodes again, and what it encodes to decodes to the same name and
// argument count.

#include "fuzzsupport.h"
#include "rpccodec.h"
#include "rpcframereader.h"
#include "rpcslottable.h"
#include "rpctypes.h"

#include <QObject>

namespace {

// The server's slots, as the RPC controller declares them.
class Receiver : public QObject
{
    Q_OBJECT
public slots:
    void login(quint64, VemoRpcCredentials) {}
    void clientList(quint64) {}
    void clientOperation(quint64, QString, VemoRpcClient, QString = QString()) {}
    void trackList(quint64) {}
    void paramsDesc(quint64, quint32) {}
    void uooOperation(quint64, QString, UooDescriptor) {}
    void paramsOperation(quint64, QString, quint32, UooRParamsDesc) {}
    void any(quint64, QVariant) {}
};

Receiver* receiver = nullptr;
RpcSlotTable* table = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::initialize(argc, argv);
    registerRpcTypes();
    receiver = new Receiver;
    table = new RpcSlotTable;
    table->attach("LOGIN", receiver, SLOT(login(quint64, VemoRpcCredentials)));
    table->attach("RPC_GET_CLIENTS_FROM_DB", receiver, SLOT(clientList(quint64)));
    table->attach("RPC_CLIENT_OPERATION", receiver,
                  SLOT(clientOperation(quint64, QString, VemoRpcClient, QString)));
    table->attach("RPC_LOAD_UOOSTATE_REQUEST", receiver, SLOT(trackList(quint64)));
    table->attach("RPC_KTC_UOO_OPERATION", receiver,
                  SLOT(uooOperation(quint64, QString, UooDescriptor)));
    table->attach("RPC_LOAD_PARAMSSTATE_REQUEST", receiver, SLOT(paramsDesc(quint64, quint32)));
    table->attach("RPC_UOO_PARAMS_OPERATION", receiver,
                  SLOT(paramsOperation(quint64, QString, quint32, UooRParamsDesc)));
    table->attach("ECHO", receiver, SLOT(any(quint64, QVariant)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const quint8 mode = in.byte();
    const int piece = (mode & 0x3F) + 1;
    const qint64 limit = (mode & 0x40) ? 16 * 1024 * 1024 : 64 * 1024;
    RpcFrameReader reader(limit);
    const quint64 client = 7;

    while (!in.atEnd()) {
        reader.append(in.bytes(static_cast<size_t>(piece)));
        for (;;) {
            const char* body = nullptr;
            int bodySize = 0;
            quint32 announced = 0;
            const RpcFrameReader::Result result = reader.next(&body, &bodySize, &announced);
            if (result == RpcFrameReader::Result::NeedMore) {
                break;
            }
            if (result == RpcFrameReader::Result::Oversized) {
                if (announced <= limit) {
                    fuzz::fail("frame within the limit reported as oversized");
                }
                return 0; // the connection would be closed here
            }
            if (bodySize > limit) {
                fuzz::fail("frame above the limit handed out");
            }
            if (bodySize == 0) {
                continue;
            }
            RpcCodec::Message message;
            QString why;
            const RpcCodec::BodyStatus status = RpcCodec::decodeBody(body, bodySize, message, &why);
            if (status == RpcCodec::BodyStatus::ProtocolError) {
                return 0;
            }
            if (status != RpcCodec::BodyStatus::Ok) {
                continue;
            }
            for (const RpcSlotTable::Binding& binding : table->bindings(message.name)) {
                RpcSlotTable::invoke(binding, message.name, &client, message.args);
            }
            const QByteArray again = RpcCodec::encodeFrame(message.name, message.args);
            if (again.isEmpty()) {
                fuzz::fail("a decoded message does not encode");
            }
            RpcCodec::Message copy;
            if (RpcCodec::decodeBody(again.constData() + RpcCodec::HeaderSize,
                                     again.size() - RpcCodec::HeaderSize,
                                     copy) != RpcCodec::BodyStatus::Ok ||
                copy.name != message.name || copy.args.size() != message.args.size()) {
                fuzz::fail("an encoded message does not decode to itself");
            }
        }
    }
    return 0;
}

#include "fuzz_rpc_frames.moc"
