#include "metricscollector.h"

#include "servicecounters.h"

#include <utility>

namespace {

struct CounterName
{
    ServiceCounters::Counter counter;
    const char* name;
    const char* help;
};

const CounterName Counters[] = {
    {ServiceCounters::SyncRequests, "paramserver_sync_requests_total",
     "SYNC requests handled from UOO devices."},
    {ServiceCounters::UploadsCompleted, "paramserver_uploads_completed_total",
     "Parameter sets received whole from UOO devices."},
    {ServiceCounters::DownloadsCompleted, "paramserver_downloads_completed_total",
     "Scheduled parameter sets applied and confirmed by their UOO devices."},
    {ServiceCounters::DownloadsAbandoned, "paramserver_downloads_abandoned_total",
     "Scheduled parameter sets given up after the retries."},
    {ServiceCounters::InvalidDatagrams, "paramserver_invalid_datagrams_total",
     "UDP datagrams refused as malformed."},
    {ServiceCounters::LoginsFailed, "paramserver_logins_failed_total",
     "RPC logins refused for a wrong name or password."},
    {ServiceCounters::DbWriteFailures, "paramserver_db_write_failures_total",
     "Failed writes of parameter records to the database."},
};

struct GaugeName
{
    ServiceCounters::Gauge gauge;
    const char* name;
    const char* help;
};

const GaugeName Gauges[] = {
    {ServiceCounters::DevicesKnown, "paramserver_devices_known",
     "UOO devices with a parameter record."},
    {ServiceCounters::DevicesOnline, "paramserver_devices_online",
     "UOO devices heard from within the offline limit."},
    {ServiceCounters::UnsavedRecords, "paramserver_unsaved_records",
     "Parameter records changed but not yet written to the database."},
    {ServiceCounters::DefaultCredentials, "paramserver_default_credentials",
     "1 while the built-in account adminvemo takes its published password digest."},
};

prometheus::ClientMetric gaugeValue(double value,
                                    std::vector<prometheus::ClientMetric::Label> labels = {})
{
    prometheus::ClientMetric metric;
    metric.label = std::move(labels);
    metric.gauge.value = value;
    return metric;
}

} // namespace

MetricsCollector::MetricsCollector(std::string version, std::string build)
    : version(std::move(version)), build(std::move(build))
{
}

std::vector<prometheus::MetricFamily> MetricsCollector::Collect() const
{
    std::vector<prometheus::MetricFamily> families;
    families.reserve(std::size(Counters) + std::size(Gauges) + 5);

    for (const CounterName& c : Counters) {
        prometheus::ClientMetric metric;
        metric.counter.value = static_cast<double>(ServiceCounters::value(c.counter));
        families.push_back({c.name, c.help, prometheus::MetricType::Counter, {metric}});
    }
    for (const GaugeName& g : Gauges) {
        families.push_back({g.name,
                            g.help,
                            prometheus::MetricType::Gauge,
                            {gaugeValue(static_cast<double>(ServiceCounters::value(g.gauge)))}});
    }
    families.push_back(
        {"paramserver_rpc_clients",
         "Workstation connections of the RPC server, by whether they are logged in.",
         prometheus::MetricType::Gauge,
         {gaugeValue(
              static_cast<double>(ServiceCounters::value(ServiceCounters::RpcClientsLoggedIn)),
              {{"logged_in", "true"}}),
          gaugeValue(
              static_cast<double>(ServiceCounters::value(ServiceCounters::RpcClientsAnonymous)),
              {{"logged_in", "false"}})}});
    const bool standby = ServiceCounters::value(ServiceCounters::ClusterStandby) != 0;
    families.push_back({"paramserver_role",
                        "The node's role: 1 on the series of the role it holds (active, "
                        "also on a single node; or standby), 0 on the other.",
                        prometheus::MetricType::Gauge,
                        {gaugeValue(standby ? 0 : 1, {{"role", "active"}}),
                         gaugeValue(standby ? 1 : 0, {{"role", "standby"}})}});
    families.push_back(
        {"paramserver_lease_term",
         "Term of the lease the node's role was taken under (0 on a single node).",
         prometheus::MetricType::Gauge,
         {gaugeValue(static_cast<double>(ServiceCounters::value(ServiceCounters::LeaseTerm)))}});
    families.push_back(
        {"paramserver_role_since_seconds",
         "When the node took its role, seconds since 1970-01-01 UTC.",
         prometheus::MetricType::Gauge,
         {gaugeValue(static_cast<double>(ServiceCounters::value(ServiceCounters::RoleSince)))}});
    families.push_back({"paramserver_build_info",
                        "Version and build of the running paramserver (always 1).",
                        prometheus::MetricType::Gauge,
                        {gaugeValue(1, {{"version", version}, {"build", build}})}});
    return families;
}
