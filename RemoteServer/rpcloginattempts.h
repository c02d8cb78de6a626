#pragma once

#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QString>

#include <map>

// Rules of login per login name and the address it is tried from, across
// connections: two attempts for a name from one address must be more than 999 ms
// apart, and the fourth consecutive failure for a name from one address closes the
// connection instead of being answered (the count then starts again). Attempts
// from elsewhere have counts and ticks of their own, so that a stranger who knows
// a login name cannot keep its operator from logging in.
//
// The entries come from unauthenticated clients, so the table holds at most
// `capacity` of them: when a new one would exceed it, the one tried least recently
// is forgotten (its count and its tick). Each attempt costs O(log n).
class RpcLoginAttempts
{
public:
    static constexpr int DefaultCapacity = 65536;
    static constexpr quint32 MinIntervalMs = 999; // an attempt this close or closer is refused
    static constexpr int FailureLimit = 4;

    enum class Verdict { Answer, Disconnect };

    explicit RpcLoginAttempts(int capacity = DefaultCapacity);

    // The entry of a login name tried from an address. IPv4 addresses (also in
    // their IPv6-mapped form) count one by one; an IPv6 address counts by its /64
    // network, which one site holds as a whole.
    static QString keyOf(const QString& login, const QHostAddress& from);

    // Whether an attempt for key at tick now keeps the interval rule. A refused
    // attempt changes nothing. A key seen for the first time always passes.
    bool intervalKept(const QString& key, quint32 now);
    // A successful attempt: the tick is kept, the failure count is gone.
    void recordSuccess(const QString& key, quint32 now);
    // A failed attempt: counts it and says whether it is still answered or closes
    // the connection (the fourth in a row; the count is then dropped).
    Verdict recordFailure(const QString& key, quint32 now);

    int failures(const QString& key) const { return failedLogins.value(key, 0); }
    bool knows(const QString& key) const { return lastLoginTick.contains(key); }
    int size() const { return lastLoginTick.size(); }
    int capacity() const { return maxNames; }

private:
    void touch(const QString& key, quint32 now);

    int maxNames = DefaultCapacity;
    QMap<QString, qint32> failedLogins;   // consecutive failures per key
    QMap<QString, quint32> lastLoginTick; // tick of the last attempt per key
    // Recency index: attempt sequence number -> key, and key -> its number.
    std::map<quint64, QString> byRecency;
    QHash<QString, quint64> recency;
    quint64 nextSequence = 0;
};
