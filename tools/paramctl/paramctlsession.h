#pragma once

#include "paramctlexitcode.h"
#include "paramctloptions.h"
#include "paramctlrecord.h"
#include "rpctypes.h"

#include <QAbstractSocket>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QTimer>

class QTextStream;
class RpcPeer;

// One run of paramctl: read and check the commands (one from the command line,
// or a batch file), connect, log in, run them in order over the one connection,
// report. finished() carries the exit status (ParamCtlExitCode).
//
// The server answers the requests of a connection in the order they came, and
// its replies carry no request number; a reply is matched to the oldest request
// still waiting for that kind of reply. Device lists keep up to Window requests
// on the way.
class ParamCtlSession : public QObject
{
    Q_OBJECT
public:
    // Largest reply taken from the server: a device list of some four million
    // devices.
    static constexpr qint64 MaxReplyFrame = 256 * 1024 * 1024;
    // Requests of a device list on the way at once.
    static constexpr int Window = 16;
    // Record lookups of watch --params waiting at once; beyond, the message is
    // printed without the record.
    static constexpr int MaxWatchLookups = 1000;
    // The server refuses a second login for a name within a second.
    static constexpr int LoginRetryDelayMs = 1100;

    ParamCtlSession(const ParamCtlOptions& options, QTextStream& out, QTextStream& err,
                    QObject* parent = nullptr);

    void start();
    // SIGINT or SIGTERM: the end of a watch, an interruption otherwise.
    void interrupt();

signals:
    void finished(int code);

private slots:
    void onConnected();
    void onServerError(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onTimeout();
    void onWatchSeconds();
    void onRetryDelay();

    // Replies, with the exact types the server sends.
    void loginResult(QString text, QList<uchar> permissions);
    void clientsList(QList<VemoRpcClient> clients);
    void clientOperationResult(QString result);
    void uooStateResult(QList<UooDescriptor> descriptors);
    void paramsStateResult(UooRParamsDesc params);
    void paramsOperationResult(QString result);
    void uooOperationResult(QString result);

    // Unsolicited messages.
    void sysLogMessage(QString line);
    void newUooState(UooDescriptor descriptor);
    void uooRemoved(UooDescriptor descriptor);
    void newParamsState(quint32 uoo);

private:
    enum class Stage { Idle, Connecting, LoggingIn, WaitingToRetry, Running, Done };

    // A request on the way: the reply it waits for, for which command and device.
    struct Pending
    {
        QString reply;
        int command = -1;
        quint32 uoo = 0;
    };

    bool prepare();
    QString source() const;
    // "FILE:LINE: " for a command of a batch file, empty otherwise.
    QString where() const;
    void openConnection();
    void startCommand();
    void sendDeviceRequests();
    void send(const QString& reply, quint32 uoo, const QString& fn, const QVariant& p1 = QVariant(),
              const QVariant& p2 = QVariant(), const QVariant& p3 = QVariant());
    bool takeReply(const QString& reply, Pending* pending);
    void deviceDone(quint32 uoo, const QString& result);
    void commandDone(int code, const QString& message = QString());
    void updateReplyTimer();
    bool watching() const;
    const ParamCtlCommand& command() const { return commands.at(current); }
    bool saveSet(const QString& path, const QByteArray& bytes);
    void printLine(const QString& line);
    void printRecord(const ParamCtlRecord& record);
    void printResult(const QString& result);
    void watchLine(const QString& name, const ParamCtlRecord& record);
    void watchPrinted();
    void reportError(const QString& message);
    void finish(int code, const QString& message = QString());

    ParamCtlOptions options;
    QList<ParamCtlCommand> commands;
    QTextStream& out;
    QTextStream& err;
    RpcPeer* peer = nullptr;
    QTimer replyTimer;
    QTimer watchTimer;
    QTimer retryTimer;
    QTimer flushTimer;
    Stage stage = Stage::Idle;
    int loginAttempts = 0;
    bool loginLimitReported = false;

    int current = -1;    // index of the running command
    int nextDevice = 0;  // device list: the next device to ask about
    QDateTime stamp;     // schedule without --time: when the command started
    int outstanding = 0; // requests of the running command on the way
    int failedDevices = 0;
    QString lastResult; // the result text of the last failed device
    int watched = 0;
    int firstFailure = ParamCtlExitCode::Success;
    QQueue<Pending> inFlight;
};
