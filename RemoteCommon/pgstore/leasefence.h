#pragma once

#include <QString>

#include <atomic>

// The lease a node writes under (see PgLease): its name and the term it holds
// now, 0 while it holds none. Shared by the node's stores on every thread; the
// term is set when the node takes the lease.
struct LeaseFence
{
    QString node;
    std::atomic<qint64> term{0};
};
