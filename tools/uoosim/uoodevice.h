#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QString>
#include <QUdpSocket>

class QTextStream;
struct ParamDatagramHeader;

// What one emulated UOO device is and how it (mis)behaves.
struct UooDeviceConfig
{
    QHostAddress server = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 25002;
    quint32 uoo = 1;
    QString device = QStringLiteral("UOOSIM");
    QString pversion = QStringLiteral("1.0");
    quint32 version1 = 1;
    quint32 version2 = 0;
    quint32 version3 = 0;
    quint16 status = 0;
    QByteArray params;    // the device's current parameter set
    QDateTime paramsTime; // its time stamp; invalid = zeros on the wire
    QString saveFile;     // where an applied new set is written, if given

    int timeoutMs = 2000; // wait for each reply
    int retries = 3;      // repeats of a request or chunk that got no answer
    int maxRounds = 10;   // SYNC requests before giving up

    // Misbehaviour, all counted from 1.
    int dropAck = 0;        // do not send the acknowledgement of downloaded chunk N
    int badChunkCrc = 0;    // send upload chunk N once with a wrong crc
    bool badSetCrc = false; // report a wrong set CRC in DWLD_FINISHED
    QString silentAfter;    // sync | upload-chunk:N | dwld-request | chunk:N | download | finished
};

// A UOO device speaking the parameter protocol to a server over UDP, one request
// at a time with bounded waits. Every protocol event is printed as one line.
class UooDevice
{
public:
    enum ExitCode {
        ExitOk = 0,       // in step with the server, or stopped where asked to
        ExitUsage = 1,    // bad arguments or files
        ExitTimeout = 2,  // the server did not answer after all repeats
        ExitProtocol = 3, // an answer that makes no sense
        ExitNoSync = 4,   // rounds used up without reaching the in-step state
    };

    UooDevice(const UooDeviceConfig& config, QTextStream* out);

    // Runs SYNC rounds until the server answers "in step" (or a stop point or
    // failure); returns an exit code.
    int run();

    QByteArray params() const { return config.params; }

private:
    enum class Step { Done, Again, Silent, Timeout, Error };

    Step upload();
    Step download(quint32 size, quint16 setCrc);
    Step finish(const QByteArray& set, quint16 setCrc);

    void send(quint32 msgCode, const QByteArray& payload, quint16 value);
    // Waits for a datagram with msgCode (and, for SYNC replies, this device's UOO
    // number in the SyncBlock). False on timeout.
    bool waitFor(quint32 msgCode, ParamDatagramHeader* header, QByteArray* payload);
    bool silentAt(const QString& step);
    void print(const QString& line);

    UooDeviceConfig config;
    QTextStream* out = nullptr;
    QUdpSocket socket;
    int uploadChunks = 0;
    int downloadChunks = 0;
    int acks = 0;
};
