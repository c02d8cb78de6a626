#pragma once

// Whether the service answers devices and workstations now. A node of a pair
// answers only while it holds the lease; the servers ask before every datagram,
// connection and frame (a cheap check), so that a node that was held up (paused,
// cut off) answers nothing once its lease may have passed to the other node,
// even before its own timers have run.
class ServiceGate
{
public:
    virtual ~ServiceGate() = default;
    virtual bool answering() const = 0;
};
