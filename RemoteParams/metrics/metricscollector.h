#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <string>
#include <vector>

// Turns the service's counters and gauges into metric families when a scrape
// asks for them. Runs on the endpoint's threads: it reads only the relaxed
// atomics of ServiceCounters and its own constant strings.
class MetricsCollector : public prometheus::Collectable
{
public:
    MetricsCollector(std::string version, std::string build);

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    const std::string version;
    const std::string build;
};
