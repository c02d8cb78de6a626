#pragma once

#include "qtserviceplatform.h"
#include "systemdnotifier.h"

#include <QByteArray>
#include <QList>

// The service framework on systemd.
//
// Control goes through systemctl (run as a child process with a bounded wait);
// the unit is "<escaped service name>.service", written by "-i" into the unit
// directory (/etc/systemd/system unless QTSERVICE_SYSTEMD_UNIT_DIR names
// another). A service run is recognised by NOTIFY_SOCKET: systemd started the
// process as a Type=notify service. The status goes to systemd's notify
// socket (SystemdNotifier); the event log is the journal.
//
// The unit comes from one template (SystemdUnitFile): systemd restarts the service when its process
// ends with a failure status (see QtServicePlatform::failureExitStatus) or by a crash, after
// RestartDelaySeconds, and kills it when the main event loop stops pinging
// the watchdog.
//
// Controls: SIGTERM is the stop request (control 1). A user command n (0..127)
// is the real-time signal SIGRTMIN sent with sigqueue() and the value n to the
// unit's main process (control 128 + n). SIGHUP is logged and otherwise
// ignored: the service goes on. The signals arrive through the process's
// SignalPipe, which the dispatcher thread reads. systemd cannot suspend a
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

    // RestartSec= of the unit.
    static constexpr int RestartDelaySeconds = 1;

    // The fields of one journal entry.
    static QList<QByteArray> journalFields(const QString& name, const QString& message,
                                           QtServiceBase::MessageType type, int id, uint category,
                                           const QByteArray& data);

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
    SystemdNotifier notifier;
};
