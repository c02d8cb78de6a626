#include "systemdserviceplatform.h"

#include "signalpipe.h"
#include "systemdunitfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <limits>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

namespace {

// Marks the environment of a process that systemd started, so that a copy it
// starts (which inherits NOTIFY_SOCKET) does not take itself for the service.
const char ServicePidVariable[] = "QTSERVICE_SYSTEMD_PID";

// The bytes the signal pipe carries to the dispatcher thread: a control code
// (1 stop, 128..255 user commands), HangupByte for SIGHUP; 0 ends the control
// loop.
const unsigned char StopByte = 1;
const unsigned char HangupByte = 2;
const unsigned char CommandBase = 128;
const unsigned char EndByte = 0;

bool catchControlSignals()
{
    return SignalPipe::catchSignal(SIGTERM, StopByte) &&
           SignalPipe::catchQueuedValue(SIGRTMIN, CommandBase, 127) &&
           SignalPipe::catchSignal(SIGHUP, HangupByte);
}

int journalPriority(QtServiceBase::MessageType type)
{
    switch (type) {
    case QtServiceBase::Error:
        return 3; // err
    case QtServiceBase::Warning:
        return 4; // warning
    case QtServiceBase::Information:
        return 6; // info
    case QtServiceBase::Success:
        break;
    }
    return 5; // notice
}

} // namespace

SystemdServicePlatform::SystemdServicePlatform()
{
    const QString systemctl = qEnvironmentVariable("QTSERVICE_SYSTEMCTL");
    if (!systemctl.isEmpty()) {
        options.systemctl = systemctl;
    }
    const QString unitDirectory = qEnvironmentVariable("QTSERVICE_SYSTEMD_UNIT_DIR");
    if (!unitDirectory.isEmpty()) {
        options.unitDirectory = unitDirectory;
    }
}

SystemdServicePlatform::SystemdServicePlatform(const Options& options) : options(options) {}

QList<QByteArray> SystemdServicePlatform::journalFields(const QString& name, const QString& message,
                                                        QtServiceBase::MessageType type, int id,
                                                        uint category, const QByteArray& data)
{
    QString text = message;
    while (text.endsWith(QLatin1Char('\n'))) {
        text.chop(1);
    }
    QList<QByteArray> fields;
    fields << "MESSAGE=" + text.toUtf8();
    fields << "PRIORITY=" + QByteArray::number(journalPriority(type));
    fields << "SYSLOG_IDENTIFIER=" + name.toUtf8();
    fields << "VEMO_EVENT_ID=" + QByteArray::number(id);
    fields << "VEMO_EVENT_CATEGORY=" + QByteArray::number(category & 0xFFFFu);
    fields << "VEMO_EVENT_TYPE=" + QByteArray::number(int(type));
    if (!data.isEmpty()) {
        fields << "VEMO_EVENT_DATA=" + data.toHex();
    }
    return fields;
}

QString SystemdServicePlatform::platformName() const
{
    return QStringLiteral("systemd");
}

bool SystemdServicePlatform::isAvailable()
{
    return true;
}

SystemdServicePlatform::CommandResult
SystemdServicePlatform::systemctl(const QStringList& arguments)
{
    CommandResult result;
    QProcess process;
    process.setProgram(options.systemctl);
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(options.commandTimeoutMs)) {
        setLastErrorText(QStringLiteral("%1: %2").arg(options.systemctl, process.errorString()));
        return result;
    }
    if (!process.waitForFinished(options.commandTimeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        setLastErrorText(QStringLiteral("%1 %2: no answer")
                             .arg(options.systemctl, arguments.join(QLatin1Char(' '))));
        return result;
    }
    result.output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QByteArray error = process.readAllStandardError().trimmed();
        setLastErrorText(error.isEmpty()
                             ? QStringLiteral("%1 %2 failed")
                                   .arg(options.systemctl, arguments.join(QLatin1Char(' ')))
                             : QString::fromLocal8Bit(error));
        return result;
    }
    result.ok = true;
    return result;
}

QString SystemdServicePlatform::property(const QString& unit, const char* name, bool* ok)
{
    const CommandResult result =
        systemctl({QStringLiteral("show"), QStringLiteral("-p"), QLatin1String(name),
                   QStringLiteral("--value"), QStringLiteral("--"), unit});
    *ok = result.ok;
    return QString::fromUtf8(result.output).trimmed();
}

QString SystemdServicePlatform::unitFilePath(const QString& unit) const
{
    return QDir(options.unitDirectory).filePath(unit);
}

bool SystemdServicePlatform::isInstalled(const QString& name)
{
    const QString unit = SystemdUnitFile::unitName(name);
    if (unit.isEmpty()) {
        return false;
    }
    if (QFileInfo::exists(unitFilePath(unit))) {
        return true;
    }
    bool ok = false;
    return property(unit, "LoadState", &ok) == QLatin1String("loaded") && ok;
}

bool SystemdServicePlatform::isRunning(const QString& name)
{
    const QString unit = SystemdUnitFile::unitName(name);
    if (unit.isEmpty()) {
        return false;
    }
    bool ok = false;
    const QString state = property(unit, "ActiveState", &ok);
    return ok && (state == QLatin1String("active") || state == QLatin1String("reloading") ||
                  state == QLatin1String("activating") || state == QLatin1String("deactivating"));
}

QString SystemdServicePlatform::serviceDescription(const QString& name)
{
    const QString unit = SystemdUnitFile::unitName(name);
    if (unit.isEmpty()) {
        return QString();
    }
    QFile file(unitFilePath(unit));
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine(64 * 1024)).trimmed();
            if (line.startsWith(QLatin1String("Description="))) {
                return line.mid(12).replace(QLatin1String("%%"), QLatin1String("%"));
            }
        }
        return QString();
    }
    bool ok = false;
    if (property(unit, "LoadState", &ok) != QLatin1String("loaded") || !ok) {
        return QString();
    }
    const QString description = property(unit, "Description", &ok);
    return ok ? description : QString();
}

bool SystemdServicePlatform::install(const QtServiceInstallRequest& request)
{
    const QString unit = SystemdUnitFile::unitName(request.name);
    if (unit.isEmpty()) {
        setLastErrorText(QStringLiteral("the service name makes no unit name"));
        return false;
    }
    const QByteArray text = SystemdUnitFile::text(request);
    if (text.isEmpty()) {
        setLastErrorText(QStringLiteral("the program path or the account cannot be used"));
        return false;
    }
    const QString path = unitFilePath(unit);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        setLastErrorText(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                    QFile::ReadOther);
    if (!systemctl({QStringLiteral("daemon-reload")}).ok) {
        qWarning("%s: %s", "systemctl daemon-reload", qUtf8Printable(lastErrorText()));
    }
    if (request.startupType == QtServiceController::AutoStartup &&
        !systemctl({QStringLiteral("enable"), QStringLiteral("--"), unit}).ok) {
        const QString error = lastErrorText();
        QFile::remove(path);
        systemctl({QStringLiteral("daemon-reload")});
        setLastErrorText(error);
        return false;
    }
    return true;
}

bool SystemdServicePlatform::uninstall(const QString& name)
{
    const QString unit = SystemdUnitFile::unitName(name);
    if (unit.isEmpty()) {
        return false;
    }
    const QString path = unitFilePath(unit);
    if (!QFileInfo::exists(path)) {
        setLastErrorText(QStringLiteral("%1 was not installed here").arg(path));
        return false;
    }
    systemctl({QStringLiteral("disable"), QStringLiteral("--"), unit});
    QFile file(path);
    if (!file.remove()) {
        setLastErrorText(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    systemctl({QStringLiteral("daemon-reload")});
    return true;
}

bool SystemdServicePlatform::start(const QString& name, const QStringList& arguments)
{
    // A unit takes no start arguments; the copy that restarts the service
    // passes its own, which systemd has no use for.
    Q_UNUSED(arguments);
    const QString unit = SystemdUnitFile::unitName(name);
    if (unit.isEmpty()) {
        return false;
    }
    return systemctl({QStringLiteral("start"), QStringLiteral("--no-block"),
                      QStringLiteral("--no-ask-password"), QStringLiteral("--"), unit})
        .ok;
}

QtServicePlatform::StopState SystemdServicePlatform::activeStateAsStop(const QString& unit)
{
    bool ok = false;
    const QString state = property(unit, "ActiveState", &ok);
    if (!ok) {
        return StopState::Failed;
    }
    if (state == QLatin1String("inactive") || state == QLatin1String("failed")) {
        return StopState::Stopped;
    }
    return StopState::Pending;
}

QtServicePlatform::StopState SystemdServicePlatform::sendStop(const QString& name)
{
    const QString unit = SystemdUnitFile::unitName(name);
    if (unit.isEmpty()) {
        return StopState::Failed;
    }
    if (!systemctl({QStringLiteral("stop"), QStringLiteral("--no-block"),
                    QStringLiteral("--no-ask-password"), QStringLiteral("--"), unit})
             .ok) {
        return StopState::Failed;
    }
    return activeStateAsStop(unit);
}

QtServicePlatform::StopState SystemdServicePlatform::queryStopState(const QString& name)
{
    return activeStateAsStop(SystemdUnitFile::unitName(name));
}

bool SystemdServicePlatform::pause(const QString&)
{
    setLastErrorText(QStringLiteral("systemd services cannot be paused"));
    return false;
}

bool SystemdServicePlatform::resume(const QString&)
{
    setLastErrorText(QStringLiteral("systemd services cannot be paused"));
    return false;
}

bool SystemdServicePlatform::sendCommand(const QString& name, int code)
{
    if (code < 0 || code > 127) {
        return false;
    }
    const QString unit = SystemdUnitFile::unitName(name);
    if (unit.isEmpty()) {
        return false;
    }
    bool ok = false;
    const qint64 pid = property(unit, "MainPID", &ok).toLongLong();
    if (!ok || pid <= 1 || pid > std::numeric_limits<pid_t>::max()) {
        setLastErrorText(QStringLiteral("%1 has no main process").arg(unit));
        return false;
    }
    union sigval value;
    value.sival_int = code;
    if (::sigqueue(static_cast<pid_t>(pid), SIGRTMIN, value) != 0) {
        setLastErrorText(qt_error_string(errno));
        return false;
    }
    return true;
}

void SystemdServicePlatform::writeEvent(const QString& name, const QString& message,
                                        QtServiceBase::MessageType type, int id, uint category,
                                        const QByteArray& data)
{
    const QList<QByteArray> fields = journalFields(name, message, type, id, category, data);
    QVector<struct iovec> iov;
    iov.reserve(fields.size());
    for (const QByteArray& field : fields) {
        struct iovec v;
        v.iov_base = const_cast<char*>(field.constData());
        v.iov_len = static_cast<size_t>(field.size());
        iov << v;
    }
    // A failing write is silent: there is nowhere else to report it.
    sd_journal_sendv(iov.constData(), iov.size());
}

QtServicePlatform::DispatchResult
SystemdServicePlatform::runDispatcher(const QString& name, const QStringList& processArguments,
                                      QtServiceRunCallbacks* callbacks, QString* errorText)
{
    Q_UNUSED(name);
    const QByteArray socket = qgetenv("NOTIFY_SOCKET");
    const QByteArray marker = qgetenv(ServicePidVariable);
    const QByteArray self = QByteArray::number(qint64(::getpid()));
    if (socket.isEmpty() || (!marker.isEmpty() && marker != self)) {
        return DispatchResult::NotStartedByManager;
    }
    qputenv(ServicePidVariable, self);

    if (!SignalPipe::open() || !catchControlSignals()) {
        if (errorText) {
            *errorText = qt_error_string(errno);
        }
        return DispatchResult::Failed;
    }
    SignalPipe::drain();

    callbacks->serviceMain(processArguments);

    // The manager's side: every control byte becomes a control request, until
    // the service reports that it stopped.
    for (;;) {
        struct pollfd fd;
        fd.fd = SignalPipe::readDescriptor();
        fd.events = POLLIN;
        fd.revents = 0;
        const int ready = ::poll(&fd, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        const int byte = SignalPipe::readByte();
        if (byte < 0) {
            continue;
        }
        if (byte == EndByte) {
            break;
        }
        if (byte == HangupByte) {
            // A service has no terminal to lose and nothing to reload: SIGHUP
            // (a stray "kill -HUP", or a session ending) is not a stop.
            qWarning("QtService: SIGHUP received; the service keeps running (SIGTERM or "
                     "systemctl stop stops it)");
            continue;
        }
        callbacks->controlHandler(byte);
    }
    return DispatchResult::Finished;
}

bool SystemdServicePlatform::registerControlHandler(const QString&)
{
    return SignalPipe::readDescriptor() >= 0;
}

bool SystemdServicePlatform::restartsFailedService() const
{
    return true;
}

int SystemdServicePlatform::restartDelaySeconds() const
{
    return RestartDelaySeconds;
}

int SystemdServicePlatform::serviceExitStatus(int loopExitCode) const
{
    return failureExitStatus(loopExitCode);
}

void SystemdServicePlatform::reportStatus(const QtServiceStatus& status)
{
    notifier.reportState(status);
    if (status.currentState == QtServiceState::Stopped) {
        SignalPipe::post(EndByte);
    }
}

void SystemdServicePlatform::prepareApplication()
{
    notifier.startWatchdog();
}

void SystemdServicePlatform::setReadinessDeferred(bool deferred)
{
    notifier.setReadinessDeferred(deferred);
}

void SystemdServicePlatform::reportReady(const QString& statusText)
{
    notifier.reportReady(statusText);
}

void SystemdServicePlatform::reportStatusText(const QString& text)
{
    notifier.reportStatusText(text);
}
