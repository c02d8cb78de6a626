#pragma once

#include "rpcpeer.h"

// The RPC peer of the administration server, with the peer's own defaults
// (including its limits on frame size and unsent output).
class VemoRPCPeer : public RpcPeer
{
    Q_OBJECT
public:
    explicit VemoRPCPeer(QObject* parent = nullptr);
};
