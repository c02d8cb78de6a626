#pragma once

#include "uoodescriptor.h"
#include "uoodescriptorsnapshot.h"
#include "uoorparamsdesc.h"

#include <QList>
#include <QString>

#include <memory>

class AccountStore;
class RpcAuthManager;

// What the RPC administration server needs from the program's controller: the
// port, the account store and the account operations, the pass-throughs to the
// parameter server, the audit line and the login bookkeeping. The controller
// implements it; tests put a stand-in in its place.
class IRpcBackend
{
public:
    virtual ~IRpcBackend() = default;

    virtual quint16 rpcPortSetting() const = 0;
    virtual AccountStore* accountStore() = 0;

    virtual bool rpcUserExists(const QString& login) = 0;
    virtual bool addNewRpcUser(const QString& login, const QString& pwd,
                               const QList<quint8>& permissions, const QString& fullname) = 0;
    virtual bool modifyRpcUser(const QString& login, const QList<quint8>& permissions) = 0;
    virtual bool delRpcUser(const QString& login) = 0;

    virtual UooRParamsDesc uooParamsDesc(quint32 code) const = 0;
    virtual QList<UooDescriptor> uooDescriptors() const = 0;
    // The descriptors as they stand now, to be read a slice at a time; null when the
    // backend only hands out whole lists (uooDescriptors).
    virtual std::unique_ptr<UooDescriptorSnapshot> openDescriptorSnapshot() { return nullptr; }
    virtual bool hasUoo(quint32 code) const = 0;
    virtual bool scheduleNewParams(quint32 code, const UooRParamsDesc& request) = 0;
    virtual bool cancelNewParams(quint32 code, const UooRParamsDesc& request) = 0;
    virtual bool changeUooGuardState(quint32 code) = 0;

    virtual void sendToLog(const QString& user, int code, const QString& text) = 0;
    virtual RpcAuthManager* rpcAuthManager() const = 0;
};
