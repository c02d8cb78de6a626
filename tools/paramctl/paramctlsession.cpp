#include "paramctlsession.h"

#include "paramctlbatch.h"
#include "paramctlformat.h"
#include "rpcnames.h"
#include "rpcpeer.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

namespace {

using Command = ParamCtlCommand::Command;

QString socketErrorText(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("host not found");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("timed out");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("network error");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("closed by the server");
    default:
        return QStringLiteral("socket error %1").arg(int(error));
    }
}

// The server's log line when a login name failed too often in a row; the next
// attempt would start counting again, so it is not retried.
const QString LoginLimitLine = QStringLiteral("Превышен лимит попыток логина для клиента");

bool namesLoginLimit(const QString& line, const QString& login)
{
    const int at = line.indexOf(LoginLimitLine);
    if (at < 0) {
        return false;
    }
    const QString rest = line.mid(at + LoginLimitLine.size());
    return rest.startsWith(QLatin1Char(' ') + login + QLatin1Char(' ')) ||
           rest.startsWith(QLatin1String("  ") + login + QLatin1Char(' ')) ||
           rest.startsWith(QLatin1Char(' ') + login + QLatin1Char(','));
}

} // namespace

ParamCtlSession::ParamCtlSession(const ParamCtlOptions& options, QTextStream& out, QTextStream& err,
                                 QObject* parent)
    : QObject(parent), options(options), out(out), err(err)
{
    replyTimer.setSingleShot(true);
    connect(&replyTimer, &QTimer::timeout, this, &ParamCtlSession::onTimeout);
    watchTimer.setSingleShot(true);
    connect(&watchTimer, &QTimer::timeout, this, &ParamCtlSession::onWatchSeconds);
    // Lines are written out once the input at hand is handled: one write for a
    // burst of pushes instead of one per line.
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(0);
    connect(&flushTimer, &QTimer::timeout, this, [this] { this->out.flush(); });
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &ParamCtlSession::onRetryDelay);
}

void ParamCtlSession::start()
{
    if (!prepare()) {
        return;
    }
    openConnection();
}

bool ParamCtlSession::prepare()
{
    if (options.batchFile.isEmpty()) {
        commands = {options};
    } else {
        QString text;
        QString error;
        if (!ParamCtlBatch::read(options.batchFile, &text, &error)) {
            finish(ParamCtlExitCode::FileError, error);
            return false;
        }
        if (!ParamCtlBatch::parse(text, source(), &commands, &error)) {
            finish(ParamCtlExitCode::BadBatchLine, error);
            return false;
        }
    }
    // Everything is checked, and every file read, before anything is sent.
    // A set file named on many lines is read once and held once.
    int firstBad = ParamCtlExitCode::Success;
    QHash<QString, QByteArray> sets;
    qint64 setBytes = 0;
    int devices = 0;
    for (ParamCtlCommand& command : commands) {
        const int known = sets.size();
        if (command.error.isEmpty() && command.load(&sets)) {
            setBytes += sets.size() > known ? command.newParams.size() : 0;
            devices += command.uoos.size();
            if (setBytes > ParamCtlCommand::MaxBatchSetBytes) {
                command.error = QStringLiteral("the set files of the batch together are larger "
                                               "than %1 bytes")
                                    .arg(ParamCtlCommand::MaxBatchSetBytes);
                command.errorCode = ParamCtlExitCode::FileError;
            } else if (devices > ParamCtlCommand::MaxBatchDevices) {
                command.error = QStringLiteral("the device lists of the batch name more than %1 "
                                               "devices together")
                                    .arg(ParamCtlCommand::MaxBatchDevices);
                command.errorCode = ParamCtlExitCode::BadDeviceList;
            }
            if (!command.error.isEmpty()) {
                command.uoos.clear();
                command.newParams.clear();
            }
        }
        if (!command.error.isEmpty() && command.line > 0 &&
            !command.error.startsWith(source() + QLatin1Char(':'))) {
            command.error.prepend(QStringLiteral("%1:%2: ").arg(source()).arg(command.line));
        }
        if (!command.error.isEmpty() && firstBad == ParamCtlExitCode::Success) {
            firstBad = command.errorCode;
        }
    }
    if (firstBad != ParamCtlExitCode::Success && !options.keepGoing) {
        for (const ParamCtlCommand& command : qAsConst(commands)) {
            if (!command.error.isEmpty()) {
                reportError(command.error);
            }
        }
        if (commands.size() > 1) {
            reportError(QStringLiteral("nothing was sent"));
        }
        finish(firstBad);
        return false;
    }
    // With --keep-going, bad commands are reported in their turn; a batch
    // without any good one needs no connection.
    bool anyGood = false;
    for (const ParamCtlCommand& command : qAsConst(commands)) {
        anyGood = anyGood || command.error.isEmpty();
    }
    if (!anyGood) {
        for (const ParamCtlCommand& command : qAsConst(commands)) {
            reportError(command.error);
        }
        finish(firstBad);
        return false;
    }
    return true;
}

QString ParamCtlSession::source() const
{
    return options.batchFile == QLatin1String("-") ? QStringLiteral("standard input")
                                                   : options.batchFile;
}

QString ParamCtlSession::where() const
{
    const int line = commands.value(qMax(current, 0)).line;
    return line > 0 ? QStringLiteral("%1:%2: ").arg(source()).arg(line) : QString();
}

void ParamCtlSession::openConnection()
{
    if (peer) {
        peer->disconnect(this);
        peer->deleteLater();
    }
    peer = new RpcPeer(this);
    // The device list of a large fleet is one frame of about 60 bytes a device.
    peer->setMaxFrameBody(MaxReplyFrame);
    connect(peer, &RpcPeer::connectedToServer, this, &ParamCtlSession::onConnected);
    connect(peer, &RpcPeer::serverError, this, &ParamCtlSession::onServerError);
    connect(peer, &RpcPeer::disconnectedFromServer, this, &ParamCtlSession::onDisconnected);

    peer->attachSlot(RpcMessage::LoginResult, this, SLOT(loginResult(QString, QList<uchar>)));
    peer->attachSlot(RpcMessage::ClientsList, this, SLOT(clientsList(QList<VemoRpcClient>)));
    peer->attachSlot(RpcMessage::ClientOperationResult, this, SLOT(clientOperationResult(QString)));
    peer->attachSlot(RpcMessage::LoadUooStateResult, this,
                     SLOT(uooStateResult(QList<UooDescriptor>)));
    peer->attachSlot(RpcMessage::LoadParamsStateResult, this,
                     SLOT(paramsStateResult(UooRParamsDesc)));
    peer->attachSlot(RpcMessage::UooParamsOperationResult, this,
                     SLOT(paramsOperationResult(QString)));
    peer->attachSlot(RpcMessage::UooOperationResult, this, SLOT(uooOperationResult(QString)));
    peer->attachSlot(RpcMessage::SysLogMessage, this, SLOT(sysLogMessage(QString)));
    peer->attachSlot(RpcMessage::NewUooState, this, SLOT(newUooState(UooDescriptor)));
    peer->attachSlot(RpcMessage::UooRemoved, this, SLOT(uooRemoved(UooDescriptor)));
    peer->attachSlot(RpcMessage::NewParamsState, this, SLOT(newParamsState(quint32)));

    stage = Stage::Connecting;
    replyTimer.start(options.timeoutSeconds * 1000);
    peer->connectToServer(options.host, options.port);
}

void ParamCtlSession::interrupt()
{
    if (stage == Stage::Done) {
        return;
    }
    if (stage == Stage::Running && command().command == Command::Watch) {
        finish(firstFailure);
        return;
    }
    finish(ParamCtlExitCode::Interrupted, QStringLiteral("interrupted"));
}

void ParamCtlSession::onConnected()
{
    if (stage != Stage::Connecting) {
        return;
    }
    stage = Stage::LoggingIn;
    ++loginAttempts;
    VemoRpcCredentials credentials;
    credentials.login = options.login;
    credentials.password = options.password;
    peer->call(RpcMessage::Login, QVariant::fromValue(credentials));
    replyTimer.start(options.timeoutSeconds * 1000);
}

void ParamCtlSession::onServerError(QAbstractSocket::SocketError error)
{
    if (stage == Stage::Connecting) {
        finish(ParamCtlExitCode::ConnectFailed, QStringLiteral("cannot connect to %1:%2: %3")
                                                    .arg(options.host)
                                                    .arg(options.port)
                                                    .arg(socketErrorText(error)));
    }
}

void ParamCtlSession::onDisconnected()
{
    switch (stage) {
    case Stage::LoggingIn:
        // Most likely a login under the same name less than a second ago: wait
        // that out and try again on a new connection.
        if (!loginLimitReported && loginAttempts <= options.loginRetries) {
            stage = Stage::WaitingToRetry;
            replyTimer.stop();
            retryTimer.start(LoginRetryDelayMs);
            return;
        }
        finish(ParamCtlExitCode::ConnectionClosed,
               loginLimitReported
                   ? QStringLiteral("the server closed the connection without answering the "
                                    "login: too many failed logins for %1")
                         .arg(options.login)
                   : QStringLiteral("the server closed the connection without answering the "
                                    "login, %1 times (a login for the same name less than a "
                                    "second before each, or too many failed logins)")
                         .arg(loginAttempts));
        break;
    case Stage::Running:
        finish(ParamCtlExitCode::ConnectionClosed,
               command().command == Command::Watch
                   ? QStringLiteral("the server closed the connection")
                   : QStringLiteral("the server closed the connection without a reply (is the "
                                    "permission for this command missing?)"));
        break;
    case Stage::Connecting:
        finish(ParamCtlExitCode::ConnectFailed,
               QStringLiteral("cannot connect to %1:%2: closed by the server")
                   .arg(options.host)
                   .arg(options.port));
        break;
    default:
        break;
    }
}

void ParamCtlSession::onRetryDelay()
{
    if (stage == Stage::WaitingToRetry) {
        openConnection();
    }
}

void ParamCtlSession::onTimeout()
{
    switch (stage) {
    case Stage::Connecting:
        finish(ParamCtlExitCode::ConnectFailed,
               QStringLiteral("cannot connect to %1:%2: no connection within %3 s")
                   .arg(options.host)
                   .arg(options.port)
                   .arg(options.timeoutSeconds));
        break;
    case Stage::LoggingIn:
        finish(ParamCtlExitCode::TimedOut,
               QStringLiteral("no answer to the login within %1 s").arg(options.timeoutSeconds));
        break;
    case Stage::Running:
        finish(ParamCtlExitCode::TimedOut,
               QStringLiteral("no reply within %1 s").arg(options.timeoutSeconds));
        break;
    default:
        break;
    }
}

void ParamCtlSession::onWatchSeconds()
{
    if (stage == Stage::Running && command().command == Command::Watch) {
        commandDone(ParamCtlExitCode::Success);
    }
}

void ParamCtlSession::loginResult(QString text, QList<uchar> permissions)
{
    if (stage != Stage::LoggingIn) {
        return;
    }
    replyTimer.stop();
    if (text != RpcResult::LoginOk) {
        finish(ParamCtlExitCode::LoginRefused,
               QStringLiteral("login refused for %1 (%2)").arg(options.login, text));
        return;
    }
    Q_UNUSED(permissions);
    stage = Stage::Running;
    startCommand();
}

void ParamCtlSession::startCommand()
{
    // Commands that failed their checks (run with --keep-going) are reported in
    // their turn and skipped.
    for (;;) {
        ++current;
        if (current >= commands.size()) {
            finish(firstFailure);
            return;
        }
        if (command().error.isEmpty()) {
            break;
        }
        reportError(command().error);
        if (firstFailure == ParamCtlExitCode::Success) {
            firstFailure = command().errorCode;
        }
    }
    nextDevice = 0;
    stamp = QDateTime::currentDateTime(); // one time stamp for every device of a list
    outstanding = 0;
    failedDevices = 0;
    watched = 0;
    lastResult.clear();

    const ParamCtlCommand& c = command();
    const QVariant account = QVariant::fromValue(c.account);
    switch (c.command) {
    case Command::Users:
        send(RpcMessage::ClientsList, 0, RpcMessage::GetClients);
        break;
    case Command::AddUser:
        send(RpcMessage::ClientOperationResult, 0, RpcMessage::ClientOperation,
             RpcOperation::AddClient, account, c.accountPassword);
        break;
    case Command::ModUser:
        send(RpcMessage::ClientOperationResult, 0, RpcMessage::ClientOperation,
             RpcOperation::ModifyClient, account);
        break;
    case Command::DelUser:
        send(RpcMessage::ClientOperationResult, 0, RpcMessage::ClientOperation,
             RpcOperation::DelClient, account);
        break;
    case Command::Devices:
    case Command::Summary:
        send(RpcMessage::LoadUooStateResult, 0, RpcMessage::LoadUooState);
        break;
    case Command::Params:
    case Command::Schedule:
    case Command::Cancel:
        sendDeviceRequests();
        break;
    case Command::Guard: {
        UooDescriptor descriptor;
        descriptor.uoo = c.uoo;
        send(RpcMessage::UooOperationResult, c.uoo, RpcMessage::UooOperation,
             RpcOperation::ChangeUooGuardState, QVariant::fromValue(descriptor));
        break;
    }
    case Command::Watch:
        // No reply to wait for; only the optional limit.
        if (c.watchSeconds > 0) {
            watchTimer.start(c.watchSeconds * 1000);
        }
        break;
    case Command::None:
        finish(ParamCtlExitCode::BadUsage, QStringLiteral("no command"));
        return;
    }
    updateReplyTimer();
}

void ParamCtlSession::sendDeviceRequests()
{
    const ParamCtlCommand& c = command();
    while (outstanding < Window && nextDevice < c.uoos.size()) {
        const quint32 uoo = c.uoos.at(nextDevice++);
        if (c.command == Command::Params) {
            send(RpcMessage::LoadParamsStateResult, uoo, RpcMessage::LoadParamsState,
                 QVariant::fromValue(uoo));
            continue;
        }
        UooRParamsDesc record;
        record.uoo = uoo;
        const bool schedule = c.command == Command::Schedule;
        if (schedule) {
            record.localparams = c.newParams;
            record.localtime = c.time.isValid() ? c.time : stamp;
        }
        send(RpcMessage::UooParamsOperationResult, uoo, RpcMessage::UooParamsOperation,
             schedule ? RpcOperation::SendNewParams : RpcOperation::CancelNewParams,
             QVariant::fromValue(uoo), QVariant::fromValue(record));
    }
}

void ParamCtlSession::send(const QString& reply, quint32 uoo, const QString& fn, const QVariant& p1,
                           const QVariant& p2, const QVariant& p3)
{
    inFlight.enqueue({reply, current, uoo});
    ++outstanding;
    peer->call(fn, p1, p2, p3);
}

bool ParamCtlSession::takeReply(const QString& reply, Pending* pending)
{
    if (stage != Stage::Running || inFlight.isEmpty() || inFlight.head().reply != reply) {
        return false; // nothing asked for it
    }
    *pending = inFlight.dequeue();
    if (pending->command != current) {
        return false; // the answer to a command that has ended
    }
    --outstanding;
    updateReplyTimer();
    return true;
}

void ParamCtlSession::updateReplyTimer()
{
    if (outstanding > 0) {
        replyTimer.start(options.timeoutSeconds * 1000);
    } else {
        replyTimer.stop();
    }
}

void ParamCtlSession::deviceDone(quint32 uoo, const QString& result)
{
    const ParamCtlCommand& c = command();
    if (result != RpcResult::Ok) {
        ++failedDevices;
        lastResult = result;
    }
    if (c.isList()) {
        if (c.command != Command::Params || result != RpcResult::Ok) {
            printRecord(ParamCtlRecord().number(QStringLiteral("uoo"), uoo).text("result", result));
        }
    } else if (c.command != Command::Params) {
        printResult(result);
    }
    if (c.command == Command::Params || c.command == Command::Schedule ||
        c.command == Command::Cancel) {
        sendDeviceRequests();
    }
    if (outstanding > 0 || stage != Stage::Running) {
        return;
    }
    if (failedDevices == 0) {
        commandDone(ParamCtlExitCode::Success);
    } else if (c.isList()) {
        commandDone(ParamCtlExitCode::OperationFailed,
                    QStringLiteral("%1: %2 of %3 devices failed")
                        .arg(ParamCtlCommand::commandName(c.command))
                        .arg(failedDevices)
                        .arg(c.uoos.size()));
    } else {
        commandDone(ParamCtlExitCode::OperationFailed,
                    QStringLiteral("%1 failed: %2")
                        .arg(ParamCtlCommand::commandName(c.command), lastResult));
    }
}

void ParamCtlSession::commandDone(int code, const QString& message)
{
    watchTimer.stop();
    if (code != ParamCtlExitCode::Success) {
        if (!message.isEmpty()) {
            reportError(where() + message);
        }
        if (firstFailure == ParamCtlExitCode::Success) {
            firstFailure = code;
        }
        if (!options.keepGoing) {
            finish(code);
            return;
        }
    }
    startCommand();
}

bool ParamCtlSession::watching() const
{
    // Messages that come before the login is through are printed as well: the
    // server sends them to every connection.
    if (stage == Stage::LoggingIn || stage == Stage::Connecting) {
        return commands.value(0).command == Command::Watch;
    }
    return stage == Stage::Running && command().command == Command::Watch;
}

void ParamCtlSession::clientsList(QList<VemoRpcClient> clients)
{
    Pending pending;
    if (!takeReply(RpcMessage::ClientsList, &pending)) {
        return;
    }
    for (const VemoRpcClient& client : qAsConst(clients)) {
        printRecord(ParamCtlFormat::clientRecord(client));
    }
    commandDone(ParamCtlExitCode::Success);
}

void ParamCtlSession::clientOperationResult(QString result)
{
    Pending pending;
    if (!takeReply(RpcMessage::ClientOperationResult, &pending)) {
        return;
    }
    deviceDone(0, result);
}

void ParamCtlSession::uooStateResult(QList<UooDescriptor> descriptors)
{
    Pending pending;
    if (!takeReply(RpcMessage::LoadUooStateResult, &pending)) {
        return;
    }
    if (command().command == Command::Summary) {
        int online = 0;
        for (const UooDescriptor& descriptor : qAsConst(descriptors)) {
            if (descriptor.status & UooDescriptor::StatusOnline) {
                ++online;
            }
        }
        printRecord(ParamCtlRecord()
                        .number(QStringLiteral("known"), descriptors.size())
                        .number(QStringLiteral("online"), online)
                        .number(QStringLiteral("offline"), descriptors.size() - online));
    } else {
        for (const UooDescriptor& descriptor : qAsConst(descriptors)) {
            printRecord(ParamCtlFormat::descriptorRecord(descriptor));
        }
    }
    commandDone(ParamCtlExitCode::Success);
}

void ParamCtlSession::paramsStateResult(UooRParamsDesc params)
{
    Pending pending;
    if (!takeReply(RpcMessage::LoadParamsStateResult, &pending)) {
        return;
    }
    const ParamCtlCommand& c = command();
    if (c.command == Command::Watch) {
        watchLine(RpcMessage::NewParamsState, ParamCtlFormat::paramsRecord(params));
        return;
    }
    if (!c.isList()) {
        printRecord(ParamCtlFormat::paramsRecord(params));
        if (!c.saveFile.isEmpty() && !saveSet(c.saveFile, params.uooparams)) {
            return;
        }
        if (!c.saveDir.isEmpty() && params.uoo == pending.uoo &&
            !saveSet(QDir(c.saveDir).filePath(QStringLiteral("%1.bin").arg(pending.uoo)),
                     params.uooparams)) {
            return;
        }
        deviceDone(pending.uoo, RpcResult::Ok);
        return;
    }
    // The server answers a default record (UOO 0) for a device it does not know.
    if (params.uoo != pending.uoo) {
        deviceDone(pending.uoo, RpcResult::UooNotFound);
        return;
    }
    printRecord(ParamCtlRecord()
                    .number(QStringLiteral("uoo"), pending.uoo)
                    .text(QStringLiteral("result"), RpcResult::Ok)
                    .append(ParamCtlFormat::paramsRecord(params).without(QStringLiteral("uoo"))));
    if (!c.saveDir.isEmpty() &&
        !saveSet(QDir(c.saveDir).filePath(QStringLiteral("%1.bin").arg(pending.uoo)),
                 params.uooparams)) {
        return;
    }
    deviceDone(pending.uoo, RpcResult::Ok);
}

bool ParamCtlSession::saveSet(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        // A local failure: the next devices would most likely meet it as well.
        finish(ParamCtlExitCode::FileError,
               where() + QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

void ParamCtlSession::paramsOperationResult(QString result)
{
    Pending pending;
    if (takeReply(RpcMessage::UooParamsOperationResult, &pending)) {
        deviceDone(pending.uoo, result);
    }
}

void ParamCtlSession::uooOperationResult(QString result)
{
    Pending pending;
    if (takeReply(RpcMessage::UooOperationResult, &pending)) {
        deviceDone(pending.uoo, result);
    }
}

void ParamCtlSession::sysLogMessage(QString line)
{
    if (stage == Stage::LoggingIn && namesLoginLimit(line, options.login)) {
        loginLimitReported = true;
    }
    if (!watching()) {
        return;
    }
    // Log lines end with a line break of their own.
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) {
        line.chop(1);
    }
    const QString name = RpcMessage::SysLogMessage;
    if (options.json) {
        printLine(ParamCtlRecord()
                      .text(QStringLiteral("message"), name)
                      .text(QStringLiteral("text"), line)
                      .json());
    } else {
        printLine(name + QLatin1Char('\t') + ParamCtlRecord::escape(line));
    }
    watchPrinted();
}

void ParamCtlSession::newUooState(UooDescriptor descriptor)
{
    if (watching()) {
        watchLine(RpcMessage::NewUooState, ParamCtlFormat::descriptorRecord(descriptor));
    }
}

void ParamCtlSession::uooRemoved(UooDescriptor descriptor)
{
    if (watching()) {
        watchLine(RpcMessage::UooRemoved, ParamCtlFormat::descriptorRecord(descriptor));
    }
}

void ParamCtlSession::newParamsState(quint32 uoo)
{
    if (!watching()) {
        return;
    }
    if (stage == Stage::Running && command().watchParams && inFlight.size() < MaxWatchLookups) {
        // Asked after the message came, the record holds at least that change.
        send(RpcMessage::LoadParamsStateResult, uoo, RpcMessage::LoadParamsState,
             QVariant::fromValue(uoo));
        updateReplyTimer();
        return;
    }
    watchLine(RpcMessage::NewParamsState, ParamCtlRecord().number(QStringLiteral("uoo"), uoo));
}

void ParamCtlSession::watchLine(const QString& name, const ParamCtlRecord& record)
{
    if (options.json) {
        printLine(ParamCtlRecord().text(QStringLiteral("message"), name).append(record).json());
    } else {
        printLine(name + QLatin1Char('\t') + record.tsv());
    }
    watchPrinted();
}

void ParamCtlSession::watchPrinted()
{
    ++watched;
    const int limit = commands.value(qMax(current, 0)).watchCount;
    if (limit > 0 && watched >= limit) {
        if (stage == Stage::Running) {
            commandDone(ParamCtlExitCode::Success);
        } else {
            finish(ParamCtlExitCode::Success);
        }
    }
}

void ParamCtlSession::printLine(const QString& line)
{
    out << line << '\n';
    if (!flushTimer.isActive()) {
        flushTimer.start();
    }
}

void ParamCtlSession::printRecord(const ParamCtlRecord& record)
{
    printLine(record.line(options.json));
}

void ParamCtlSession::printResult(const QString& result)
{
    if (options.json) {
        printRecord(ParamCtlRecord().text(QStringLiteral("result"), result));
    } else {
        printLine(result);
    }
}

void ParamCtlSession::reportError(const QString& message)
{
    // What was printed before the error comes before it.
    out.flush();
    err << "paramctl: " << message << '\n';
    err.flush();
}

void ParamCtlSession::finish(int code, const QString& message)
{
    if (stage == Stage::Done) {
        return;
    }
    stage = Stage::Done;
    replyTimer.stop();
    watchTimer.stop();
    retryTimer.stop();
    flushTimer.stop();
    out.flush();
    if (!message.isEmpty()) {
        reportError(message);
    }
    if (peer) {
        peer->disconnectFromServer();
    }
    emit finished(code);
}
