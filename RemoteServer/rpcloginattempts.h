#pragma once

#include <QHash>
#include <QMap>
#include <QString>

#include <map>

// Rules of login per login name, across connections: two attempts for a name must
// be more than 999 ms apart, and the fourth consecutive failure for a name closes
// the connection instead of being answered (the count then starts again).
//
// The names come from unauthenticated clients, so the table holds at most
// `capacity` names: when a new name would exceed it, the name tried least recently
// is forgotten (its count and its tick). Each attempt costs O(log n).
class RpcLoginAttempts
{
public:
    static constexpr int DefaultCapacity = 65536;
    static constexpr quint32 MinIntervalMs = 999; // an attempt this close or closer is refused
    static constexpr int FailureLimit = 4;

    enum class Verdict { Answer, Disconnect };

    explicit RpcLoginAttempts(int capacity = DefaultCapacity);

    // Whether an attempt for login at tick now keeps the interval rule. A refused
    // attempt changes nothing. A name seen for the first time always passes.
    bool intervalKept(const QString& login, quint32 now);
    // A successful attempt: the tick is kept, the failure count is gone.
    void recordSuccess(const QString& login, quint32 now);
    // A failed attempt: counts it and says whether it is still answered or closes
    // the connection (the fourth in a row; the count is then dropped).
    Verdict recordFailure(const QString& login, quint32 now);

    int failures(const QString& login) const { return failedLogins.value(login, 0); }
    bool knows(const QString& login) const { return lastLoginTick.contains(login); }
    int size() const { return lastLoginTick.size(); }
    int capacity() const { return maxNames; }

private:
    void touch(const QString& login, quint32 now);

    int maxNames = DefaultCapacity;
    QMap<QString, qint32> failedLogins;   // consecutive failures per name
    QMap<QString, quint32> lastLoginTick; // tick of the last attempt per name
    // Recency index: attempt sequence number -> name, and name -> its number.
    std::map<quint64, QString> byRecency;
    QHash<QString, quint64> recency;
    quint64 nextSequence = 0;
};
