#include "paramsrowqueue.h"

#include <QMutexLocker>

void ParamsRowQueue::takeRows(QVector<ParamsRow>& chunk)
{
    QMutexLocker lock(&mutex);
    while (chunks.size() >= static_cast<size_t>(MaxChunks)) {
        changed.wait(&mutex);
    }
    chunks.push_back(std::move(chunk));
    changed.wakeAll();
}

void ParamsRowQueue::close(const ParamsStore::ReadReport& report)
{
    QMutexLocker lock(&mutex);
    finalReport = report;
    closed = true;
    changed.wakeAll();
}

bool ParamsRowQueue::next(QVector<ParamsRow>* chunk)
{
    QMutexLocker lock(&mutex);
    while (chunks.empty() && !closed) {
        changed.wait(&mutex);
    }
    if (chunks.empty()) {
        return false;
    }
    *chunk = std::move(chunks.front());
    chunks.pop_front();
    changed.wakeAll();
    return true;
}

ParamsStore::ReadReport ParamsRowQueue::report() const
{
    QMutexLocker lock(&mutex);
    return finalReport;
}
