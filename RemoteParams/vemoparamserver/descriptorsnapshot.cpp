#include "descriptorsnapshot.h"

#include "vemoparamserver.h"

#include <algorithm>

DescriptorSnapshot::DescriptorSnapshot(VemoParamServer* server) : server(server)
{
    server->snapshots.push_back(this);
}

DescriptorSnapshot::~DescriptorSnapshot()
{
    finish();
}

void DescriptorSnapshot::finish()
{
    if (!finished && server) {
        auto& list = server->snapshots;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    finished = true;
    kept.clear();
}

bool DescriptorSnapshot::next(int budget, QList<UooDescriptor>* out)
{
    if (finished || !server) {
        finish();
        return false;
    }
    const auto& entries = server->entries;
    auto it = started ? entries.upper_bound(cursor) : entries.begin();
    for (int visited = 0; it != entries.end() && visited < budget; ++it, ++visited) {
        const quint32 code = it->first;
        const auto old = kept.find(code);
        if (old != kept.end()) {
            if (old->second) {
                out->append(*old->second);
            }
            if (rewound) {
                kept.erase(old);
            }
        } else if (it->second.machine.hasDescriptor()) {
            out->append(it->second.machine.descriptor());
        }
        cursor = code;
        started = true;
    }
    if (it == entries.end()) {
        if (rewound) {
            finish();
        }
        return false;
    }
    return true;
}

void DescriptorSnapshot::rewind()
{
    rewound = true;
    started = false;
    cursor = 0;
}

void DescriptorSnapshot::keep(quint32 code, bool exists, const UooDescriptor& descriptor)
{
    // Before the rewind every device may be read again, so every change is kept.
    if (finished || (rewound && started && code <= cursor) || kept.count(code) != 0) {
        return;
    }
    kept.emplace(code, exists ? std::optional<UooDescriptor>(descriptor) : std::nullopt);
}
