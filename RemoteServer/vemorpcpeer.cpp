#include "vemorpcpeer.h"

VemoRPCPeer::VemoRPCPeer(QObject* parent) : RpcPeer(parent) {}
