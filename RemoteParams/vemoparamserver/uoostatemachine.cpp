#include "uoostatemachine.h"

#include "paramcrc16.h"
#include "paramdatagramheader.h"

// ---- state kept beside the record ---------------------------------------------

void UooStateMachine::restore(const UooRParamsDesc& stored)
{
    *this = UooStateMachine();
    params = stored;
    params.flags = 0;
    params.lastSeen = QDateTime();
    params.uploadBuffer.clear();
    uooSetCrc = paramSetCrc(params.uooparams);
    localSetCrc = paramSetCrc(params.localparams);
}

void UooStateMachine::setUooParams(const QByteArray& bytes)
{
    params.uooparams = bytes;
    uooSetCrc = paramSetCrc(bytes);
}

void UooStateMachine::setLocalParams(const QByteArray& bytes)
{
    params.localparams = bytes;
    localSetCrc = paramSetCrc(bytes);
}

void UooStateMachine::setUooTime(const QDateTime& time)
{
    params.uootime = time;
    timeCacheValid = false;
}

const QDateTime& UooStateMachine::deviceTime(const std::array<quint8, SyncBlock::TimeSize>& bytes)
{
    if (!timeCacheValid || timeBytes != bytes) {
        timeBytes = bytes;
        lastDeviceTime = SyncBlock::decodeParamsTime(bytes);
        deviceTimeNewer = params.uootime < lastDeviceTime;
        timeCacheValid = true;
    }
    return lastDeviceTime;
}

// ---- replies -------------------------------------------------------------------

// The common part of every SYNC reply: the request's versions and UOO number.
SyncBlock UooStateMachine::replyTo(const SyncBlock& request)
{
    SyncBlock reply;
    reply.version1 = request.version1;
    reply.version2 = request.version2;
    reply.version3 = request.version3;
    reply.uooCode = request.uooCode;
    return reply;
}

void UooStateMachine::sendSyncReply(const SyncBlock& reply, Outcome* out)
{
    out->command = PAR_PROTO_SYNC_REQUEST;
    out->value = 0;
    out->payloadSize = SyncBlock::Size;
    reply.encode(out->payload.data());
}

void UooStateMachine::sendNextChunk(Outcome* out)
{
    const int setSize = params.localparams.size();
    // A count that does not fit the set (a damaged stored row) restarts the set.
    if (params.leftToSend < 0 || params.leftToSend > setSize) {
        params.leftToSend = setSize;
    }
    const ParamChunk next = ParamChunk::fromSet(params.localparams, setSize - params.leftToSend);
    params.leftToSend = static_cast<int>(next.left);
    out->dirty = true;
    out->command = PAR_PROTO_SEND_REQUEST;
    out->value = 0;
    out->payloadSize = ParamChunk::Size;
    next.encode(out->payload.data());
}

// ---- SYNC ----------------------------------------------------------------------

UooStateMachine::Outcome UooStateMachine::sync(const SyncBlock& request, quint16 status, quint32 ip,
                                               quint16 port)
{
    Outcome out;
    const quint32 code = request.uooCode;

    // 1. The parameter record.
    const bool wasOnline = params.isOnline();
    const QString device = request.deviceText();
    const QString pversion = request.pversionText();
    if (params.uoo != code || params.device != device || params.pversion != pversion) {
        params.device = device;
        params.pversion = pversion;
        params.uoo = code;
        out.dirty = true;
    }
    params.flags |= UooRParamsDesc::FlagOnline;

    // 2. The descriptor.
    descriptorSet = true;
    described.uoo = code;
    described.device = params.device;
    described.flagA = 1;
    described.flagB = 1;
    described.ip = ip;
    described.port = port;
    described.status = status | UooDescriptor::StatusOnline;
    described.version = request.versionWord();
    out.descriptorChanged = true;

    // 3. The reply's common part and the device time (cached).
    SyncBlock reply = replyTo(request);
    const QDateTime& devTime = deviceTime(request.paramsTime);

    // 4. By state.
    switch (params.state) {
    case UooRParamsDesc::PAR_STATE_WAIT_SEND:
        askUpload(devTime, &reply, &out);
        break;
    case UooRParamsDesc::PAR_STATE_IDLE:
        if (uooSetCrc != request.paramsCrc ||
            request.paramsSize != static_cast<quint32>(params.uooparams.size()) ||
            deviceTimeNewer) {
            askUpload(devTime, &reply, &out);
            break;
        }
        if (!params.localparams.isEmpty()) {
            reply.paramsSize = static_cast<quint32>(params.localparams.size());
            reply.paramsCrc = localSetCrc;
            reply.command = PAR_SYNC_NEW_PARAMS;
        } else {
            reply.command = PAR_SYNC_IN_SYNC;
        }
        sendSyncReply(reply, &out);
        out.recordChanged = !wasOnline;
        break;
    case UooRParamsDesc::PAR_STATE_WAIT_UPD:
        if (resetWithoutNewSet(&out)) {
            break;
        }
        if (localSetCrc == request.paramsCrc &&
            static_cast<quint32>(params.localparams.size()) == request.paramsSize) {
            confirm(&reply, &out);
        } else {
            out.note = NoteUpdateFailed;
            retry(request, &out);
        }
        break;
    case UooRParamsDesc::PAR_STATE_WAIT_DWLD:
        out.note = NoteDownloadBroken;
        retry(request, &out);
        break;
    default:
        out.note = NoteInvalidState;
        break;
    }
    return out;
}

// No valid copy of the device's set: its upload is asked for; the device time of
// the request becomes the set's time once the upload is complete.
void UooStateMachine::askUpload(const QDateTime& devTime, SyncBlock* reply, Outcome* out)
{
    params.state = UooRParamsDesc::PAR_STATE_WAIT_SEND;
    setUooParams(QByteArray());
    setUooTime(QDateTime());
    params.uootimetemp = devTime;
    out->dirty = true;
    reply->command = PAR_SYNC_SEND_PARAMS;
    sendSyncReply(*reply, out);
    out->recordChanged = true;
}

// The device reports the new set: it becomes the device's current set.
void UooStateMachine::confirm(SyncBlock* reply, Outcome* out)
{
    params.state = UooRParamsDesc::PAR_STATE_IDLE;
    setUooParams(params.localparams);
    setUooTime(params.localtime);
    dropNewSet();
    out->dirty = true;
    reply->command = PAR_SYNC_IN_SYNC;
    sendSyncReply(*reply, out);
    out->action = ActionConfirmed;
    out->recordChanged = true;
    out->note = NoteConfirmed;
}

UooStateMachine::Outcome UooStateMachine::retryDownload(const SyncBlock& request)
{
    Outcome out;
    retry(request, &out);
    return out;
}

void UooStateMachine::retry(const SyncBlock& request, Outcome* out)
{
    ++params.writeLeft;
    if (params.writeLeft > MaxDownloadRetries) {
        params.state = UooRParamsDesc::PAR_STATE_IDLE;
        dropNewSet();
        out->newSetGivenUp = true;
    } else {
        params.state = UooRParamsDesc::PAR_STATE_WAIT_DWLD;
        params.leftToSend = params.localparams.size();
        SyncBlock reply = replyTo(request);
        reply.paramsSize = static_cast<quint32>(params.localparams.size());
        reply.paramsCrc = localSetCrc;
        reply.command = PAR_SYNC_NEW_PARAMS;
        sendSyncReply(reply, out);
    }
    out->dirty = true;
    out->action = ActionInterrupted;
    out->recordChanged = true;
}

void UooStateMachine::dropNewSet()
{
    setLocalParams(QByteArray());
    params.localtime = QDateTime();
    params.writeLeft = 0;
}

// A state that needs a new set while none is there: the record starts over.
// Returns false (nothing done) when the new set is there.
bool UooStateMachine::resetWithoutNewSet(Outcome* out)
{
    if (!params.localparams.isEmpty()) {
        return false;
    }
    out->note = NoteNoNewSet;
    out->noteValue = params.state;
    params = UooRParamsDesc();
    uooSetCrc = 0;
    localSetCrc = 0;
    timeCacheValid = false;
    out->dirty = true;
    out->reset = true;
    return true;
}

// ---- upload ----------------------------------------------------------------------

// A chunk whose bytes are already where its offset says: the repeat of a chunk
// of the running upload, or of the last chunk of the upload just completed.
bool UooStateMachine::isRepeatedChunk(const ParamChunk& piece) const
{
    if (piece.offset == 0) {
        return false;
    }
    const QByteArray data =
        QByteArray::fromRawData(piece.data.data(), static_cast<int>(piece.length));
    const qint64 end = qint64(piece.offset) + piece.length;
    const QByteArray& buffer = params.uploadBuffer;
    if (end <= buffer.size()) {
        return buffer.mid(static_cast<int>(piece.offset), static_cast<int>(piece.length)) == data;
    }
    if (buffer.isEmpty() && piece.left == 0 && end == params.uooparams.size()) {
        return params.uooparams.right(static_cast<int>(piece.length)) == data;
    }
    return false;
}

UooStateMachine::Outcome UooStateMachine::chunk(const ParamChunk& piece, qint64 uploadRoom)
{
    Outcome out;
    if (piece.offset == 0) {
        dropUpload();
    }
    if (piece.computeCrc() != piece.crc) {
        out.note = NoteDataCrc;
        return out;
    }
    const QByteArray& buffer = params.uploadBuffer;
    if (piece.offset != static_cast<quint32>(buffer.size())) {
        // A chunk sent again because our acknowledgement was lost is acknowledged
        // again, but its bytes are not taken twice.
        if (isRepeatedChunk(piece)) {
            out.uploadActive = uploadRunning();
            out.command = PAR_PROTO_RCV_ACK;
            out.value = piece.crc;
            return out;
        }
        // Not where the upload stands (it was given up meanwhile, or the device
        // skipped ahead): taking it would store a set with a hole or a part missing.
        out.note = NoteOutOfSequence;
        out.noteValue = piece.offset;
        askUploadAgain(&out);
        return out;
    }
    if (qint64(piece.offset) + piece.length + piece.left > MaxUploadSize) {
        // More than any parameter set, by what is held or by what the device says
        // is still to come: the upload is discarded.
        dropUpload();
        out.note = NoteInvalidPack;
        return out;
    }
    if (!appendUpload(piece, uploadRoom)) {
        // Dropped unacknowledged: the device sends it again later, and its upload
        // waits for room meanwhile.
        out.note = NoteUploadMemory;
        out.uploadActive = uploadRunning();
        return out;
    }
    out.uploadTaken = true;
    out.uploadActive = true;
    if (piece.left == 0) {
        // The set keeps only its own bytes, not the room the buffer grew into.
        setUooParams(QByteArray(buffer.constData(), buffer.size()));
        setUooTime(params.uootimetemp);
        params.uootimetemp = QDateTime();
        params.state = UooRParamsDesc::PAR_STATE_IDLE;
        dropUpload();
        out.dirty = true;
        out.note = NoteUploaded;
        out.action = ActionUploaded;
        out.recordChanged = true;
    }
    out.command = PAR_PROTO_RCV_ACK;
    out.value = piece.crc;
    return out;
}

// While the server waits for the device's set, a chunk it cannot take is answered
// with the SYNC reply that asks for the set (command 0), as the device's next SYNC
// request would be: the device starts its upload over from offset 0. In any other
// state the device was not asked for its set, and the record stays as it is.
void UooStateMachine::askUploadAgain(Outcome* out) const
{
    if (params.state != UooRParamsDesc::PAR_STATE_WAIT_SEND || params.uoo == 0) {
        return;
    }
    SyncBlock reply;
    reply.uooCode = params.uoo;
    if (descriptorSet) {
        // The versions of the last SYNC request, as its version word keeps them.
        reply.version1 = (described.version >> 8) & 0xFF;
        reply.version2 = described.version >> 16;
        reply.version3 = described.version & 0xFF;
    }
    reply.command = PAR_SYNC_SEND_PARAMS;
    sendSyncReply(reply, out);
}

// The buffer is given the whole size the device announces (the bytes held, this
// chunk and what it says is left) when the upload starts, so that an upload once
// started never waits for room that other uploads hold: uploads beyond the total
// bound wait for their first chunk to be taken, holding nothing, and are never
// left half done. A device that announced too little grows its buffer later by
// doubling, as far as there is room.
bool UooStateMachine::appendUpload(const ParamChunk& piece, qint64 uploadRoom)
{
    QByteArray& buffer = params.uploadBuffer;
    const int length = static_cast<int>(piece.length);
    const qint64 before = buffer.capacity();
    const qint64 needed = qint64(buffer.size()) + length;
    const qint64 announced = needed + piece.left;
    qint64 room = before;
    if (announced > room) {
        room = qMin<qint64>(qMax(announced, 2 * before), MaxUploadSize);
    }
    if (room - before > uploadRoom) {
        if (buffer.isEmpty()) {
            // An upload starts only when all it announced fits.
            return false;
        }
        // Near the limit an upload under way grows only by what the chunk needs.
        room = qMax(needed, before);
    }
    if (room - before > uploadRoom) {
        return false;
    }
    if (room != before) {
        buffer.reserve(static_cast<int>(room));
    }
    buffer.append(piece.data.data(), length);
    return true;
}

// ---- download ----------------------------------------------------------------------

UooStateMachine::Outcome UooStateMachine::acknowledged()
{
    Outcome out;
    if (params.state != UooRParamsDesc::PAR_STATE_WAIT_DWLD) {
        out.note = NoteUnmatchedState;
        out.noteValue = params.state;
        return out;
    }
    if (resetWithoutNewSet(&out)) {
        return out;
    }
    if (params.leftToSend == 0) {
        params.state = UooRParamsDesc::PAR_STATE_WAIT_UPD;
        out.dirty = true;
        out.note = NoteDownloadComplete;
        out.recordChanged = true;
        return out;
    }
    sendNextChunk(&out);
    return out;
}

UooStateMachine::Outcome UooStateMachine::downloadRequested()
{
    Outcome out;
    if (params.state != UooRParamsDesc::PAR_STATE_IDLE &&
        params.state != UooRParamsDesc::PAR_STATE_WAIT_DWLD) {
        out.note = NoteUnmatchedState;
        out.noteValue = params.state;
        return out;
    }
    if (params.state == UooRParamsDesc::PAR_STATE_IDLE && params.localparams.isEmpty()) {
        // Nothing scheduled: nothing is sent, and the device's stored set stays
        // (anyone can send this request, and the set is still the device's).
        out.note = NoteNoNewSet;
        out.noteValue = UooRParamsDesc::PAR_STATE_WAIT_DWLD;
        return out;
    }
    params.state = UooRParamsDesc::PAR_STATE_WAIT_DWLD;
    out.dirty = true;
    if (resetWithoutNewSet(&out)) {
        return out;
    }
    sendNextChunk(&out);
    out.action = ActionChunkSent;
    out.recordChanged = true;
    return out;
}

UooStateMachine::Outcome UooStateMachine::downloadFinished(quint16 setCrc)
{
    Outcome out;
    if (params.state != UooRParamsDesc::PAR_STATE_WAIT_UPD) {
        out.note = NoteUnmatchedState;
        out.noteValue = params.state;
        return out;
    }
    if (resetWithoutNewSet(&out)) {
        return out;
    }
    if (localSetCrc != setCrc) {
        out.note = NoteSetCrc;
        out.noteValue = setCrc;
        return out;
    }
    out.command = PAR_PROTO_DWLD_FINISHED_ACK;
    out.value = 0;
    out.action = ActionFinishedAcked;
    return out;
}

// ---- the sweep and the operator ------------------------------------------------------

void UooStateMachine::goOffline()
{
    params.flags &= ~UooRParamsDesc::FlagOnline;
    descriptorSet = true;
    described.status &= ~UooDescriptor::StatusOnline;
}

bool UooStateMachine::schedule(const UooRParamsDesc& request)
{
    if (params.state != UooRParamsDesc::PAR_STATE_IDLE) {
        return false;
    }
    setLocalParams(request.localparams);
    params.localtime = request.localtime;
    params.writeLeft = 0;
    params.leftToSend = params.localparams.size();
    return true;
}

void UooStateMachine::cancel()
{
    params.state = UooRParamsDesc::PAR_STATE_IDLE;
    dropNewSet();
    params.leftToSend = 0;
}

bool UooStateMachine::adoptStoredNewSet(const UooRParamsDesc& stored)
{
    if (!params.localparams.isEmpty() || stored.localparams.isEmpty() ||
        params.state > UooRParamsDesc::PAR_STATE_IDLE) {
        return false;
    }
    setLocalParams(stored.localparams);
    params.localtime = stored.localtime;
    params.writeLeft = 0;
    params.leftToSend = params.localparams.size();
    return true;
}
