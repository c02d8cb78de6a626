#include "vemoparamserver.h"

#include "datagramsocket.h"
#include "descriptorsnapshot.h"
#include "logratelimiter.h"
#include "offlinesweep.h"
#include "paramchunk.h"
#include "paramcrc16.h"
#include "paramdatagramheader.h"
#include "servicecounters.h"
#include "servicegate.h"
#include "syncblock.h"

#include <QDebug>

#include <algorithm>

namespace {

// Kinds of diagnostic lines that any sender can cause; each is rate-limited.
const QString KindInvalid = QStringLiteral("[PARAM_SRV] Invalid UDP pack received");
const QString KindMessageCode = QStringLiteral("[PARAM_SRV] Invalid message code received");
const QString KindDataCrc = QStringLiteral("[PARAM_SERV] Invalid data CRC");
const QString KindUnmatched = QStringLiteral("[PARAM_SERV] Unmatched state");
const QString KindSetCrc = QStringLiteral("[PARAM_SERV] Invalid CRC in PAR_PROTO_DWLD_FINISHED");
const QString KindSocket = QStringLiteral("[VemoUpdateServer] socket error");
const QString KindNewDevice = QStringLiteral("[PARAM_SERV] new UOO refused");
const QString KindUpload = QStringLiteral("[PARAM_SERV] upload memory");
const QString KindOutOfSequence = QStringLiteral("[PARAM_SERV] chunk out of sequence");
// Lines of the device states: any sender can cause them as well, by posing as a
// device.
const QString KindNoNewSet = QStringLiteral("[PARAM_SERV] Undefined behavior");
const QString KindInvalidState = QStringLiteral("[PARAM_SERV] INVALID STATE");
const QString KindDownloadBroken = QStringLiteral("[PARAM_SERV] download interrupted");
const QString KindUpdateFailed = QStringLiteral("[PARAM_SERV] update not confirmed");
const QString KindUploaded = QStringLiteral("[PARAM_SERV] upload complete");
const QString KindDownloadComplete = QStringLiteral("[PARAM_SERV] download complete");
const QString KindConfirmed = QStringLiteral("[PARAM_SERV] update confirmed");

} // namespace

VemoParamServer::VemoParamServer(QObject* parent, Clock* source, const StorageSettings& storage)
    : QObject(parent), clock(source != nullptr ? source : Clock::system()),
      diagnostics(new LogRateLimiter(this, clock))
{
    persistence = new ParamsPersistence(this, clock, this, storage);
    connect(persistence, &ParamsPersistence::writeFenced, this, &VemoParamServer::writeFenced);
    persistence->load(MaxUploadSize);

    sweep = new OfflineSweep(this);
    sweepTimer.setInterval(SweepIntervalMs);
    connect(&sweepTimer, &QTimer::timeout, this, &VemoParamServer::sweepOffline,
            Qt::DirectConnection);
}

VemoParamServer::~VemoParamServer()
{
    // Open snapshots see the server gone through their guarded pointer.
    snapshots.clear();
    qDebug() << "Остановка сервера параметров...";
    // Writes what is not yet written while the records still exist.
    persistence->finish();
}

void VemoParamServer::setPort(quint16 port)
{
    listenPort = port;
}

void VemoParamServer::setBindAddress(const QHostAddress& address)
{
    bindAddress = address;
}

void VemoParamServer::setMaxDevices(int count)
{
    deviceLimit = count > 0 ? count : DefaultMaxDevices;
}

void VemoParamServer::invalidPack()
{
    ServiceCounters::add(ServiceCounters::InvalidDatagrams);
    diagnostics->report(KindInvalid, QtDebugMsg, KindInvalid);
}

quint16 VemoParamServer::boundPort() const
{
    return udpSocket != nullptr ? udpSocket->localPort() : 0;
}

// ---- lifecycle -------------------------------------------------------------

void VemoParamServer::start()
{
    if (udpSocket != nullptr) {
        // A second start without stop replaces the socket.
        udpSocket->close();
        udpSocket->deleteLater();
        udpSocket = nullptr;
    }
    auto* socket = new DatagramSocket(this);
    connect(socket, &DatagramSocket::readyRead, this, &VemoParamServer::updReadyRead);
    connect(socket, &DatagramSocket::errorOccurred, this, &VemoParamServer::updSocketError);
    if (socket->bind(bindAddress, listenPort)) {
        udpSocket = socket;
        qDebug().noquote()
            << QStringLiteral("Сервер параметров запущен на порту %1").arg(listenPort);
    } else {
        qCritical().noquote() << QStringLiteral("Ошибка запуска сервера параметров на порту %1: %2")
                                     .arg(listenPort)
                                     .arg(socket->errorString());
        socket->deleteLater();
    }
    sweepTimer.start();
}

void VemoParamServer::stop()
{
    if (udpSocket != nullptr) {
        udpSocket->close();
        udpSocket->deleteLater();
        udpSocket = nullptr;
    }
    sweepTimer.stop();
}

void VemoParamServer::updSocketError(QAbstractSocket::SocketError error)
{
    // Replies to forged sender addresses come back as errors: rate-limited.
    diagnostics->report(
        KindSocket, QtDebugMsg,
        QStringLiteral("[VemoUpdateServer] Ошибка сокета: %1").arg(static_cast<int>(error)));
}

void VemoParamServer::updReadyRead()
{
    DatagramSocket* const socket = udpSocket;
    if (socket == nullptr || !socket->isValid()) {
        return;
    }
    // Replies leave together at the end of the turn. A handler may stop the
    // server (a receiver of our signals may do so); the socket then lives until
    // the loop deletes it, and the rest of its batch is not handled.
    socket->hold();
    int handled = 0;
    while (handled < datagramsPerTurn && udpSocket == socket) {
        const int count = socket->receive(datagramsPerTurn - handled);
        if (count == 0) {
            break;
        }
        // A node of a pair that no longer holds its lease reads and drops.
        const bool answering = gate == nullptr || gate->answering();
        for (int i = 0; answering && i < count && udpSocket == socket; ++i) {
            const DatagramSocket::Datagram& datagram = socket->at(i);
            handleParamRequest(QByteArray::fromRawData(datagram.data, datagram.size),
                               datagram.address, datagram.port);
        }
        handled += count;
    }
    socket->release();
}

// ---- read access -----------------------------------------------------------

VemoParamServer::UooEntry* VemoParamServer::findEntry(quint32 code)
{
    const auto it = entries.find(code);
    return it != entries.end() ? &it->second : nullptr;
}

const VemoParamServer::UooEntry* VemoParamServer::findEntry(quint32 code) const
{
    const auto it = entries.find(code);
    return it != entries.end() ? &it->second : nullptr;
}

UooRParamsDesc VemoParamServer::uooParamsDesc(quint32 code) const
{
    const UooEntry* entry = findEntry(code);
    if (entry == nullptr) {
        return UooRParamsDesc();
    }
    UooRParamsDesc copy = entry->machine.record();
    copy.lastSeen =
        entry->lastSeenValid ? QDateTime::fromMSecsSinceEpoch(entry->lastSeenMs) : QDateTime();
    return copy;
}

UooDescriptor VemoParamServer::uooDescriptor(quint32 code) const
{
    const UooEntry* entry = findEntry(code);
    return entry != nullptr && entry->machine.hasDescriptor() ? entry->machine.descriptor()
                                                              : UooDescriptor();
}

bool VemoParamServer::hasUoo(quint32 code) const
{
    const UooEntry* entry = findEntry(code);
    return entry != nullptr && entry->machine.hasDescriptor();
}

int VemoParamServer::onlineCount() const
{
    return static_cast<int>(online.size());
}

QList<UooDescriptor> VemoParamServer::uooDescriptors() const
{
    QList<UooDescriptor> list;
    for (const auto& item : entries) {
        if (item.second.machine.hasDescriptor()) {
            list.append(item.second.machine.descriptor());
        }
    }
    return list;
}

// ---- operations for the controller -------------------------------------------

// Records left to the system at the end of the process; reachable from leftRecords.
struct VemoParamServer::LeftRecords
{
    std::map<quint32, UooEntry> entries;
    OnlineIndex online;
    LeftRecords* previous = nullptr;
};

VemoParamServer::LeftRecords* VemoParamServer::leftRecords = nullptr;

void VemoParamServer::leaveRecordsToSystem()
{
    persistence->finish();
    snapshots.clear();
    auto* left = new LeftRecords;
    left->entries.swap(entries);
    left->online.swap(online);
    left->previous = leftRecords;
    leftRecords = left;
    uploads.clear();
    uploadMemory = 0;
}

bool VemoParamServer::scheduleNewParams(quint32 code, const UooRParamsDesc& request)
{
    UooEntry* entry = findEntry(code);
    if (entry == nullptr) {
        return false;
    }
    const UooStateMachine before = entry->machine;
    if (!entry->machine.schedule(request)) {
        return false;
    }
    // The operator is told "OK" only once the new set is in the file.
    if (!persistence->writeNow(code)) {
        entry->machine = before;
        return false;
    }
    return true;
}

bool VemoParamServer::cancelNewParams(quint32 code, const UooRParamsDesc& request)
{
    Q_UNUSED(request)
    UooEntry* entry = findEntry(code);
    if (entry == nullptr) {
        return false;
    }
    const UooStateMachine before = entry->machine;
    entry->machine.cancel();
    // The operator is told "OK" only once the cancellation is in the file.
    if (!persistence->writeNow(code)) {
        entry->machine = before;
        return false;
    }
    return true;
}

// ---- offline sweep -------------------------------------------------------------

void VemoParamServer::sweepOffline()
{
    // Ages are measured on the monotonic clock: setting the system time neither
    // takes live devices offline nor delays the detection of silent ones.
    const qint64 nowMs = clock->monotonicMs();
    dropIdleUploads(nowMs);
    sweep->begin(nowMs);
}

void VemoParamServer::setPushBacklog(const PushBacklog* backlog)
{
    sweep->setPushBacklog(backlog);
}

bool VemoParamServer::takeExpired(qint64 nowMs, int budget, std::vector<quint32>* codes)
{
    // The index is ordered by last-seen time: only its expired head is visited.
    auto it = online.begin();
    int taken = 0;
    while (it != online.end() && (nowMs - it->first) / 1000 > OfflineAfterSecs) {
        if (taken == budget) {
            online.erase(online.begin(), it);
            return true;
        }
        if (UooEntry* entry = findEntry(it->second)) {
            entry->indexed = false;
        }
        codes->push_back(it->second);
        ++taken;
        ++it;
    }
    online.erase(online.begin(), it);
    return false;
}

void VemoParamServer::reportOffline(quint32 code)
{
    UooEntry* entry = findEntry(code);
    if (entry == nullptr || entry->indexed || !entry->machine.isOnline()) {
        return;
    }
    noteDescriptorChange(code, *entry);
    entry->machine.goOffline();
    emit uooRpamsUpdated(code);
    emit uooDescUpdated(code);
}

std::unique_ptr<UooDescriptorSnapshot> VemoParamServer::openDescriptorSnapshot()
{
    return std::make_unique<DescriptorSnapshot>(this);
}

void VemoParamServer::noteDescriptorChange(quint32 code, const UooEntry& entry)
{
    for (DescriptorSnapshot* snapshot : snapshots) {
        snapshot->keep(code, entry.machine.hasDescriptor(), entry.machine.descriptor());
    }
}

// ---- datagram handling --------------------------------------------------------

void VemoParamServer::handleParamRequest(const QByteArray& datagram, const QHostAddress& sender,
                                         quint16 senderPort)
{
    ParamDatagramHeader header;
    if (!ParamDatagramHeader::decode(datagram.constData(), datagram.size(), &header) ||
        !header.fits(datagram.size())) {
        invalidPack();
        return;
    }
    const char* payload = datagram.constData() + ParamDatagramHeader::Size;
    const int payloadSize = datagram.size() - ParamDatagramHeader::Size;

    switch (header.msgCode) {
    case PAR_PROTO_SYNC_REQUEST:
        handleSyncRequest(header, payload, payloadSize, sender, senderPort);
        break;
    case PAR_PROTO_SEND_REQUEST:
        handleSendRequest(header, payload, payloadSize, sender, senderPort);
        break;
    case PAR_PROTO_RCV_ACK:
        handleRcvAck(header, sender, senderPort);
        break;
    case PAR_PROTO_DWLD_REQUEST:
        handleDwldRequest(header, sender, senderPort);
        break;
    case PAR_PROTO_DWLD_FINISHED:
        handleDwldFinished(header, sender, senderPort);
        break;
    default:
        ServiceCounters::add(ServiceCounters::InvalidDatagrams);
        diagnostics->report(
            KindMessageCode, QtWarningMsg,
            LogRateLimiter::compose("[PARAM_SRV] Invalid message code received: ", header.msgCode));
        break;
    }
}

void VemoParamServer::handleSyncRequest(const ParamDatagramHeader& header, const char* payload,
                                        int size, const QHostAddress& sender, quint16 senderPort)
{
    SyncBlock request;
    if (!SyncBlock::decode(payload, size, &request)) {
        invalidPack();
        return;
    }
    ServiceCounters::add(ServiceCounters::SyncRequests);
    const quint32 code = request.uooCode;
    auto found = entries.find(code);
    if (found == entries.end()) {
        if (entries.size() >= static_cast<size_t>(deviceLimit)) {
            diagnostics->report(KindNewDevice, QtWarningMsg,
                                QStringLiteral("[PARAM_SERV] SYNC from new UOO %1 dropped: %2 "
                                               "device records, the limit")
                                    .arg(code)
                                    .arg(entries.size()));
            return;
        }
        found = entries.emplace(code, UooEntry()).first;
        markDirty(code);
    }
    UooEntry& entry = found->second;
    markOnline(code, entry, clock->currentMSecsSinceEpoch(), clock->monotonicMs());
    if (!snapshots.empty()) {
        noteDescriptorChange(code, entry);
    }
    bool isIpv4 = false;
    const quint32 ip = sender.toIPv4Address(&isIpv4);
    const qint64 held = entry.machine.uploadHeld();
    apply(code, entry, header,
          entry.machine.sync(request, header.value, isIpv4 ? ip : 0, senderPort), sender,
          senderPort, held);
}

void VemoParamServer::handleSendRequest(const ParamDatagramHeader& header, const char* payload,
                                        int size, const QHostAddress& sender, quint16 senderPort)
{
    ParamChunk chunk;
    if (!ParamChunk::decode(payload, size, &chunk) || !chunk.lengthValid()) {
        invalidPack();
        return;
    }
    if (UooEntry* entry = findEntry(header.uooCode)) {
        const qint64 held = entry->machine.uploadHeld();
        apply(header.uooCode, *entry, header,
              entry->machine.chunk(chunk, uploadLimit - uploadMemory), sender, senderPort, held);
    }
}

void VemoParamServer::handleRcvAck(const ParamDatagramHeader& header, const QHostAddress& sender,
                                   quint16 senderPort)
{
    if (UooEntry* entry = findEntry(header.uooCode)) {
        const qint64 held = entry->machine.uploadHeld();
        apply(header.uooCode, *entry, header, entry->machine.acknowledged(), sender, senderPort,
              held);
    }
}

void VemoParamServer::handleDwldRequest(const ParamDatagramHeader& header,
                                        const QHostAddress& sender, quint16 senderPort)
{
    if (UooEntry* entry = findEntry(header.uooCode)) {
        const qint64 held = entry->machine.uploadHeld();
        apply(header.uooCode, *entry, header, entry->machine.downloadRequested(), sender,
              senderPort, held);
    }
}

void VemoParamServer::handleDwldFinished(const ParamDatagramHeader& header,
                                         const QHostAddress& sender, quint16 senderPort)
{
    if (UooEntry* entry = findEntry(header.uooCode)) {
        const qint64 held = entry->machine.uploadHeld();
        apply(header.uooCode, *entry, header, entry->machine.downloadFinished(header.value), sender,
              senderPort, held);
    }
}

// What a move of the device's state machine asks for: in this order the record is
// marked for the file, the diagnostic line written, the reply sent, the action
// logged (under the UOO number of the request's header) and the workstations told.
// A confirmation is written once the workstations have been told.
void VemoParamServer::apply(quint32 code, UooEntry& entry, const ParamDatagramHeader& header,
                            const UooStateMachine::Outcome& outcome, const QHostAddress& sender,
                            quint16 senderPort, qint64 uploadHeldBefore)
{
    trackUpload(code, entry, uploadHeldBefore, outcome.uploadActive);
    if (outcome.reset) {
        forget(entry);
    }
    if (outcome.dirty) {
        markDirty(code);
    }
    const bool noteLast = outcome.note == UooStateMachine::NoteConfirmed;
    if (!noteLast) {
        writeNote(code, header, outcome);
    }
    if (outcome.command != 0) {
        sendDatagram(outcome.command, outcome.payload.data(), outcome.payloadSize, outcome.value,
                     sender, senderPort);
    }
    if (outcome.action != UooStateMachine::NoAction) {
        logParamAction(header.uooCode, outcome.action);
        count(outcome);
    }
    if (outcome.descriptorChanged) {
        emit uooDescUpdated(code);
    }
    if (outcome.recordChanged) {
        emit uooRpamsUpdated(code);
    }
    if (noteLast) {
        writeNote(code, header, outcome);
    }
}

// The operating figures of a move that logged an action.
void VemoParamServer::count(const UooStateMachine::Outcome& outcome)
{
    switch (outcome.action) {
    case UooStateMachine::ActionUploaded:
        ServiceCounters::add(ServiceCounters::UploadsCompleted);
        break;
    case UooStateMachine::ActionConfirmed:
        ServiceCounters::add(ServiceCounters::DownloadsCompleted);
        break;
    case UooStateMachine::ActionInterrupted:
        if (outcome.newSetGivenUp) {
            ServiceCounters::add(ServiceCounters::DownloadsAbandoned);
        }
        break;
    default:
        break;
    }
}

// Every line here can be caused by any sender (a datagram can name any UOO
// number): each goes through the rate limiter, under a kind of its own.
void VemoParamServer::writeNote(quint32 code, const ParamDatagramHeader& header,
                                const UooStateMachine::Outcome& outcome)
{
    switch (outcome.note) {
    case UooStateMachine::NoNote:
        break;
    case UooStateMachine::NoteInvalidPack:
        invalidPack();
        break;
    case UooStateMachine::NoteDataCrc:
        diagnostics->report(KindDataCrc, QtWarningMsg,
                            QStringLiteral("[PARAM_SERV] Invalid data CRC in "
                                           "PAR_PROTO_SEND_REQUEST"));
        break;
    case UooStateMachine::NoteSetCrc:
        diagnostics->report(
            KindSetCrc, QtWarningMsg,
            LogRateLimiter::compose("[PARAM_SERV] Invalid CRC in PAR_PROTO_DWLD_FINISHED: ",
                                    outcome.noteValue));
        break;
    case UooStateMachine::NoteUploadMemory:
        diagnostics->report(KindUpload, QtWarningMsg,
                            QStringLiteral("[PARAM_SERV] uploads hold %1 bytes, the limit: "
                                           "chunk from UOO %2 dropped")
                                .arg(uploadMemory)
                                .arg(code));
        break;
    case UooStateMachine::NoteUnmatchedState:
        diagnostics->report(
            KindUnmatched, QtDebugMsg,
            LogRateLimiter::compose(unmatchedStateText(header.msgCode), outcome.noteValue));
        break;
    case UooStateMachine::NoteOutOfSequence:
        diagnostics->report(KindOutOfSequence, QtWarningMsg,
                            QStringLiteral("[PARAM_SERV] Chunk at offset %1 does not continue "
                                           "the upload of UOO %2: not taken")
                                .arg(outcome.noteValue)
                                .arg(code));
        break;
    case UooStateMachine::NoteNoNewSet:
        diagnostics->report(
            KindNoNewSet, QtDebugMsg,
            QStringLiteral("[PARAM_SERV] Undefined behavior : state is %1 but localParams is Empty")
                .arg(QLatin1String(outcome.noteValue == UooRParamsDesc::PAR_STATE_WAIT_UPD
                                       ? "PAR_STATE_WAIT_UPD"
                                       : "PAR_STATE_WAIT_DWLD")));
        break;
    case UooStateMachine::NoteInvalidState:
        diagnostics->report(
            KindInvalidState, QtWarningMsg,
            LogRateLimiter::compose("[PARAM_SERV] INVALID STATE in PAR_PROTO_SYNC_REQUEST"));
        break;
    case UooStateMachine::NoteDownloadBroken:
        diagnostics->report(
            KindDownloadBroken, QtDebugMsg,
            LogRateLimiter::compose("[PARAM_SERV] Ошибка обновления параметров: DWLD_STATE, УОО ",
                                    code));
        break;
    case UooStateMachine::NoteUpdateFailed:
        diagnostics->report(
            KindUpdateFailed, QtDebugMsg,
            LogRateLimiter::compose(
                "[PARAM_SERV] Ошибка обновления параметров: WAIT_UPD state, УОО ", code));
        break;
    case UooStateMachine::NoteUploaded:
        diagnostics->report(
            KindUploaded, QtDebugMsg,
            LogRateLimiter::compose("[PARAM_SERV] Загружены новые параметры из УОО ", code));
        break;
    case UooStateMachine::NoteDownloadComplete:
        diagnostics->report(KindDownloadComplete, QtDebugMsg,
                            LogRateLimiter::compose(
                                "[PARAM_SERV] Завершение загрузки новых параметров в УОО ", code));
        break;
    case UooStateMachine::NoteConfirmed:
        diagnostics->report(KindConfirmed, QtDebugMsg,
                            LogRateLimiter::compose(
                                "[PARAM_SERV] обновление параметров прошло успешно, УОО ", code));
        break;
    }
}

const char* VemoParamServer::unmatchedStateText(quint32 msgCode)
{
    switch (msgCode) {
    case PAR_PROTO_RCV_ACK:
        return "[PARAM_SERV] Unmatched state in PAR_PROTO_RCV_ACK: ";
    case PAR_PROTO_DWLD_REQUEST:
        return "[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_REQUEST: ";
    default:
        return "[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_FINISHED: ";
    }
}

// ---- sending -------------------------------------------------------------------

void VemoParamServer::sendDatagram(quint32 msgCode, const char* payload, int size, quint16 value,
                                   const QHostAddress& address, quint16 port)
{
    if (udpSocket == nullptr) {
        return;
    }
    ParamDatagramHeader::buildInto(&txBuffer, msgCode, payload, size, value);
    udpSocket->send(txBuffer.constData(), txBuffer.size(), address, port);
}

// ---- online index ------------------------------------------------------------------

void VemoParamServer::markOnline(quint32 code, UooEntry& entry, qint64 nowMs, qint64 monotonicMs)
{
    entry.lastSeenValid = true;
    entry.lastSeenMs = nowMs;
    entry.lastSeenMonotonicMs = monotonicMs;
    if (entry.indexed) {
        // Reuse the index node: the new time is normally the latest, so the hinted
        // insertion at the end costs constant time.
        auto node = online.extract(entry.indexIt);
        node.value() = {monotonicMs, code};
        entry.indexIt = online.insert(online.end(), std::move(node));
    } else {
        entry.indexIt = online.emplace_hint(online.end(), monotonicMs, code);
        entry.indexed = true;
    }
}

// The record started over: the device counts as never seen.
void VemoParamServer::forget(UooEntry& entry)
{
    if (entry.indexed) {
        online.erase(entry.indexIt);
        entry.indexed = false;
    }
    entry.lastSeenValid = false;
    entry.lastSeenMs = 0;
}

// ---- uploads -----------------------------------------------------------------------

// Counts the memory the device's upload took or gave back in a move, and keeps the
// time of the device's last chunk of it while it runs (taken, sent again or refused
// for want of room alike: a device that keeps sending is not idle).
void VemoParamServer::trackUpload(quint32 code, UooEntry& entry, qint64 heldBefore, bool active)
{
    uploadMemory += entry.machine.uploadHeld() - heldBefore;
    if (!entry.machine.uploadRunning()) {
        if (!uploads.empty()) {
            uploads.erase(code);
        }
    } else if (active) {
        uploads[code] = clock->monotonicMs();
    }
}

void VemoParamServer::dropIdleUploads(qint64 nowMs)
{
    for (auto it = uploads.begin(); it != uploads.end();) {
        const quint32 code = it->first;
        const qint64 last = it->second;
        ++it;
        if (nowMs - last >= UploadIdleMs || nowMs < last - UploadIdleMs) {
            if (UooEntry* entry = findEntry(code)) {
                const qint64 held = entry->machine.uploadHeld();
                entry->machine.dropUpload();
                trackUpload(code, *entry, held, false);
            }
        }
    }
}

// ---- persistence -------------------------------------------------------------------

void VemoParamServer::markDirty(quint32 code)
{
    persistence->markDirty(code);
}

void VemoParamServer::logParamAction(quint32 uoo, int message)
{
    persistence->logAction(uoo, message);
}

int VemoParamServer::unsavedRecords() const
{
    return persistence->unsavedRecords();
}

int VemoParamServer::unsavedLogRows() const
{
    return persistence->unsavedLogRows();
}

quint64 VemoParamServer::paramsWriteFailures() const
{
    return persistence->writeFailures();
}

bool VemoParamServer::paramsWriteFailing() const
{
    return persistence->isWriteFailing();
}

const UooRParamsDesc* VemoParamServer::persistedRecord(quint32 code) const
{
    const UooEntry* entry = findEntry(code);
    return entry != nullptr ? &entry->machine.record() : nullptr;
}

QVector<quint32> VemoParamServer::persistedCodes() const
{
    QVector<quint32> codes;
    codes.reserve(static_cast<int>(entries.size()));
    for (const auto& item : entries) {
        codes.append(item.first);
    }
    return codes;
}

void VemoParamServer::followStoredRows(const QVector<ParamsRow>& rows)
{
    for (const ParamsRow& row : rows) {
        UooEntry& entry = entries[row.uoo];
        noteDescriptorChange(row.uoo, entry);
        entry.machine.restore(row.record);
    }
}

void VemoParamServer::mergeStoredRows(const QVector<ParamsRow>& rows)
{
    for (const ParamsRow& row : rows) {
        // Rows come in ascending order: a new one normally goes at the end.
        const auto found = entries.empty() || entries.rbegin()->first < row.uoo
                               ? entries.end()
                               : entries.find(row.uoo);
        if (found == entries.end()) {
            entries.emplace_hint(entries.end(), row.uoo, UooEntry())
                ->second.machine.restore(row.record);
            continue;
        }
        // Read only after the device has spoken since start-up: the live record
        // wins, but a new set an operator had scheduled is kept when the live
        // record has none and can take it.
        if (found->second.machine.adoptStoredNewSet(row.record)) {
            markDirty(row.uoo);
            emit uooRpamsUpdated(row.uoo);
        }
    }
}
