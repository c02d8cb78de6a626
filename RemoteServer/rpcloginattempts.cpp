#include "rpcloginattempts.h"

RpcLoginAttempts::RpcLoginAttempts(int capacity) : maxNames(qMax(1, capacity)) {}

bool RpcLoginAttempts::intervalKept(const QString& login, quint32 now)
{
    const auto it = lastLoginTick.constFind(login);
    if (it == lastLoginTick.constEnd()) {
        return true;
    }
    // The tick wraps; the difference is taken in unsigned 32-bit arithmetic.
    return static_cast<quint32>(now - it.value()) > MinIntervalMs;
}

void RpcLoginAttempts::recordSuccess(const QString& login, quint32 now)
{
    touch(login, now);
    failedLogins.remove(login);
}

RpcLoginAttempts::Verdict RpcLoginAttempts::recordFailure(const QString& login, quint32 now)
{
    touch(login, now);
    qint32& count = failedLogins[login];
    ++count;
    if (count >= FailureLimit) {
        failedLogins.remove(login);
        return Verdict::Disconnect;
    }
    return Verdict::Answer;
}

void RpcLoginAttempts::touch(const QString& login, quint32 now)
{
    const auto seen = recency.find(login);
    if (seen != recency.end()) {
        byRecency.erase(seen.value());
        seen.value() = nextSequence;
    } else {
        recency.insert(login, nextSequence);
    }
    byRecency.emplace(nextSequence, login);
    ++nextSequence;
    lastLoginTick.insert(login, now);

    while (lastLoginTick.size() > maxNames) {
        const auto oldest = byRecency.begin();
        const QString name = oldest->second;
        byRecency.erase(oldest);
        recency.remove(name);
        lastLoginTick.remove(name);
        failedLogins.remove(name);
    }
}
