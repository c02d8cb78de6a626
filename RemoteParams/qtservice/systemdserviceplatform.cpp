#include "systemdserviceplatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTimer>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include "systemdunittemplate.h"

namespace {

// Marks the environment of a process that systemd started, so that a copy it
// starts (which inherits NOTIFY_SOCKET) does not take itself for the service.
const char ServicePidVariable[] = "QTSERVICE_SYSTEMD_PID";

// The self-pipe between the signal handlers and the dispatcher thread. A byte
// is a control code (1 stop, 128..255 user commands), HangupByte for SIGHUP;
// 0 ends the control loop.
int controlPipe[2] = {-1, -1};
const unsigned char HangupByte = 2;

bool ensureControlPipe()
{
    if (controlPipe[0] >= 0) {
        return true;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    controlPipe[0] = fds[0];
    controlPipe[1] = fds[1];
    return true;
}

void writeControlByte(unsigned char byte)
{
    const int saved = errno;
    if (controlPipe[1] >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(controlPipe[1], &byte, 1);
    }
    errno = saved;
}

extern "C" void onStopSignal(int)
{
    writeControlByte(1);
}

extern "C" void onHangupSignal(int)
{
    writeControlByte(HangupByte);
}

extern "C" void onCommandSignal(int, siginfo_t* info, void*)
{
    if (!info || info->si_code != SI_QUEUE) {
        return;
    }
    const int code = info->si_value.sival_int;
    if (code >= 0 && code <= 127) {
        writeControlByte(static_cast<unsigned char>(128 + code));
    }
}

bool installSignalHandlers()
{
    struct sigaction stop;
    std::memset(&stop, 0, sizeof stop);
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    struct sigaction command;
    std::memset(&command, 0, sizeof command);
    command.sa_sigaction = onCommandSignal;
    sigemptyset(&command.sa_mask);
    command.sa_flags = SA_RESTART | SA_SIGINFO;
    struct sigaction hangup = stop;
    hangup.sa_handler = onHangupSignal;
    return ::sigaction(SIGTERM, &stop, nullptr) == 0 &&
           ::sigaction(SIGRTMIN, &command, nullptr) == 0 &&
           ::sigaction(SIGHUP, &hangup, nullptr) == 0;
}

void drainControlPipe()
{
    unsigned char buffer[64];
    while (::read(controlPipe[0], buffer, sizeof buffer) > 0) {
    }
}

bool hasControlCharacters(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return true;
        }
    }
    return false;
}

// A value where systemd expands specifiers: '%' stands for itself as "%%".
QString escapeSpecifiers(QString text)
{
    return text.replace(QLatin1Char('%'), QLatin1String("%%"));
}

// One command-line word of ExecStart=: double-quoted, C escapes for '\' and
// '"', and neither specifiers nor variables expanded.
QString quoteCommandWord(const QString& word)
{
    QString quoted;
    quoted.reserve(word.size() + 2);
    quoted += QLatin1Char('"');
    for (const QChar c : word) {
        switch (c.unicode()) {
        case '\\':
            quoted += QLatin1String("\\\\");
            break;
        case '"':
            quoted += QLatin1String("\\\"");
            break;
        case '%':
            quoted += QLatin1String("%%");
            break;
        case '$':
            quoted += QLatin1String("$$");
            break;
        default:
            quoted += c;
            break;
        }
    }
    quoted += QLatin1Char('"');
    return quoted;
}

// The template with every "@NAME@" replaced by its field, in one pass, so
// that a field's own text is never taken for a placeholder.
QString fillTemplate(const QString& text, const QHash<QString, QString>& fields)
{
    static const QRegularExpression placeholder(QStringLiteral("@([A-Z_]+)@"));
    QString result;
    int from = 0;
    QRegularExpressionMatchIterator it = placeholder.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const auto field = fields.constFind(match.captured(1));
        if (field == fields.constEnd()) {
            continue;
        }
        result += text.midRef(from, match.capturedStart() - from);
        result += field.value();
        from = match.capturedEnd();
    }
    result += text.midRef(from);
    return result;
}

// A status text on one line.
QByteArray statusLine(const QString& text)
{
    QString line = text;
    for (QChar& c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            c = QLatin1Char(' ');
        }
    }
    return line.toUtf8();
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

QString SystemdServicePlatform::unitName(const QString& serviceName)
{
    if (serviceName.isEmpty()) {
        return QString();
    }
    const QByteArray bytes = serviceName.toUtf8();
    QString unit;
    for (int i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes.at(i));
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == ':' || c == '_' || c == '-' ||
                           (c == '.' && i > 0);
        if (plain) {
            unit += QLatin1Char(char(c));
        } else if (c == ' ') {
            unit += QLatin1Char('_');
        } else {
            unit += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        }
    }
    unit += QLatin1String(".service");
    if (unit.size() > 255) {
        return QString();
    }
    return unit;
}

QString SystemdServicePlatform::userName(const QString& account)
{
    const QtServiceAccount resolved = QtServiceAccount::resolve(account, QString());
    if (resolved.localSystem) {
        return QStringLiteral("root");
    }
    QString user = resolved.account;
    if (user.startsWith(QLatin1String(".\\"))) {
        user = user.mid(2);
    }
    // Domain accounts do not exist here; a user name is what useradd accepts,
    // or a numeric user id.
    static const QRegularExpression valid(
        QStringLiteral("^(?:[A-Za-z_][A-Za-z0-9_.-]{0,30}\\$?|[0-9]{1,10})$"));
    if (!valid.match(user).hasMatch()) {
        return QString();
    }
    return user;
}

QByteArray SystemdServicePlatform::unitFileText(const QtServiceInstallRequest& request)
{
    const QString path = request.executablePath;
    if (path.isEmpty() || !QFileInfo(path).isAbsolute() || hasControlCharacters(path)) {
        return QByteArray();
    }
    const QString directory = QFileInfo(path).absolutePath();
    if (directory != directory.trimmed() || directory.endsWith(QLatin1Char('\\'))) {
        return QByteArray();
    }
    const QString user = userName(request.account);
    if (user.isEmpty()) {
        return QByteArray();
    }
    QString description = request.description.isEmpty() ? request.name : request.description;
    for (QChar& c : description) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            c = QLatin1Char(' ');
        }
    }
    description = description.trimmed();
    while (description.endsWith(QLatin1Char('\\'))) {
        description.chop(1);
    }

    const QHash<QString, QString> fields{
        {QStringLiteral("DESCRIPTION"), escapeSpecifiers(description)},
        {QStringLiteral("EXEC_START"), quoteCommandWord(path)},
        {QStringLiteral("WORKING_DIRECTORY"), escapeSpecifiers(directory)},
        {QStringLiteral("USER"), user},
    };
    return fillTemplate(QString::fromUtf8(unitTemplate()), fields).toUtf8();
}

QByteArray SystemdServicePlatform::unitTemplate()
{
    return QByteArray(SystemdUnitTemplate);
}

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

QByteArray SystemdServicePlatform::notifyText(const QtServiceStatus& status)
{
    switch (status.currentState) {
    case QtServiceState::StartPending:
        return "STATUS=Starting";
    case QtServiceState::Running:
        return "READY=1\nSTATUS=Running";
    case QtServiceState::StopPending:
        return "STOPPING=1\nSTATUS=Stopping";
    case QtServiceState::Stopped:
        return "STOPPING=1\nSTATUS=Stopped, exit code " +
               QByteArray::number(qint32(status.exitCode));
    case QtServiceState::PausePending:
        return "STATUS=Pausing";
    case QtServiceState::Paused:
        return "STATUS=Paused";
    case QtServiceState::ContinuePending:
        return "STATUS=Continuing";
    default:
        break;
    }
    return QByteArray();
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
    const QString unit = unitName(name);
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
    const QString unit = unitName(name);
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
    const QString unit = unitName(name);
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
    const QString unit = unitName(request.name);
    if (unit.isEmpty()) {
        setLastErrorText(QStringLiteral("the service name makes no unit name"));
        return false;
    }
    const QByteArray text = unitFileText(request);
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
    const QString unit = unitName(name);
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
    const QString unit = unitName(name);
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
    const QString unit = unitName(name);
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
    return activeStateAsStop(unitName(name));
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
    const QString unit = unitName(name);
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

    if (!ensureControlPipe() || !installSignalHandlers()) {
        if (errorText) {
            *errorText = qt_error_string(errno);
        }
        return DispatchResult::Failed;
    }
    drainControlPipe();

    callbacks->serviceMain(processArguments);

    // The manager's side: every control byte becomes a control request, until
    // the service reports that it stopped.
    for (;;) {
        struct pollfd fd;
        fd.fd = controlPipe[0];
        fd.events = POLLIN;
        fd.revents = 0;
        const int ready = ::poll(&fd, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        unsigned char byte = 0;
        const ssize_t n = ::read(controlPipe[0], &byte, 1);
        if (n != 1) {
            continue;
        }
        if (byte == 0) {
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
    return controlPipe[0] >= 0;
}

int SystemdServicePlatform::sendNotification(const QByteArray& text, int waitMs)
{
    const QByteArray name = qgetenv("NOTIFY_SOCKET");
    if (name.isEmpty()) {
        return 0;
    }
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if ((name.at(0) != '/' && name.at(0) != '@') || name.size() >= int(sizeof address.sun_path)) {
        return -EINVAL;
    }
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (name.at(0) == '@') {
        address.sun_path[0] = '\0'; // an abstract name
    }
    const socklen_t length =
        socklen_t(offsetof(struct sockaddr_un, sun_path) + size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    int flags = MSG_NOSIGNAL;
    if (waitMs > 0) {
        struct timeval timeout;
        timeout.tv_sec = waitMs / 1000;
        timeout.tv_usec = (waitMs % 1000) * 1000;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    } else {
        flags |= MSG_DONTWAIT;
    }
    const ssize_t sent = ::sendto(fd, text.constData(), size_t(text.size()), flags,
                                  reinterpret_cast<const struct sockaddr*>(&address), length);
    const int error = sent < 0 ? errno : 0;
    ::close(fd);
    return sent < 0 ? -error : 1;
}

void SystemdServicePlatform::notify(const QByteArray& text, int waitMs)
{
    const int result = sendNotification(text, waitMs);
    if (result >= 0) {
        return;
    }
    // Each kind once. The service goes on either way; a stop still ends it in
    // order.
    const QByteArray socket = qgetenv("NOTIFY_SOCKET");
    if (result == -EAGAIN || result == -EWOULDBLOCK) {
        if (!notifyBusyReported.exchange(true)) {
            qWarning("systemd does not read its notify socket %s: a notification was dropped",
                     socket.constData());
        }
    } else if (!notifyFailed.exchange(true)) {
        qWarning("systemd notify socket %s cannot be reached (%s): systemd does not learn "
                 "the state of the service",
                 socket.constData(), std::strerror(-result));
    }
}

void SystemdServicePlatform::reportStatus(const QtServiceStatus& status)
{
    QByteArray text;
    if (status.currentState == QtServiceState::Running) {
        QMutexLocker lock(&readinessMutex);
        if (ready) {
            text = "READY=1\nSTATUS=" + readyText;
        } else if (readinessDeferred) {
            text = "STATUS=Starting";
        }
    }
    if (text.isEmpty()) {
        text = notifyText(status);
    }
    if (!text.isEmpty()) {
        notify(text);
    }
    if (status.currentState == QtServiceState::Stopped) {
        writeControlByte(0);
    }
}

void SystemdServicePlatform::prepareApplication()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        return;
    }
    // Pinged from the main event loop, three times per watchdog interval: a
    // loop that stops turning stops the pings, and systemd ends the process.
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(int(qBound<uint64_t>(1, usec / 3000, 3600 * 1000)));
    // A ping never waits: when systemd's queue is full it is dropped, and the
    // next one follows a third of the interval later.
    QObject::connect(timer, &QTimer::timeout, timer, [this] { notify("WATCHDOG=1", 0); });
    timer->start();
    notify("WATCHDOG=1", 0);
}

void SystemdServicePlatform::setReadinessDeferred(bool deferred)
{
    QMutexLocker lock(&readinessMutex);
    readinessDeferred = deferred;
    ready = false;
    readyText.clear();
}

void SystemdServicePlatform::reportReady(const QString& statusText)
{
    QByteArray text;
    {
        QMutexLocker lock(&readinessMutex);
        ready = true;
        readyText = statusLine(statusText);
        text = "READY=1\nSTATUS=" + readyText;
    }
    notify(text);
}

void SystemdServicePlatform::reportStatusText(const QString& text)
{
    notify("STATUS=" + statusLine(text));
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
