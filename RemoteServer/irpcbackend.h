#pragma once

#include "uoodescriptorsnapshot.h"
#include "uoorparamsdesc.h"

#include <QString>

#include <memory>

// What the RPC administration server needs from the program around it: the
// devices (a snapshot of their descriptors, one device's parameter record), the
// scheduling and cancelling of new parameter sets, the guard state, and the
// service's audit line. Logins and accounts are the RPC server's own. The
// controller implements it; tests put a stand-in in its place.
class IRpcBackend
{
public:
    virtual ~IRpcBackend() = default;

    // The descriptors as they stand now, to be read a slice at a time; null when
    // there are no devices to list (no parameter server).
    virtual std::unique_ptr<UooDescriptorSnapshot> openDescriptorSnapshot() = 0;
    virtual UooRParamsDesc uooParamsDesc(quint32 code) const = 0;
    virtual bool hasUoo(quint32 code) const = 0;
    virtual bool scheduleNewParams(quint32 code, const UooRParamsDesc& request) = 0;
    virtual bool cancelNewParams(quint32 code, const UooRParamsDesc& request) = 0;
    virtual bool changeUooGuardState(quint32 code) = 0;

    // Audit line of an operation a workstation carried out.
    virtual void sendToLog(const QString& user, int code, const QString& text) = 0;
};
