#pragma once

#include "syncblock.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// What the benchmark programs share.
namespace BenchSupport {

// A message handler that drops debug lines (one per upload would swamp the
// figures) and writes the rest to standard error.
void quietMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text);

// Writes uoo into a prepared request: the datagram header's UOO number and, for a
// SYNC request, the SyncBlock's as well. The rest of the datagram stays as built.
void setDatagramUoo(QByteArray* datagram, quint32 uoo, bool inSyncBlock);

// The positional arguments of a benchmark program (after the program's name), each
// with its default when absent.
class Arguments
{
public:
    Arguments();

    // The whole number at position (1: the first), from 1 to most; another value
    // makes valid() false.
    quint64 count(int position, quint64 fallback, quint64 most = 0xFFFFFFFFu);
    QString text(int position, const QString& fallback) const;
    bool valid() const { return ok; }
    // Writes "usage: " and synopsis to standard error; returns the exit code 1.
    static int usage(const char* synopsis);

private:
    QStringList args;
    bool ok = true;
};

// A device's first contact with a set of at most one chunk: its SYNC request
// announcing the set, and the upload of the set's one chunk.
struct FirstContact
{
    explicit FirstContact(const QByteArray& set);
    // Makes both requests come from device uoo.
    void setUoo(quint32 uoo);

    SyncBlock block; // what the SYNC request carries
    QByteArray sync;
    QByteArray chunk;
};

} // namespace BenchSupport
