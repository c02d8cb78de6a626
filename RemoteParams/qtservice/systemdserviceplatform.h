#pragma once

#include "qtserviceplatform.h"

#include <QByteArray>
#include <QList>
#include <QMutex>

#include <atomic>

// The service framework on systemd.
//
// Control goes through systemctl (run as a child process with a bounded wait);
// the unit is "<escaped service name>.service", written by "-i" into the unit
// directory (/etc/systemd/system unless QTSERVICE_SYSTEMD_UNIT_DIR names
// another). A service run is recognised by NOTIFY_SOCKET: systemd started the
// process as a Type=notify service. The status goes to systemd's notify
// socket (never waiting more than a second for room in its queue)
// (running: READY=1, stopping: STOPPING=1, the rest as STATUS= texts), the
// event log is the journal.
//
// The unit comes from one template (paramserver.service.in, compiled in):
// systemd restarts the service when its process ends with a failure status
// (see QtServicePlatform::failureExitStatus) or by a crash, after
// RestartDelaySeconds, and kills it when the main event loop stops pinging
// the watchdog.
//
// Controls: SIGTERM is the stop request (control 1). A user command n (0..127)
// is the real-time signal SIGRTMIN sent with sigqueue() and the value n to the
// unit's main process (control 128 + n). SIGHUP is logged and otherwise
// ignored: the service goes on. The signal handlers only write a byte to a
// pipe, which the dispatcher thread reads. systemd cannot suspend a
// service: pause and resume are refused (false) - stopping the process with
// SIGSTOP would leave its sockets unanswered.
class SystemdServicePlatform : public QtServicePlatform
{
public:
    struct Options
    {
        QString systemctl = QStringLiteral("systemctl");
        QString unitDirectory = QStringLiteral("/etc/systemd/system");
        int commandTimeoutMs = 15000; // the longest any systemctl call may take
    };

    // Options from the environment: QTSERVICE_SYSTEMCTL and
    // QTSERVICE_SYSTEMD_UNIT_DIR override the defaults.
    SystemdServicePlatform();
    explicit SystemdServicePlatform(const Options& options);

    // "<name>.service": ASCII letters, digits, ':', '_', '.' and '-' stay,
    // a blank becomes '_', every other byte of the UTF-8 form becomes "\xNN".
    // Empty when the name cannot make a unit name (empty or too long).
    static QString unitName(const QString& serviceName);
    // RestartSec= of the unit.
    static constexpr int RestartDelaySeconds = 1;

    // The unit template with its "@NAME@" fields.
    static QByteArray unitTemplate();
    // The unit file for an install; empty when the request cannot be written
    // as one (no absolute program path, control characters, an account that
    // cannot be a user name on this system).
    static QByteArray unitFileText(const QtServiceInstallRequest& request);
    // The user a service installed under this account runs as; empty when the
    // account cannot be one here. The local system account is root.
    static QString userName(const QString& account);
    // The fields of one journal entry.
    static QList<QByteArray> journalFields(const QString& name, const QString& message,
                                           QtServiceBase::MessageType type, int id, uint category,
                                           const QByteArray& data);
    // Sends one notification to the socket that NOTIFY_SOCKET names (a path,
    // or '@' and an abstract name), waiting at most waitMs for room in the
    // queue (0: not at all). 1 when sent, 0 without a socket, -errno.
    static int sendNotification(const QByteArray& text, int waitMs);
    // What systemd is told for a status.
    static QByteArray notifyText(const QtServiceStatus& status);

    QString platformName() const override;
    bool isAvailable() override;

    bool isInstalled(const QString& name) override;
    bool isRunning(const QString& name) override;
    QString serviceDescription(const QString& name) override;
    bool install(const QtServiceInstallRequest& request) override;
    bool uninstall(const QString& name) override;
    bool start(const QString& name, const QStringList& arguments) override;
    StopState sendStop(const QString& name) override;
    StopState queryStopState(const QString& name) override;
    bool pause(const QString& name) override;
    bool resume(const QString& name) override;
    bool sendCommand(const QString& name, int code) override;

    void writeEvent(const QString& name, const QString& message, QtServiceBase::MessageType type,
                    int id, uint category, const QByteArray& data) override;

    DispatchResult runDispatcher(const QString& name, const QStringList& processArguments,
                                 QtServiceRunCallbacks* callbacks, QString* errorText) override;
    bool registerControlHandler(const QString& name) override;
    void reportStatus(const QtServiceStatus& status) override;
    void prepareApplication() override;
    void setReadinessDeferred(bool deferred) override;
    void reportReady(const QString& statusText) override;
    void reportStatusText(const QString& text) override;
    bool restartsFailedService() const override;
    int restartDelaySeconds() const override;
    int serviceExitStatus(int loopExitCode) const override;

private:
    // The first failure of each kind is logged once.
    void notify(const QByteArray& text, int waitMs = StateNotifyWaitMs);
    static constexpr int StateNotifyWaitMs = 1000;

    struct CommandResult
    {
        bool ok = false; // ran and exited with 0
        QByteArray output;
    };

    CommandResult systemctl(const QStringList& arguments);
    QString property(const QString& unit, const char* name, bool* ok);
    QString unitFilePath(const QString& unit) const;
    StopState activeStateAsStop(const QString& unit);

    Options options;

    QMutex readinessMutex;
    bool readinessDeferred = false;
    bool ready = false;
    QByteArray readyText;
    std::atomic<bool> notifyFailed{false};
    std::atomic<bool> notifyBusyReported{false};
};
