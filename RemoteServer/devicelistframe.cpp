#include "devicelistframe.h"

#include "rpccodec.h"

#include <QMetaType>
#include <QtEndian>

#include <new>

DeviceListFrame::DeviceListFrame(const QString& messageName) : m_buffer(&m_frame)
{
    m_buffer.open(QIODevice::WriteOnly);
    m_out.setDevice(&m_buffer);
    m_out.setVersion(RpcCodec::StreamVersion);
    // Body length (patched at the end), name, one argument: a variant of the
    // registered list type, not null, with the type's name; then the list count
    // (patched) and the descriptors.
    const char* typeName = QMetaType::typeName(qMetaTypeId<QList<UooDescriptor>>());
    m_out << quint32(0) << messageName << quint8(1) << quint32(QMetaType::User) << qint8(0);
    m_out.writeBytes(typeName, static_cast<uint>(qstrlen(typeName) + 1));
    m_countOffset = m_buffer.pos();
    m_out << quint32(0);
}

void DeviceListFrame::append(const QList<UooDescriptor>& descriptors)
{
    for (const UooDescriptor& descriptor : descriptors) {
        m_out << descriptor;
    }
    m_count += static_cast<quint32>(descriptors.size());
}

QByteArray DeviceListFrame::finish()
{
    if (m_out.status() != QDataStream::Ok) {
        m_buffer.close();
        return QByteArray();
    }
    m_buffer.close();
    m_out.setDevice(nullptr);
    QByteArray frame;
    frame.swap(m_frame);
    qToLittleEndian<quint32>(static_cast<quint32>(frame.size() - RpcCodec::HeaderSize),
                             frame.data());
    qToBigEndian<quint32>(m_count, frame.data() + m_countOffset);
    return frame;
}
