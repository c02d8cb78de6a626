#pragma once

#include <QtGlobal>

#include <array>
#include <atomic>

// The service's operating figures for the station's monitoring: counters that
// only grow and gauges that are set to the current value. They are written on
// the main thread and read by the metrics endpoint's own threads, so every
// access is a single relaxed atomic operation: no lock, no wait, nothing that
// costs a device request more than an uncontended increment.
// Header only, so that the value types may count too.
class ServiceCounters
{
public:
    enum Counter {
        SyncRequests,       // SYNC requests handled
        UploadsCompleted,   // parameter sets taken whole from devices
        DownloadsCompleted, // new sets confirmed by their devices
        DownloadsAbandoned, // new sets given up after the retries
        InvalidDatagrams,   // datagrams refused by the validation
        LoginsFailed,       // RPC logins with a wrong name or password
        DbWriteFailures,    // failed record writes (the persistence counts; copied)
        CounterCount
    };
    enum Gauge {
        DevicesKnown,        // devices with a parameter record
        DevicesOnline,       // devices heard from within the offline limit
        RpcClientsLoggedIn,  // RPC connections with a logged-in account
        RpcClientsAnonymous, // RPC connections not (yet) logged in
        UnsavedRecords,      // parameter records changed but not yet written
        DefaultCredentials,  // 1 while the built-in account takes its published digest
        // The node's role in a pair: 0 while it is the active one (a single node
        // always is), 1 while it stands by; zero until set, so active.
        ClusterStandby,
        LeaseTerm, // the term of the lease the role was taken under (0: no pair)
        RoleSince, // when the node took its role, seconds since 1970 UTC
        GaugeCount
    };

    static void add(Counter counter, quint64 amount = 1) noexcept
    {
        counters[counter].fetch_add(amount, std::memory_order_relaxed);
    }
    // For a figure its owner counts itself: copies the owner's total.
    static void store(Counter counter, quint64 total) noexcept
    {
        counters[counter].store(total, std::memory_order_relaxed);
    }
    static quint64 value(Counter counter) noexcept
    {
        return counters[counter].load(std::memory_order_relaxed);
    }
    static void set(Gauge gauge, qint64 value) noexcept
    {
        gauges[gauge].store(value, std::memory_order_relaxed);
    }
    static qint64 value(Gauge gauge) noexcept
    {
        return gauges[gauge].load(std::memory_order_relaxed);
    }

private:
    static inline std::array<std::atomic<quint64>, CounterCount> counters{};
    static inline std::array<std::atomic<qint64>, GaugeCount> gauges{};
};
