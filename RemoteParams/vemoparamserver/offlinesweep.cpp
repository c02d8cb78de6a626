#include "offlinesweep.h"

#include "pushbacklog.h"
#include "vemoparamserver.h"

#include <QElapsedTimer>
#include <QPointer>

#include <algorithm>

OfflineSweep::OfflineSweep(VemoParamServer* server) : QObject(server), server(server)
{
    turn.setSingleShot(true);
    connect(&turn, &QTimer::timeout, this, &OfflineSweep::step);
}

void OfflineSweep::begin(qint64 nowMs)
{
    if (phase != Phase::Idle) {
        return;
    }
    sweepMs = nowMs;
    codes.clear();
    nextCode = 0;
    phase = Phase::Collect;
    step();
}

void OfflineSweep::step()
{
    QElapsedTimer spent;
    spent.start();
    int budget = sliceDevices;
    if (phase == Phase::Collect) {
        bool more = true;
        while (more && budget > 0 && spent.elapsed() < SliceMs) {
            const size_t before = codes.size();
            more = server->takeExpired(sweepMs, std::min(budget, CheckEvery), &codes);
            budget -= static_cast<int>(codes.size() - before);
        }
        if (more) {
            turn.start(0);
            return;
        }
        if (codes.empty()) {
            phase = Phase::Idle;
            return;
        }
        sortCodes(codes);
        phase = Phase::Report;
    }
    if (phase != Phase::Report) {
        return;
    }
    if (pace && pace->pushBacklog() > PaceBacklog) {
        turn.start(PaceRetryMs);
        return;
    }
    QPointer<OfflineSweep> self(this);
    while (nextCode < codes.size() && budget > 0) {
        // The reports go to the workstations at once; a slice adds at most about
        // CheckEvery reports to each one's backlog beyond the pacing mark.
        const size_t end = std::min(codes.size(), nextCode + std::min(budget, CheckEvery));
        budget -= static_cast<int>(end - nextCode);
        while (nextCode < end) {
            server->reportOffline(codes[nextCode++]);
            if (!self) {
                return;
            }
        }
        if (spent.elapsed() >= SliceMs || (pace && pace->pushBacklog() > PaceBacklog)) {
            break;
        }
    }
    if (nextCode < codes.size()) {
        turn.start(0);
        return;
    }
    codes.clear();
    codes.shrink_to_fit();
    phase = Phase::Idle;
}

void OfflineSweep::sortCodes(std::vector<quint32>& codes)
{
    if (codes.size() < (1u << 16)) {
        std::sort(codes.begin(), codes.end());
        return;
    }
    // Two stable counting passes over 16 bits each.
    std::vector<quint32> other(codes.size());
    std::vector<size_t> start(65537);
    for (int shift : {0, 16}) {
        std::fill(start.begin(), start.end(), 0);
        for (quint32 code : codes) {
            ++start[((code >> shift) & 0xFFFFu) + 1];
        }
        for (size_t i = 1; i < start.size(); ++i) {
            start[i] += start[i - 1];
        }
        for (quint32 code : codes) {
            other[start[(code >> shift) & 0xFFFFu]++] = code;
        }
        codes.swap(other);
    }
}
