#include "rpcloginattempts.h"

RpcLoginAttempts::RpcLoginAttempts(int capacity) : maxNames(qMax(1, capacity)) {}

QString RpcLoginAttempts::keyOf(const QString& login, const QHostAddress& from)
{
    QString origin;
    bool isV4 = false;
    const quint32 v4 = from.toIPv4Address(&isV4);
    if (isV4) {
        origin = QHostAddress(v4).toString();
    } else if (from.protocol() == QAbstractSocket::IPv6Protocol) {
        Q_IPV6ADDR bytes = from.toIPv6Address();
        for (int i = 8; i < 16; ++i) {
            bytes[i] = 0;
        }
        origin = QHostAddress(bytes).toString() + QStringLiteral("/64");
    }
    // The address text holds no NUL, so the first one ends it whatever the login.
    return origin + QChar(0) + login;
}

bool RpcLoginAttempts::intervalKept(const QString& key, quint32 now)
{
    const auto it = lastLoginTick.constFind(key);
    if (it == lastLoginTick.constEnd()) {
        return true;
    }
    // The tick wraps; the difference is taken in unsigned 32-bit arithmetic.
    return static_cast<quint32>(now - it.value()) > MinIntervalMs;
}

void RpcLoginAttempts::recordSuccess(const QString& key, quint32 now)
{
    touch(key, now);
    failedLogins.remove(key);
}

RpcLoginAttempts::Verdict RpcLoginAttempts::recordFailure(const QString& key, quint32 now)
{
    touch(key, now);
    qint32& count = failedLogins[key];
    ++count;
    if (count >= FailureLimit) {
        failedLogins.remove(key);
        return Verdict::Disconnect;
    }
    return Verdict::Answer;
}

void RpcLoginAttempts::touch(const QString& key, quint32 now)
{
    const auto seen = recency.find(key);
    if (seen != recency.end()) {
        byRecency.erase(seen.value());
        seen.value() = nextSequence;
    } else {
        recency.insert(key, nextSequence);
    }
    byRecency.emplace(nextSequence, key);
    ++nextSequence;
    lastLoginTick.insert(key, now);

    while (lastLoginTick.size() > maxNames) {
        const auto oldest = byRecency.begin();
        const QString name = oldest->second;
        byRecency.erase(oldest);
        recency.remove(name);
        lastLoginTick.remove(name);
        failedLogins.remove(name);
    }
}
