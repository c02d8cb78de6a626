#pragma once

#include "uoodescriptor.h"

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QList>
#include <QString>

// Builds the frame of a message whose one argument is a list of descriptors (the
// reply to a device list request) descriptor by descriptor, with the same bytes
// as the whole list encoded at once.
class DeviceListFrame
{
public:
    explicit DeviceListFrame(const QString& messageName);
    DeviceListFrame(const DeviceListFrame&) = delete;
    DeviceListFrame& operator=(const DeviceListFrame&) = delete;

    void append(const QList<UooDescriptor>& descriptors);
    quint32 count() const { return m_count; }
    // The finished frame; empty if it could not be built. Ends the building.
    QByteArray finish();

private:
    QByteArray m_frame;
    QBuffer m_buffer;
    QDataStream m_out;
    qint64 m_countOffset = 0;
    quint32 m_count = 0;
};
