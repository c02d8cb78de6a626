#pragma once

#include "clock.h"
#include "paramspersistence.h"
#include "uoodescriptor.h"
#include "uoorparamsdesc.h"
#include "uoostatemachine.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <array>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

class DatagramSocket;
class DescriptorSnapshot;
class LogRateLimiter;
class OfflineSweep;
class PushBacklog;
class ServiceGate;
class UooDescriptorSnapshot;
struct ParamDatagramHeader;

// The UDP parameter server: synchronises UOO devices, uploads their current
// parameter sets, downloads scheduled new sets chunk by chunk, marks silent
// devices offline, and keeps every device's parameter record in params_upd.db.
class VemoParamServer : public QObject, private ParamsRecordSource
{
    Q_OBJECT
public:
    explicit VemoParamServer(QObject* parent = nullptr, Clock* clock = Clock::system(),
                             const StorageSettings& storage = StorageSettings());
    ~VemoParamServer() override;

    // UDP port used by the next start().
    void setPort(quint16 port);
    // Address the next start() binds to; any local address (IPv4 and IPv6) by default.
    void setBindAddress(const QHostAddress& address);
    // Port actually bound; 0 without a socket.
    quint16 boundPort() const;

    // Most device records: a SYNC request from a new UOO number beyond it is
    // dropped (with a rate-limited line); known devices are served as before.
    void setMaxDevices(int count);
    int maxDevices() const { return deviceLimit; }
    int deviceCount() const { return static_cast<int>(entries.size()); }
    // Datagrams handled in one turn of the event loop. Under a steady stream the
    // socket never runs empty; returning to the loop after a batch lets the
    // workstations' output, the timers and the writer's results go on meanwhile
    // (the socket signals again for what is left). Tests use small batches.
    static constexpr int DatagramsPerTurn = 256;
    void setDatagramsPerTurn(int count) { datagramsPerTurn = count > 0 ? count : 1; }

    // Memory held by unfinished uploads, in bytes, and its limit.
    qint64 uploadBytes() const { return uploadMemory; }
    void setMaxUploadTotal(qint64 bytes) { uploadLimit = bytes; }

    UooRParamsDesc uooParamsDesc(quint32 code) const;
    UooDescriptor uooDescriptor(quint32 code) const;
    bool hasUoo(quint32 code) const;
    QList<UooDescriptor> uooDescriptors() const;
    // The descriptors as they stand now, read a slice at a time (in ascending order
    // of UOO number, like uooDescriptors) while the server goes on.
    std::unique_ptr<UooDescriptorSnapshot> openDescriptorSnapshot();
    // The sweep's offline reports wait while this backlog is high.
    void setPushBacklog(const PushBacklog* backlog);
    OfflineSweep* offlineSweep() const { return sweep; }
    // Devices heard from within the offline limit.
    int onlineCount() const;
    bool scheduleNewParams(quint32 code, const UooRParamsDesc& request);
    // Asked before every datagram is handled (see ServiceGate): while it says
    // no, datagrams are read and dropped unanswered. Null: always answering.
    void setGate(const ServiceGate* serviceGate) { gate = serviceGate; }
    // The start-up read of the records is complete.
    bool isLoaded() const { return persistence->isLoaded(); }
    // A pair's standby: rows of the store as another node wrote them replace
    // the records held here (a standby has no live state of its own).
    void followStoredRows(const QVector<ParamsRow>& rows);

    // For the end of the process: writes what is not yet written and closes the
    // file, then hands the records' memory to a holder that is never freed (it
    // stays reachable), so that the stop does not spend a second or more freeing
    // a million records one by one; the system takes the memory back at exit.
    // The server holds no device afterwards.
    void leaveRecordsToSystem();
    bool cancelNewParams(quint32 code, const UooRParamsDesc& request);

    // The parameters file: records changed and action-log rows not yet written,
    // failed write attempts since start-up, whether writing fails now.
    int unsavedRecords() const;
    int unsavedLogRows() const;
    quint64 paramsWriteFailures() const;
    bool paramsWriteFailing() const;

    // Validates and handles one datagram; replies go to sender:senderPort.
    void handleParamRequest(const QByteArray& datagram, const QHostAddress& sender,
                            quint16 senderPort);

    // Largest upload the server collects for one device.
    static constexpr int MaxUploadSize = UooStateMachine::MaxUploadSize;
    // Memory all unfinished uploads together may hold; a chunk that would take
    // more is dropped unacknowledged, and the device sends it again later.
    static constexpr qint64 MaxUploadTotal = 256 * 1024 * 1024;
    // An upload without a new chunk for this long is given up (at the sweep).
    static constexpr qint64 UploadIdleMs = 60 * 1000;
    static constexpr int DefaultMaxDevices = 1000000;
    // Offline after more than this many whole seconds without a SYNC request,
    // measured on the monotonic clock.
    static constexpr qint64 OfflineAfterSecs = 300;
    static constexpr int SweepIntervalMs = 5000;
    static constexpr int PersistDelayMs = ParamsPersistence::PersistDelayMs;

signals:
    void uooRpamsUpdated(quint32 code);
    void uooDescUpdated(quint32 code);
    // A write was refused: another node of the pair holds a newer lease term.
    void writeFenced();

public slots:
    void start();
    void stop();

private slots:
    void updSocketError(QAbstractSocket::SocketError);
    void updReadyRead();
    void sweepOffline();

private:
    friend class DescriptorSnapshot;
    friend class OfflineSweep;

    // Online devices ordered by the monotonic time of their last SYNC request.
    using OnlineIndex = std::set<std::pair<qint64, quint32>>;

    // A device: its state machine, and when it was last heard.
    struct UooEntry
    {
        UooStateMachine machine; // the record's lastSeen is kept in lastSeenMs
        // Last SYNC request (wall clock, msecs since the epoch); the record's
        // lastSeen is made from it when the record is handed out. Its age is
        // measured from lastSeenMonotonicMs, which a change of the system time
        // does not move.
        bool lastSeenValid = false;
        qint64 lastSeenMs = 0;
        qint64 lastSeenMonotonicMs = 0;
        bool indexed = false;
        OnlineIndex::iterator indexIt;
    };

    struct LeftRecords;
    static LeftRecords* leftRecords;

    UooEntry* findEntry(quint32 code);
    const UooEntry* findEntry(quint32 code) const;

    void handleSyncRequest(const ParamDatagramHeader& header, const char* payload, int size,
                           const QHostAddress& sender, quint16 senderPort);
    void handleSendRequest(const ParamDatagramHeader& header, const char* payload, int size,
                           const QHostAddress& sender, quint16 senderPort);
    void handleRcvAck(const ParamDatagramHeader& header, const QHostAddress& sender,
                      quint16 senderPort);
    void handleDwldRequest(const ParamDatagramHeader& header, const QHostAddress& sender,
                           quint16 senderPort);
    void handleDwldFinished(const ParamDatagramHeader& header, const QHostAddress& sender,
                            quint16 senderPort);
    void apply(quint32 code, UooEntry& entry, const ParamDatagramHeader& header,
               const UooStateMachine::Outcome& outcome, const QHostAddress& sender,
               quint16 senderPort, qint64 uploadHeldBefore);
    static void count(const UooStateMachine::Outcome& outcome);
    void writeNote(quint32 code, const ParamDatagramHeader& header,
                   const UooStateMachine::Outcome& outcome);
    static const char* unmatchedStateText(quint32 msgCode);

    void sendDatagram(quint32 msgCode, const char* payload, int size, quint16 value,
                      const QHostAddress& address, quint16 port);

    void markOnline(quint32 code, UooEntry& entry, qint64 nowMs, qint64 monotonicMs);
    void forget(UooEntry& entry);

    void trackUpload(quint32 code, UooEntry& entry, qint64 heldBefore, bool active);
    void dropIdleUploads(qint64 nowMs);
    void invalidPack();

    // Sweep: moves up to budget devices whose time ran out at nowMs from the online
    // index to codes; true while more remain. reportOffline then takes one offline
    // and reports it, unless it was heard again since.
    bool takeExpired(qint64 nowMs, int budget, std::vector<quint32>* codes);
    void reportOffline(quint32 code);
    // Before a descriptor is set or changed: open snapshots keep the old one.
    void noteDescriptorChange(quint32 code, const UooEntry& entry);

    void markDirty(quint32 code);
    void logParamAction(quint32 uoo, int message);
    // ParamsRecordSource
    const UooRParamsDesc* persistedRecord(quint32 code) const override;
    QVector<quint32> persistedCodes() const override;
    void mergeStoredRows(const QVector<ParamsRow>& rows) override;

    Clock* clock = nullptr;
    quint16 listenPort = 25002;
    QHostAddress bindAddress{QHostAddress::Any};
    DatagramSocket* udpSocket = nullptr;
    ParamsPersistence* persistence = nullptr;
    std::map<quint32, UooEntry> entries;
    OnlineIndex online;
    QTimer sweepTimer;
    OfflineSweep* sweep = nullptr;
    std::vector<DescriptorSnapshot*> snapshots;
    // Reused buffer of the datagram path.
    QByteArray txBuffer;
    int deviceLimit = DefaultMaxDevices;
    int datagramsPerTurn = DatagramsPerTurn;
    // Unfinished uploads: UOO number -> monotonic time of the last chunk (msecs).
    std::map<quint32, qint64> uploads;
    qint64 uploadMemory = 0; // capacity of their buffers
    qint64 uploadLimit = MaxUploadTotal;
    LogRateLimiter* diagnostics = nullptr;
    const ServiceGate* gate = nullptr;
};
