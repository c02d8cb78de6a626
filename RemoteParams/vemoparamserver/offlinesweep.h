#pragma once

#include <QObject>
#include <QTimer>

#include <vector>

class PushBacklog;
class VemoParamServer;

// Takes silent devices offline. A sweep reports the devices whose time ran out at
// its start, in ascending order of UOO number, as one pass over the fleet would;
// but a large one is spread over turns of the event loop (at most about SliceMs
// each), so devices are served in between, and its reports wait while the
// workstations' output backlog is above PaceBacklog, so a burst of a million
// offline reports reaches every workstation that reads at the pace it reads. A
// device heard again before its turn is not reported.
class OfflineSweep : public QObject
{
    Q_OBJECT
public:
    static constexpr int SliceMs = 20;
    static constexpr int CheckEvery = 256; // devices between two looks at the time
    static constexpr qint64 PaceBacklog = 1024 * 1024;
    static constexpr int PaceRetryMs = 5;

    explicit OfflineSweep(VemoParamServer* server);

    void setPushBacklog(const PushBacklog* backlog) { pace = backlog; }
    // At most this many devices per turn (tests use small slices).
    void setSliceDevices(int devices) { sliceDevices = devices > 0 ? devices : 1; }

    // Starts a sweep for the time nowMs and does its first slice, unless a sweep
    // is running already (its successor then catches whatever expired meanwhile).
    void begin(qint64 nowMs);
    bool isRunning() const { return phase != Phase::Idle; }

    // Sorts UOO numbers in ascending order, in time linear in their number.
    static void sortCodes(std::vector<quint32>& codes);

private slots:
    void step();

private:
    enum class Phase { Idle, Collect, Report };

    VemoParamServer* server;
    const PushBacklog* pace = nullptr;
    Phase phase = Phase::Idle;
    qint64 sweepMs = 0;
    std::vector<quint32> codes;
    size_t nextCode = 0;
    int sliceDevices = 1 << 30;
    QTimer turn;
};
