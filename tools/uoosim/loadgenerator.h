#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

class QTextStream;

// Settings of the load mode: many devices on one UDP socket.
struct LoadConfig
{
    QString serverHost = QStringLiteral("127.0.0.1");
    quint16 port = 25002;
    quint32 devices = 1000;
    quint32 first = 1;   // UOO number of the first device
    int window = 64;     // requests in flight
    double seconds = 5;  // measuring time, unless requests > 0
    qint64 requests = 0; // measured round trips, if given
    int timeoutMs = 2000;
    bool echo = false;        // the peer echoes datagrams: no set-up, commands not checked
    int probeIntervalMs = 10; // probe mode: one SYNC every this many ms
};

struct LoadResult
{
    qint64 roundTrips = 0;
    double seconds = 0;
    double perSecond = 0;
    double medianUs = 0;
    double p99Us = 0;
    double maxUs = 0; // the slowest round trip
    qint64 lost = 0;
    qint64 unexpected = 0; // replies with another command than "in step"
};

// Sends steady-state SYNC requests for many UOO devices through one UDP socket,
// with a window of requests in flight, and measures the round trips. Replies are
// matched by the UOO number echoed in the SyncBlock.
class LoadGenerator
{
public:
    LoadGenerator(const LoadConfig& config, QTextStream* out);
    ~LoadGenerator();
    LoadGenerator(const LoadGenerator&) = delete;
    LoadGenerator& operator=(const LoadGenerator&) = delete;

    bool open(QString* error);
    // Brings every device to the steady state: SYNC, upload of a small set where
    // asked, SYNC again until every device is in step.
    bool prepare(QString* error);
    LoadResult run();
    // Probe mode: the first device sends a SYNC request every probeIntervalMs for
    // `seconds`, whatever the replies do, and writes the wall-clock time of every
    // reply (milliseconds since the epoch) as one line to `log`. Returns the
    // number of replies.
    qint64 probe(QTextStream* log);

private:
    struct Received
    {
        quint32 msgCode;
        quint32 uoo;     // from the SyncBlock of a SYNC reply
        quint32 command; // of a SYNC reply
        quint16 value;
    };

    // Sends a SYNC for every device index of `devices`, at most `window` at a time,
    // and records each device's reply command (-1 when none came).
    bool syncAll(const std::vector<quint32>& devices, std::vector<int>* commands);
    // Requests are queued and leave together (one sendmmsg) when Batch are queued
    // or before the next wait for replies.
    void sendSync(quint32 index);
    void sendChunk(quint32 index);
    char* nextOutgoing(int size);
    void flushSends();
    // Sends what is queued, then waits up to timeoutMs for datagrams and appends
    // them; false on timeout.
    bool receive(int timeoutMs, std::vector<Received>* out);

    LoadConfig config;
    QTextStream* out = nullptr;
    int fd = -1;
    std::vector<char> syncTemplate;
    std::vector<char> chunkTemplate;
    std::vector<char> outgoing; // Batch slots of outgoingSlot bytes
    std::vector<int> outgoingSizes;
    int outgoingSlot = 0;
};
