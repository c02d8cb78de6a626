#pragma once

#include <QtGlobal>

// Identity and keys of the settings store shared by the service and the settings
// dialog. Native format; the service works in the per-user scope (falling back to
// system-wide values), the dialog writes the system-wide scope.
namespace ServiceSettings {

constexpr const char* Organization = "Kolvant";
constexpr const char* Application = "VemoParamsServer";

constexpr const char* SettingsSavedKey = "Common/SettingsSaved";
constexpr const char* NetworkGroup = "Network";
constexpr const char* RpcPortKey = "RpcPort";
constexpr const char* ParamsPortKey = "ParamsPort";
// In group Network: the one local address both servers listen on (the UDP
// parameter socket and the RPC server); empty: every address. bindhost.txt and
// the command line still decide the RPC server's address where they are given.
constexpr const char* BindAddressKey = "BindAddress";
// The Prometheus endpoint: off unless the port is non-zero; 127.0.0.1 unless a
// host is given.
constexpr const char* MetricsPortKey = "Metrics/Port";
constexpr const char* MetricsHostKey = "Metrics/Host";

// Whether connections that have not logged in receive log lines and device and
// parameter pushes (default true).
constexpr const char* PushBeforeLoginKey = "Rpc/PushBeforeLogin";

constexpr const char* LimitsGroup = "Limits";
constexpr const char* MaxRpcClientsKey = "MaxRpcClients";
constexpr const char* MaxDevicesKey = "MaxDevices";
// Where the records, the action log and the accounts are kept: "sqlite" (the
// files beside the program) or "postgresql" (the libpq connection string in
// Storage/Connection; no password here: ~/.pgpass, PGPASSFILE or peer login).
constexpr const char* StorageBackendKey = "Storage/Backend";
constexpr const char* StorageConnectionKey = "Storage/Connection";
// A node of a two-node pair on PostgreSQL: its name (unique in the pair; none:
// a single node, always active), and the lease's time to live in ms.
constexpr const char* ClusterNodeKey = "Cluster/Node";
constexpr const char* ClusterLeaseMsKey = "Cluster/LeaseMs";

constexpr quint16 DefaultRpcPort = 45432;
constexpr int DefaultMaxRpcClients = 256;
constexpr int DefaultMaxDevices = 1000000;
constexpr quint16 DefaultParamsPort = 25002;

// The service's name with the service manager.
constexpr const char* ServiceName = "VEMO UOO_Params_Server service";

} // namespace ServiceSettings
