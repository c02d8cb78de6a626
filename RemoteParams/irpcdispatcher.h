#pragma once

#include "uoodescriptor.h"

#include <QList>
#include <QString>

// Sends unsolicited messages to lists of RPC clients.
class IRpcDispatcher
{
public:
    virtual ~IRpcDispatcher() = default;

    virtual void forwardSysLog(QList<quint64> clients, QString text) = 0;
    virtual void forwardUooState(QList<quint64> clients, UooDescriptor descriptor) = 0;
    virtual void forwardUooRemoved(QList<quint64> clients, UooDescriptor descriptor) = 0;
    virtual void forwardParamsState(QList<quint64> clients, quint32 code) = 0;
};
