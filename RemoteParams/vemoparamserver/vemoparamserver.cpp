#include "vemoparamserver.h"

#include "descriptorsnapshot.h"
#include "offlinesweep.h"
#include "logratelimiter.h"
#include "paramchunk.h"
#include "paramcrc16.h"
#include "paramdatagramheader.h"
#include "servicecounters.h"
#include "syncblock.h"

#include <QDebug>
#include <QUdpSocket>

#include <algorithm>

namespace {

constexpr int ActionUploaded = 1;
constexpr int ActionChunkSent = 2;
constexpr int ActionFinishedAcked = 3;
constexpr int ActionConfirmed = 4;
constexpr int ActionInterrupted = 5;

// Largest UDP datagram; the receive buffer holds any of them whole.
constexpr int MaxDatagramSize = 65536;

// Kinds of diagnostic lines that any sender can cause; each is rate-limited.
const QString KindInvalid = QStringLiteral("[PARAM_SRV] Invalid UDP pack received");
const QString KindMessageCode = QStringLiteral("[PARAM_SRV] Invalid message code received");
const QString KindDataCrc = QStringLiteral("[PARAM_SERV] Invalid data CRC");
const QString KindUnmatched = QStringLiteral("[PARAM_SERV] Unmatched state");
const QString KindSetCrc = QStringLiteral("[PARAM_SERV] Invalid CRC in PAR_PROTO_DWLD_FINISHED");
const QString KindSocket = QStringLiteral("[VemoUpdateServer] socket error");
const QString KindNewDevice = QStringLiteral("[PARAM_SERV] new UOO refused");
const QString KindUpload = QStringLiteral("[PARAM_SERV] upload memory");

} // namespace

VemoParamServer::VemoParamServer(QObject* parent, Clock* clock)
    : QObject(parent), m_clock(clock != nullptr ? clock : Clock::system()),
      m_diagnostics(new LogRateLimiter(this, m_clock))
{
    m_persistence = new ParamsPersistence(this, m_clock, this);
    mergeStoredRows(m_persistence->load(MaxUploadSize));

    m_sweep = new OfflineSweep(this);
    m_sweepTimer.setInterval(SweepIntervalMs);
    connect(&m_sweepTimer, &QTimer::timeout, this, &VemoParamServer::sweepOffline,
            Qt::DirectConnection);
}

VemoParamServer::~VemoParamServer()
{
    // Open snapshots see the server gone through their guarded pointer.
    m_snapshots.clear();
    qDebug() << "Остановка сервера параметров...";
    // Writes what is not yet written while the records still exist.
    m_persistence->finish();
}

void VemoParamServer::setPort(quint16 port)
{
    m_port = port;
}

void VemoParamServer::setBindAddress(const QHostAddress& address)
{
    m_bindAddress = address;
}

void VemoParamServer::setMaxDevices(int count)
{
    m_maxDevices = count > 0 ? count : DefaultMaxDevices;
}

void VemoParamServer::invalidPack()
{
    ServiceCounters::add(ServiceCounters::InvalidDatagrams);
    m_diagnostics->report(KindInvalid, QtDebugMsg, KindInvalid);
}

quint16 VemoParamServer::boundPort() const
{
    return m_udpSocket != nullptr ? m_udpSocket->localPort() : 0;
}

// ---- lifecycle -------------------------------------------------------------

void VemoParamServer::start()
{
    if (m_udpSocket != nullptr) {
        // A second start without stop replaces the socket.
        m_udpSocket->close();
        m_udpSocket->deleteLater();
        m_udpSocket = nullptr;
    }
    auto* socket = new QUdpSocket(this);
    connect(socket, &QUdpSocket::readyRead, this, &VemoParamServer::updReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &VemoParamServer::updSocketError);
    if (socket->bind(m_bindAddress, m_port)) {
        m_udpSocket = socket;
        qDebug().noquote() << QStringLiteral("Сервер параметров запущен на порту %1").arg(m_port);
    } else {
        qCritical().noquote() << QStringLiteral("Ошибка запуска сервера параметров на порту %1: %2")
                                     .arg(m_port)
                                     .arg(socket->errorString());
        socket->deleteLater();
    }
    m_sweepTimer.start();
}

void VemoParamServer::stop()
{
    if (m_udpSocket != nullptr) {
        m_udpSocket->close();
        m_udpSocket->deleteLater();
        m_udpSocket = nullptr;
    }
    m_sweepTimer.stop();
}

void VemoParamServer::updSocketError(QAbstractSocket::SocketError error)
{
    // Replies to forged sender addresses come back as errors: rate-limited.
    m_diagnostics->report(
        KindSocket, QtDebugMsg,
        QStringLiteral("[VemoUpdateServer] Ошибка сокета: %1").arg(static_cast<int>(error)));
}

void VemoParamServer::updReadyRead()
{
    if (m_udpSocket == nullptr || !m_udpSocket->isValid()) {
        return;
    }
    if (m_rxBuffer.size() != MaxDatagramSize) {
        m_rxBuffer.resize(MaxDatagramSize);
    }
    // The socket may go away inside a handler (a receiver of our signals may stop
    // the server), so it is looked up again for every datagram.
    while (m_udpSocket != nullptr && m_udpSocket->hasPendingDatagrams()) {
        quint16 port = 0;
        const qint64 size =
            m_udpSocket->readDatagram(m_rxBuffer.data(), m_rxBuffer.size(), &m_rxAddress, &port);
        if (size < 0) {
            break;
        }
        handleParamRequest(QByteArray::fromRawData(m_rxBuffer.constData(), static_cast<int>(size)),
                           m_rxAddress, port);
    }
}

// ---- read access -----------------------------------------------------------

VemoParamServer::UooEntry* VemoParamServer::findEntry(quint32 code)
{
    const auto it = m_entries.find(code);
    return it != m_entries.end() ? &it->second : nullptr;
}

const VemoParamServer::UooEntry* VemoParamServer::findEntry(quint32 code) const
{
    const auto it = m_entries.find(code);
    return it != m_entries.end() ? &it->second : nullptr;
}

UooRParamsDesc VemoParamServer::uooParamsDesc(quint32 code) const
{
    const UooEntry* entry = findEntry(code);
    if (entry == nullptr) {
        return UooRParamsDesc();
    }
    UooRParamsDesc copy = entry->record;
    copy.lastSeen =
        entry->lastSeenValid ? QDateTime::fromMSecsSinceEpoch(entry->lastSeenMs) : QDateTime();
    return copy;
}

UooDescriptor VemoParamServer::uooDescriptor(quint32 code) const
{
    const UooEntry* entry = findEntry(code);
    return entry != nullptr && entry->hasDescriptor ? entry->descriptor : UooDescriptor();
}

bool VemoParamServer::hasUoo(quint32 code) const
{
    const UooEntry* entry = findEntry(code);
    return entry != nullptr && entry->hasDescriptor;
}

int VemoParamServer::onlineCount() const
{
    return static_cast<int>(m_online.size());
}

QList<UooDescriptor> VemoParamServer::uooDescriptors() const
{
    QList<UooDescriptor> list;
    for (const auto& item : m_entries) {
        if (item.second.hasDescriptor) {
            list.append(item.second.descriptor);
        }
    }
    return list;
}

// ---- operations for the controller -------------------------------------------

bool VemoParamServer::scheduleNewParams(quint32 code, const UooRParamsDesc& request)
{
    UooEntry* entry = findEntry(code);
    if (entry == nullptr || entry->record.state != UooRParamsDesc::PAR_STATE_IDLE) {
        return false;
    }
    const UooRParamsDesc before = entry->record;
    const quint16 crcBefore = entry->localSetCrc;
    setLocalParams(*entry, request.localparams);
    entry->record.localtime = request.localtime;
    entry->record.writeLeft = 0;
    entry->record.leftToSend = entry->record.localparams.size();
    // The operator is told "OK" only once the new set is in the file.
    if (!m_persistence->writeNow(code)) {
        entry->record = before;
        entry->localSetCrc = crcBefore;
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
    const UooRParamsDesc before = entry->record;
    const quint16 crcBefore = entry->localSetCrc;
    entry->record.state = UooRParamsDesc::PAR_STATE_IDLE;
    setLocalParams(*entry, QByteArray());
    entry->record.localtime = QDateTime();
    entry->record.writeLeft = 0;
    entry->record.leftToSend = 0;
    // The operator is told "OK" only once the cancellation is in the file.
    if (!m_persistence->writeNow(code)) {
        entry->record = before;
        entry->localSetCrc = crcBefore;
        return false;
    }
    return true;
}

// ---- offline sweep -------------------------------------------------------------

void VemoParamServer::sweepOffline()
{
    // Ages are measured on the monotonic clock: setting the system time neither
    // takes live devices offline nor delays the detection of silent ones.
    const qint64 nowMs = m_clock->monotonicMs();
    dropIdleUploads(nowMs);
    m_sweep->begin(nowMs);
}

void VemoParamServer::setPushBacklog(const PushBacklog* backlog)
{
    m_sweep->setPushBacklog(backlog);
}

bool VemoParamServer::takeExpired(qint64 nowMs, int budget, std::vector<quint32>* codes)
{
    // The index is ordered by last-seen time: only its expired head is visited.
    auto it = m_online.begin();
    int taken = 0;
    while (it != m_online.end() && (nowMs - it->first) / 1000 > OfflineAfterSecs) {
        if (taken == budget) {
            m_online.erase(m_online.begin(), it);
            return true;
        }
        if (UooEntry* entry = findEntry(it->second)) {
            entry->indexed = false;
        }
        codes->push_back(it->second);
        ++taken;
        ++it;
    }
    m_online.erase(m_online.begin(), it);
    return false;
}

void VemoParamServer::reportOffline(quint32 code)
{
    UooEntry* entry = findEntry(code);
    if (entry == nullptr || entry->indexed || !entry->record.isOnline()) {
        return;
    }
    noteDescriptorChange(code, *entry);
    entry->record.flags &= ~UooRParamsDesc::FlagOnline;
    entry->hasDescriptor = true;
    entry->descriptor.status &= ~UooDescriptor::StatusOnline;
    emit uooRpamsUpdated(code);
    emit uooDescUpdated(code);
}

std::unique_ptr<UooDescriptorSnapshot> VemoParamServer::openDescriptorSnapshot()
{
    return std::make_unique<DescriptorSnapshot>(this);
}

void VemoParamServer::noteDescriptorChange(quint32 code, const UooEntry& entry)
{
    for (DescriptorSnapshot* snapshot : m_snapshots) {
        snapshot->keep(code, entry.hasDescriptor, entry.descriptor);
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
        m_diagnostics->report(
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
    auto found = m_entries.find(code);
    const bool isNew = found == m_entries.end();
    if (isNew) {
        if (m_entries.size() >= static_cast<size_t>(m_maxDevices)) {
            m_diagnostics->report(KindNewDevice, QtWarningMsg,
                                  QStringLiteral("[PARAM_SERV] SYNC from new UOO %1 dropped: %2 "
                                                 "device records, the limit")
                                      .arg(code)
                                      .arg(m_entries.size()));
            return;
        }
        found = m_entries.emplace(code, UooEntry()).first;
    }
    UooEntry& entry = found->second;
    UooRParamsDesc& record = entry.record;

    // 1. The parameter record.
    const bool wasOnline = record.isOnline();
    const QString device = request.deviceText();
    const QString pversion = request.pversionText();
    if (isNew || record.uoo != code || record.device != device || record.pversion != pversion) {
        record.device = device;
        record.pversion = pversion;
        record.uoo = code;
        markDirty(code);
    }
    markOnline(code, entry, m_clock->currentMSecsSinceEpoch(), m_clock->monotonicMs());

    // 2. The descriptor.
    if (!m_snapshots.empty()) {
        noteDescriptorChange(code, entry);
    }
    entry.hasDescriptor = true;
    UooDescriptor& descriptor = entry.descriptor;
    descriptor.uoo = code;
    descriptor.device = record.device;
    descriptor.flagA = 1;
    descriptor.flagB = 1;
    bool isIpv4 = false;
    const quint32 ip = sender.toIPv4Address(&isIpv4);
    descriptor.ip = isIpv4 ? ip : 0;
    descriptor.port = senderPort;
    descriptor.status = header.value | UooDescriptor::StatusOnline;
    descriptor.version = request.versionWord();
    emit uooDescUpdated(code);

    // 3. The reply's common part, the device time and the set CRC (cached).
    SyncBlock reply;
    reply.version1 = request.version1;
    reply.version2 = request.version2;
    reply.version3 = request.version3;
    reply.uooCode = request.uooCode;
    const QDateTime& devTime = deviceTime(entry, request.paramsTime);
    char replyBytes[SyncBlock::Size];

    // 4. By state; 5. ask for an upload.
    bool askUpload = false;
    switch (record.state) {
    case UooRParamsDesc::PAR_STATE_WAIT_SEND:
        askUpload = true;
        break;
    case UooRParamsDesc::PAR_STATE_IDLE:
        if (entry.uooSetCrc != request.paramsCrc ||
            request.paramsSize != static_cast<quint32>(record.uooparams.size()) ||
            entry.deviceTimeNewer) {
            askUpload = true;
            break;
        }
        if (!record.localparams.isEmpty()) {
            reply.paramsSize = static_cast<quint32>(record.localparams.size());
            reply.paramsCrc = entry.localSetCrc;
            reply.command = PAR_SYNC_NEW_PARAMS;
        } else {
            reply.command = PAR_SYNC_IN_SYNC;
        }
        reply.encode(replyBytes);
        sendDatagram(PAR_PROTO_SYNC_REQUEST, replyBytes, SyncBlock::Size, 0, sender, senderPort);
        if (!wasOnline) {
            emit uooRpamsUpdated(code);
        }
        break;
    case UooRParamsDesc::PAR_STATE_WAIT_UPD:
        if (resetWithoutNewSet(code, entry, "PAR_STATE_WAIT_UPD")) {
            break;
        }
        if (entry.localSetCrc == request.paramsCrc &&
            static_cast<quint32>(record.localparams.size()) == request.paramsSize) {
            record.state = UooRParamsDesc::PAR_STATE_IDLE;
            setUooParams(entry, record.localparams);
            setUooTime(entry, record.localtime);
            setLocalParams(entry, QByteArray());
            record.localtime = QDateTime();
            record.writeLeft = 0;
            markDirty(code);
            reply.command = PAR_SYNC_IN_SYNC;
            reply.encode(replyBytes);
            sendDatagram(PAR_PROTO_SYNC_REQUEST, replyBytes, SyncBlock::Size, 0, sender,
                         senderPort);
            logParamAction(header.uooCode, ActionConfirmed);
            ServiceCounters::add(ServiceCounters::DownloadsCompleted);
            emit uooRpamsUpdated(code);
            qDebug() << "[PARAM_SERV] обновление параметров прошло успешно, УОО " << code;
        } else {
            qDebug() << "[PARAM_SERV] Ошибка обновления параметров: WAIT_UPD state, УОО " << code;
            reply.encode(replyBytes);
            retryDownload(code, header.uooCode, entry, replyBytes, sender, senderPort);
        }
        break;
    case UooRParamsDesc::PAR_STATE_WAIT_DWLD:
        qDebug() << "[PARAM_SERV] Ошибка обновления параметров: DWLD_STATE, УОО " << code;
        reply.encode(replyBytes);
        retryDownload(code, header.uooCode, entry, replyBytes, sender, senderPort);
        break;
    default:
        qWarning() << "[PARAM_SERV] INVALID STATE in PAR_PROTO_SYNC_REQUEST";
        break;
    }

    if (askUpload) {
        record.state = UooRParamsDesc::PAR_STATE_WAIT_SEND;
        setUooParams(entry, QByteArray());
        setUooTime(entry, QDateTime());
        record.uootimetemp = devTime;
        markDirty(code);
        reply.command = PAR_SYNC_SEND_PARAMS;
        reply.encode(replyBytes);
        sendDatagram(PAR_PROTO_SYNC_REQUEST, replyBytes, SyncBlock::Size, 0, sender, senderPort);
        emit uooRpamsUpdated(code);
    }
}

void VemoParamServer::sendNewSetReply(UooEntry& entry, const char* syncReply,
                                      const QHostAddress& address, quint16 port)
{
    if (entry.record.state != UooRParamsDesc::PAR_STATE_WAIT_DWLD) {
        return;
    }
    SyncBlock reply;
    SyncBlock::decode(syncReply, SyncBlock::Size, &reply);
    reply.paramsSize = static_cast<quint32>(entry.record.localparams.size());
    reply.paramsCrc = entry.localSetCrc;
    reply.command = PAR_SYNC_NEW_PARAMS;
    char bytes[SyncBlock::Size];
    reply.encode(bytes);
    sendDatagram(PAR_PROTO_SYNC_REQUEST, bytes, SyncBlock::Size, 0, address, port);
}

// A failed download attempt of the new set (the device reported a set other than
// the one sent, or asked to sync in the middle of it): counted, and unless it was
// the last retry the download restarts with a new-set reply to the device.
void VemoParamServer::retryDownload(quint32 code, quint32 loggedCode, UooEntry& entry,
                                    const char* syncReply, const QHostAddress& address,
                                    quint16 port)
{
    entry.record.retryDownload();
    if (entry.record.localparams.isEmpty()) {
        entry.localSetCrc = 0;
    }
    markDirty(code);
    sendNewSetReply(entry, syncReply, address, port);
    logParamAction(loggedCode, ActionInterrupted);
    emit uooRpamsUpdated(code);
}

// A state that needs a new set while none is there: the record starts over.
// Returns false (nothing done) when the new set is there.
bool VemoParamServer::resetWithoutNewSet(quint32 code, UooEntry& entry, const char* stateName)
{
    if (!entry.record.localparams.isEmpty()) {
        return false;
    }
    resetRecord(entry);
    markDirty(code);
    qDebug().noquote() << QStringLiteral(
                              "[PARAM_SERV] Undefined behavior : state is %1 but localParams "
                              "is Empty")
                              .arg(QLatin1String(stateName));
    return true;
}

// A chunk whose bytes are already where its offset says: the repeat of a chunk
// of the running upload, or of the last chunk of the upload just completed.
bool VemoParamServer::isRepeatedChunk(const UooRParamsDesc& record, const ParamChunk& chunk)
{
    if (chunk.offset == 0) {
        return false;
    }
    const QByteArray data =
        QByteArray::fromRawData(chunk.data.data(), static_cast<int>(chunk.length));
    const qint64 end = qint64(chunk.offset) + chunk.length;
    if (end <= record.uploadBuffer.size()) {
        return record.uploadBuffer.mid(static_cast<int>(chunk.offset),
                                       static_cast<int>(chunk.length)) == data;
    }
    if (record.uploadBuffer.isEmpty() && chunk.left == 0 && end == record.uooparams.size()) {
        return record.uooparams.right(static_cast<int>(chunk.length)) == data;
    }
    return false;
}

void VemoParamServer::handleSendRequest(const ParamDatagramHeader& header, const char* payload,
                                        int size, const QHostAddress& sender, quint16 senderPort)
{
    ParamChunk chunk;
    if (!ParamChunk::decode(payload, size, &chunk) || !chunk.lengthValid()) {
        invalidPack();
        return;
    }
    const quint32 code = header.uooCode;
    UooEntry* entry = findEntry(code);
    if (entry == nullptr) {
        return;
    }
    UooRParamsDesc& record = entry->record;
    if (chunk.offset == 0) {
        dropUpload(code, *entry);
    }
    if (chunk.computeCrc() != chunk.crc) {
        m_diagnostics->report(KindDataCrc, QtWarningMsg,
                              QStringLiteral("[PARAM_SERV] Invalid data CRC in "
                                             "PAR_PROTO_SEND_REQUEST"));
        return;
    }
    if (isRepeatedChunk(record, chunk)) {
        // Sent again because our acknowledgement was lost: acknowledge it
        // again, but do not take its bytes twice.
        sendDatagram(PAR_PROTO_RCV_ACK, nullptr, 0, chunk.crc, sender, senderPort);
        return;
    }
    if (record.uploadBuffer.size() > MaxUploadSize - static_cast<int>(chunk.length)) {
        // More than any parameter set: the upload is discarded.
        dropUpload(code, *entry);
        invalidPack();
        return;
    }
    if (!appendUpload(code, *entry, chunk.data.data(), static_cast<int>(chunk.length))) {
        return;
    }
    if (chunk.left == 0) {
        // The set keeps only its own bytes, not the room the buffer grew into.
        setUooParams(*entry,
                     QByteArray(record.uploadBuffer.constData(), record.uploadBuffer.size()));
        setUooTime(*entry, record.uootimetemp);
        record.uootimetemp = QDateTime();
        record.state = UooRParamsDesc::PAR_STATE_IDLE;
        dropUpload(code, *entry);
        markDirty(code);
        qDebug() << "[PARAM_SERV] Загружены новые параметры из УОО " << code;
        logParamAction(code, ActionUploaded);
        ServiceCounters::add(ServiceCounters::UploadsCompleted);
        emit uooRpamsUpdated(code);
    }
    sendDatagram(PAR_PROTO_RCV_ACK, nullptr, 0, chunk.crc, sender, senderPort);
}

void VemoParamServer::handleRcvAck(const ParamDatagramHeader& header, const QHostAddress& sender,
                                   quint16 senderPort)
{
    const quint32 code = header.uooCode;
    UooEntry* entry = findEntry(code);
    if (entry == nullptr) {
        return;
    }
    UooRParamsDesc& record = entry->record;
    if (record.state != UooRParamsDesc::PAR_STATE_WAIT_DWLD) {
        m_diagnostics->report(
            KindUnmatched, QtDebugMsg,
            LogRateLimiter::compose("[PARAM_SERV] Unmatched state in PAR_PROTO_RCV_ACK: ",
                                    record.state));
        return;
    }
    if (resetWithoutNewSet(code, *entry, "PAR_STATE_WAIT_DWLD")) {
        return;
    }
    if (record.leftToSend == 0) {
        record.state = UooRParamsDesc::PAR_STATE_WAIT_UPD;
        markDirty(code);
        qDebug() << "[PARAM_SERV] Завершение загрузки новых параметров в УОО " << code;
        emit uooRpamsUpdated(code);
        return;
    }
    sendNextChunk(code, *entry, sender, senderPort);
}

void VemoParamServer::handleDwldRequest(const ParamDatagramHeader& header,
                                        const QHostAddress& sender, quint16 senderPort)
{
    const quint32 code = header.uooCode;
    UooEntry* entry = findEntry(code);
    if (entry == nullptr) {
        return;
    }
    UooRParamsDesc& record = entry->record;
    if (record.state != UooRParamsDesc::PAR_STATE_IDLE &&
        record.state != UooRParamsDesc::PAR_STATE_WAIT_DWLD) {
        m_diagnostics->report(
            KindUnmatched, QtDebugMsg,
            LogRateLimiter::compose("[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_REQUEST: ",
                                    record.state));
        return;
    }
    record.state = UooRParamsDesc::PAR_STATE_WAIT_DWLD;
    markDirty(code);
    if (resetWithoutNewSet(code, *entry, "PAR_STATE_WAIT_DWLD")) {
        return;
    }
    sendNextChunk(code, *entry, sender, senderPort);
    logParamAction(code, ActionChunkSent);
    emit uooRpamsUpdated(code);
}

void VemoParamServer::handleDwldFinished(const ParamDatagramHeader& header,
                                         const QHostAddress& sender, quint16 senderPort)
{
    const quint32 code = header.uooCode;
    UooEntry* entry = findEntry(code);
    if (entry == nullptr) {
        return;
    }
    UooRParamsDesc& record = entry->record;
    if (record.state != UooRParamsDesc::PAR_STATE_WAIT_UPD) {
        m_diagnostics->report(
            KindUnmatched, QtDebugMsg,
            LogRateLimiter::compose("[PARAM_SERV] Unmatched state in PAR_PROTO_DWLD_FINISHED: ",
                                    record.state));
        return;
    }
    if (resetWithoutNewSet(code, *entry, "PAR_STATE_WAIT_UPD")) {
        return;
    }
    if (entry->localSetCrc != header.value) {
        m_diagnostics->report(
            KindSetCrc, QtWarningMsg,
            LogRateLimiter::compose("[PARAM_SERV] Invalid CRC in PAR_PROTO_DWLD_FINISHED: ",
                                    header.value));
        return;
    }
    sendDatagram(PAR_PROTO_DWLD_FINISHED_ACK, nullptr, 0, 0, sender, senderPort);
    logParamAction(code, ActionFinishedAcked);
}

// ---- sending -------------------------------------------------------------------

void VemoParamServer::sendDatagram(quint32 msgCode, const char* payload, int size, quint16 value,
                                   const QHostAddress& address, quint16 port)
{
    if (m_udpSocket == nullptr) {
        return;
    }
    ParamDatagramHeader::buildInto(&m_txBuffer, msgCode, payload, size, value);
    m_udpSocket->writeDatagram(m_txBuffer.constData(), m_txBuffer.size(), address, port);
}

void VemoParamServer::sendNextChunk(quint32 code, UooEntry& entry, const QHostAddress& address,
                                    quint16 port)
{
    UooRParamsDesc& record = entry.record;
    const int setSize = record.localparams.size();
    // A count that does not fit the set (a damaged stored row) restarts the set.
    if (record.leftToSend < 0 || record.leftToSend > setSize) {
        record.leftToSend = setSize;
    }
    const ParamChunk chunk = ParamChunk::fromSet(record.localparams, setSize - record.leftToSend);
    record.leftToSend = static_cast<int>(chunk.left);
    markDirty(code);
    char bytes[ParamChunk::Size];
    chunk.encode(bytes);
    sendDatagram(PAR_PROTO_SEND_REQUEST, bytes, ParamChunk::Size, 0, address, port);
}

// ---- record helpers --------------------------------------------------------------

void VemoParamServer::setUooParams(UooEntry& entry, const QByteArray& bytes)
{
    entry.record.uooparams = bytes;
    entry.uooSetCrc = paramSetCrc(bytes);
}

void VemoParamServer::setLocalParams(UooEntry& entry, const QByteArray& bytes)
{
    entry.record.localparams = bytes;
    entry.localSetCrc = paramSetCrc(bytes);
}

void VemoParamServer::setUooTime(UooEntry& entry, const QDateTime& time)
{
    entry.record.uootime = time;
    entry.timeCacheValid = false;
}

void VemoParamServer::resetRecord(UooEntry& entry)
{
    unindex(entry);
    dropUpload(entry.record.uoo, entry);
    entry.record = UooRParamsDesc();
    entry.uooSetCrc = 0;
    entry.localSetCrc = 0;
    entry.lastSeenValid = false;
    entry.lastSeenMs = 0;
    entry.timeCacheValid = false;
}

void VemoParamServer::markOnline(quint32 code, UooEntry& entry, qint64 nowMs, qint64 monotonicMs)
{
    entry.record.flags |= UooRParamsDesc::FlagOnline;
    entry.lastSeenValid = true;
    entry.lastSeenMs = nowMs;
    entry.lastSeenMonotonicMs = monotonicMs;
    if (entry.indexed) {
        // Reuse the index node: the new time is normally the latest, so the hinted
        // insertion at the end costs constant time.
        auto node = m_online.extract(entry.indexIt);
        node.value() = {monotonicMs, code};
        entry.indexIt = m_online.insert(m_online.end(), std::move(node));
    } else {
        entry.indexIt = m_online.emplace_hint(m_online.end(), monotonicMs, code);
        entry.indexed = true;
    }
}

void VemoParamServer::unindex(UooEntry& entry)
{
    if (entry.indexed) {
        m_online.erase(entry.indexIt);
        entry.indexed = false;
    }
}

const QDateTime& VemoParamServer::deviceTime(UooEntry& entry, const std::array<quint8, 6>& bytes)
{
    if (!entry.timeCacheValid || entry.timeBytes != bytes) {
        entry.timeBytes = bytes;
        entry.deviceTime = SyncBlock::decodeParamsTime(bytes);
        entry.deviceTimeNewer = entry.record.uootime < entry.deviceTime;
        entry.timeCacheValid = true;
    }
    return entry.deviceTime;
}

// ---- uploads -----------------------------------------------------------------------

bool VemoParamServer::appendUpload(quint32 code, UooEntry& entry, const char* data, int length)
{
    QByteArray& buffer = entry.record.uploadBuffer;
    const qint64 before = buffer.capacity();
    const qint64 needed = qint64(buffer.size()) + length;
    qint64 room = before;
    if (needed > room) {
        // Grow by doubling, as the buffer would, but never past one whole upload.
        room = qMin<qint64>(qMax(needed, 2 * before), MaxUploadSize);
    }
    if (m_uploadBytes - before + room > m_maxUploadTotal) {
        // Near the limit the buffer grows only by what the chunk needs.
        room = qMax(needed, before);
    }
    if (m_uploadBytes - before + room > m_maxUploadTotal) {
        m_diagnostics->report(KindUpload, QtWarningMsg,
                              QStringLiteral("[PARAM_SERV] uploads hold %1 bytes, the limit: "
                                             "chunk from UOO %2 dropped")
                                  .arg(m_uploadBytes)
                                  .arg(code));
        return false;
    }
    if (room != before) {
        buffer.reserve(static_cast<int>(room));
    }
    buffer.append(data, length);
    m_uploadBytes += buffer.capacity() - before;
    m_uploads[code] = m_clock->monotonicMs();
    return true;
}

void VemoParamServer::dropUpload(quint32 code, UooEntry& entry)
{
    QByteArray& buffer = entry.record.uploadBuffer;
    m_uploadBytes -= buffer.capacity();
    buffer = QByteArray();
    m_uploads.erase(code);
}

void VemoParamServer::dropIdleUploads(qint64 nowMs)
{
    for (auto it = m_uploads.begin(); it != m_uploads.end();) {
        const quint32 code = it->first;
        const qint64 last = it->second;
        ++it;
        if (nowMs - last >= UploadIdleMs || nowMs < last - UploadIdleMs) {
            if (UooEntry* entry = findEntry(code)) {
                dropUpload(code, *entry);
            }
        }
    }
}

// ---- persistence -------------------------------------------------------------------

void VemoParamServer::markDirty(quint32 code)
{
    m_persistence->markDirty(code);
}

void VemoParamServer::logParamAction(quint32 uoo, int message)
{
    m_persistence->logAction(uoo, message);
}

int VemoParamServer::unsavedRecords() const
{
    return m_persistence->unsavedRecords();
}

int VemoParamServer::unsavedLogRows() const
{
    return m_persistence->unsavedLogRows();
}

quint64 VemoParamServer::paramsWriteFailures() const
{
    return m_persistence->writeFailures();
}

bool VemoParamServer::paramsWriteFailing() const
{
    return m_persistence->isWriteFailing();
}

const UooRParamsDesc* VemoParamServer::persistedRecord(quint32 code) const
{
    const UooEntry* entry = findEntry(code);
    return entry != nullptr ? &entry->record : nullptr;
}

QVector<quint32> VemoParamServer::persistedCodes() const
{
    QVector<quint32> codes;
    codes.reserve(static_cast<int>(m_entries.size()));
    for (const auto& item : m_entries) {
        codes.append(item.first);
    }
    return codes;
}

void VemoParamServer::mergeStoredRows(const QVector<ParamsRow>& rows)
{
    for (const ParamsRow& row : rows) {
        const auto found = m_entries.find(row.uoo);
        if (found == m_entries.end()) {
            UooEntry& entry = m_entries[row.uoo];
            entry.record = row.record;
            entry.record.flags = 0;
            entry.record.lastSeen = QDateTime();
            entry.record.uploadBuffer.clear();
            entry.uooSetCrc = paramSetCrc(entry.record.uooparams);
            entry.localSetCrc = paramSetCrc(entry.record.localparams);
            continue;
        }
        // Read only after the device has spoken since start-up: the live record
        // wins, but a new set an operator had scheduled is kept when the live
        // record has none and can take it.
        UooEntry& entry = found->second;
        if (entry.record.localparams.isEmpty() && !row.record.localparams.isEmpty() &&
            entry.record.state <= UooRParamsDesc::PAR_STATE_IDLE) {
            setLocalParams(entry, row.record.localparams);
            entry.record.localtime = row.record.localtime;
            entry.record.writeLeft = 0;
            entry.record.leftToSend = entry.record.localparams.size();
            markDirty(row.uoo);
            emit uooRpamsUpdated(row.uoo);
        }
    }
}
