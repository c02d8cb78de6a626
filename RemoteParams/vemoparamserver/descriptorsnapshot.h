#pragma once

#include "uoodescriptorsnapshot.h"

#include <QPointer>

#include <optional>
#include <unordered_map>

class VemoParamServer;

// The descriptors of a VemoParamServer as they stood when the snapshot was opened
// (VemoParamServer::openDescriptorSnapshot), read a slice at a time. The server
// hands over the old descriptor of every device that changes before the snapshot
// has read it, so each device is read as it was at the opening, without copying
// the whole fleet at once. It is read twice (see rewind()): until the second
// reading starts, the old descriptor of every device that changes is kept.
class DescriptorSnapshot final : public UooDescriptorSnapshot
{
public:
    explicit DescriptorSnapshot(VemoParamServer* server);
    ~DescriptorSnapshot() override;
    DescriptorSnapshot(const DescriptorSnapshot&) = delete;
    DescriptorSnapshot& operator=(const DescriptorSnapshot&) = delete;

    bool next(int budget, QList<UooDescriptor>* out) override;
    void rewind() override;

    // Called by the server before the descriptor of code is set or changed;
    // exists says whether it had one.
    void keep(quint32 code, bool exists, const UooDescriptor& descriptor);

private:
    void finish();

    QPointer<VemoParamServer> server;
    bool started = false;
    bool finished = false;
    bool rewound = false; // the second reading; until then every change is kept
    quint32 cursor = 0; // the last code read, once started
    std::unordered_map<quint32, std::optional<UooDescriptor>> kept;
};
