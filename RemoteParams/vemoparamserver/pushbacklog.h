#pragma once

#include <QtGlobal>

// How much of what was pushed to the workstations has not gone out yet: producers
// of large bursts of pushes (the offline sweep) wait while it is high.
class PushBacklog
{
public:
    virtual ~PushBacklog() = default;
    // Bytes waiting for the workstation furthest behind among those that read.
    virtual qint64 pushBacklog() const = 0;
};
