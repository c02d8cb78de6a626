#pragma once

#include <QMetaType>
#include <QtGlobal>

// Four counters; registered by name only, no stream encoding.
struct NetworkStats
{
    quint32 v1 = 0;
    quint32 v2 = 0;
    quint32 v3 = 0;
    quint32 v4 = 0;
};

Q_DECLARE_METATYPE(NetworkStats)
