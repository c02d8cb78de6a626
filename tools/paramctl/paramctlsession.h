#pragma once

#include "paramctloptions.h"
#include "rpctypes.h"

#include <QAbstractSocket>
#include <QObject>
#include <QTimer>

class QTextStream;
class RpcPeer;

// One run of paramctl: connect, log in, run the command, report. finished() carries
// the exit status.
class ParamCtlSession : public QObject
{
    Q_OBJECT
public:
    // Largest reply taken from the server: a device list of some four million
    // devices.
    static constexpr qint64 MaxReplyFrame = 256 * 1024 * 1024;
    enum ExitCode {
        Success = 0,
        BadUsage = 2,
        ConnectFailed = 3,
        ConnectionClosed = 4,
        LoginRefused = 5,
        OperationFailed = 6,
        TimedOut = 7,
        FileError = 8,
        Interrupted = 130,
    };

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
    enum class Stage { Idle, Connecting, LoggingIn, Running, Done };

    void sendCommand();
    void expectReply();
    void printLine(const QString& line);
    void printResult(const QString& result);
    void watchLine(const QString& name, const QString& text);
    void finish(int code, const QString& message = QString());

    ParamCtlOptions options;
    QTextStream& out;
    QTextStream& err;
    RpcPeer* peer = nullptr;
    QTimer replyTimer;
    QTimer watchTimer;
    QByteArray newParams;
    Stage stage = Stage::Idle;
    int watched = 0;
};
