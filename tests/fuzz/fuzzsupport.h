#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// What every fuzz target shares: an application object for the event-loop types,
// silence instead of log lines, and a reader that takes the input apart.
namespace fuzz {

// Creates the application object once; log lines are dropped (they are not what
// is being tested, and writing them would slow every run down).
void initialize(int* argc, char*** argv);

// Ends the run as a crash: a broken invariant is a finding like any other.
[[noreturn]] inline void fail(const char* what)
{
    qInstallMessageHandler(nullptr);
    qCritical("fuzz invariant broken: %s", what);
    std::abort();
}

// Takes bytes off the front of the input.
class Input
{
public:
    Input(const uint8_t* data, size_t size) : data(data), size(size) {}

    bool atEnd() const { return offset >= size; }
    size_t remaining() const { return size - offset; }

    quint8 byte() { return offset < size ? data[offset++] : 0; }
    quint16 word()
    {
        const quint16 low = byte();
        return static_cast<quint16>(low | (byte() << 8));
    }
    QByteArray bytes(size_t count)
    {
        count = qMin(count, remaining());
        const QByteArray out(reinterpret_cast<const char*>(data + offset), static_cast<int>(count));
        offset += count;
        return out;
    }
    QByteArray rest() { return bytes(remaining()); }

private:
    const uint8_t* data;
    size_t size;
    size_t offset = 0;
};

} // namespace fuzz
