#pragma once

#include "uoodescriptor.h"

#include <QList>

// The device descriptors as they stood at one moment, read in ascending order of
// UOO number a slice at a time while the devices go on changing: a long list is
// handed out without holding the program for the whole of it.
class UooDescriptorSnapshot
{
public:
    virtual ~UooDescriptorSnapshot() = default;

    // Appends the next descriptors to out after visiting at most `budget` devices
    // (devices without a descriptor count too). Returns false once every device has
    // been visited; true while more follow.
    virtual bool next(int budget, QList<UooDescriptor>* out) = 0;
    // Starts reading again from the first device, once: the second reading gives
    // the same descriptors as the first (a reply is measured, then sent).
    virtual void rewind() = 0;
};
