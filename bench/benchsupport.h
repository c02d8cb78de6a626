#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// What the benchmark programs share.
namespace BenchSupport {

// A message handler that drops debug lines (one per upload would swamp the
// figures) and writes the rest to standard error.
void quietMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text);

// Writes uoo into a prepared request: the datagram header's UOO number and, for a
// SYNC request, the SyncBlock's as well. The rest of the datagram stays as built.
void setDatagramUoo(QByteArray* datagram, quint32 uoo, bool inSyncBlock);

} // namespace BenchSupport
