#pragma once

#include "paramsstore.h"

#include <QMutex>
#include <QVector>
#include <QWaitCondition>

#include <deque>

// Hands the rows of a read from the thread that reads them to the thread that
// takes them in, a chunk at a time, so that both work at once. The reader waits
// while MaxChunks chunks are waiting, which bounds the memory between the two.
class ParamsRowQueue final : public ParamsRowSink
{
public:
    static constexpr int MaxChunks = 8;

    ParamsRowQueue() = default;
    ParamsRowQueue(const ParamsRowQueue&) = delete;
    ParamsRowQueue& operator=(const ParamsRowQueue&) = delete;

    // Reader: queues a chunk (waits while the queue is full).
    void takeRows(QVector<ParamsRow>& chunk) override;
    // Reader: the read is over, with this report.
    void close(const ParamsStore::ReadReport& report);

    // Taker: waits for the next chunk; false once the read is over and every
    // chunk has been taken.
    bool next(QVector<ParamsRow>* chunk);
    // The reader's report; complete once next has returned false.
    ParamsStore::ReadReport report() const;

private:
    mutable QMutex mutex;
    QWaitCondition changed;
    std::deque<QVector<ParamsRow>> chunks;
    bool closed = false;
    ParamsStore::ReadReport finalReport;
};
