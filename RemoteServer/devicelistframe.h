#pragma once

#include "uoodescriptor.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Builds the frame of a message whose one argument is a list of descriptors (the
// reply to a device list request) descriptor by descriptor, with the same bytes
// as the whole list encoded at once. The bytes are kept as consecutive pieces, one
// per append, so that a list of a million devices is never copied as a whole.
class DeviceListFrame
{
public:
    explicit DeviceListFrame(const QString& messageName);
    DeviceListFrame(const DeviceListFrame&) = delete;
    DeviceListFrame& operator=(const DeviceListFrame&) = delete;

    void append(const QList<UooDescriptor>& descriptors);
    // The frame in two steps, for a list too long to hold: the head, given the
    // number of descriptors and the bytes they take, then the descriptors' bytes
    // slice by slice (encode()). Empty when the frame cannot be built.
    QByteArray head(quint32 descriptors, qint64 listBytes) const;
    static QByteArray encode(const QList<UooDescriptor>& descriptors);
    quint32 count() const { return listed; }
    // The finished frame as consecutive pieces; none if it could not be built.
    // Ends the building.
    QList<QByteArray> finish();

private:
    QList<QByteArray> pieces;
    int countOffset = 0; // in the first piece
    quint32 listed = 0;
    qint64 size = 0;
    bool failed = false;
};
