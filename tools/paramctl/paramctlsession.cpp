#include "paramctlsession.h"

#include "paramctlformat.h"
#include "rpcnames.h"
#include "rpcpeer.h"

#include <QFile>
#include <QTextStream>

namespace {

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

} // namespace

ParamCtlSession::ParamCtlSession(const ParamCtlOptions& options, QTextStream& out, QTextStream& err,
                                 QObject* parent)
    : QObject(parent), options(options), out(out), err(err)
{
    replyTimer.setSingleShot(true);
    connect(&replyTimer, &QTimer::timeout, this, &ParamCtlSession::onTimeout);
    watchTimer.setSingleShot(true);
    connect(&watchTimer, &QTimer::timeout, this, &ParamCtlSession::onWatchSeconds);
}

void ParamCtlSession::start()
{
    using Command = ParamCtlOptions::Command;
    if (options.command == Command::Schedule) {
        QFile file(options.file);
        if (!file.open(QIODevice::ReadOnly)) {
            finish(FileError,
                   QStringLiteral("cannot read %1: %2").arg(options.file, file.errorString()));
            return;
        }
        newParams = file.readAll();
    }

    peer = new RpcPeer(this);
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
    if (options.command == Command::Watch) {
        peer->attachSlot(RpcMessage::SysLogMessage, this, SLOT(sysLogMessage(QString)));
        peer->attachSlot(RpcMessage::NewUooState, this, SLOT(newUooState(UooDescriptor)));
        peer->attachSlot(RpcMessage::UooRemoved, this, SLOT(uooRemoved(UooDescriptor)));
        peer->attachSlot(RpcMessage::NewParamsState, this, SLOT(newParamsState(quint32)));
    }

    stage = Stage::Connecting;
    expectReply();
    peer->connectToServer(options.host, options.port);
}

void ParamCtlSession::interrupt()
{
    if (stage == Stage::Done) {
        return;
    }
    if (stage == Stage::Running && options.command == ParamCtlOptions::Command::Watch) {
        finish(Success);
        return;
    }
    finish(Interrupted, QStringLiteral("interrupted"));
}

void ParamCtlSession::expectReply()
{
    replyTimer.start(options.timeoutSeconds * 1000);
}

void ParamCtlSession::onConnected()
{
    if (stage != Stage::Connecting) {
        return;
    }
    stage = Stage::LoggingIn;
    VemoRpcCredentials credentials;
    credentials.login = options.login;
    credentials.password = options.password;
    peer->call(RpcMessage::Login, QVariant::fromValue(credentials));
    expectReply();
}

void ParamCtlSession::onServerError(QAbstractSocket::SocketError error)
{
    if (stage == Stage::Connecting) {
        finish(ConnectFailed, QStringLiteral("cannot connect to %1:%2: %3")
                                  .arg(options.host)
                                  .arg(options.port)
                                  .arg(socketErrorText(error)));
    }
}

void ParamCtlSession::onDisconnected()
{
    switch (stage) {
    case Stage::LoggingIn:
        finish(ConnectionClosed,
               QStringLiteral("the server closed the connection without answering the login "
                              "(a login for the same name less than a second before, or too "
                              "many failed logins)"));
        break;
    case Stage::Running:
        finish(ConnectionClosed,
               options.command == ParamCtlOptions::Command::Watch
                   ? QStringLiteral("the server closed the connection")
                   : QStringLiteral("the server closed the connection without a reply (is the "
                                    "permission for this command missing?)"));
        break;
    case Stage::Connecting:
        finish(ConnectFailed, QStringLiteral("cannot connect to %1:%2: closed by the server")
                                  .arg(options.host)
                                  .arg(options.port));
        break;
    default:
        break;
    }
}

void ParamCtlSession::onTimeout()
{
    switch (stage) {
    case Stage::Connecting:
        finish(ConnectFailed, QStringLiteral("cannot connect to %1:%2: no connection within %3 s")
                                  .arg(options.host)
                                  .arg(options.port)
                                  .arg(options.timeoutSeconds));
        break;
    case Stage::LoggingIn:
        finish(TimedOut,
               QStringLiteral("no answer to the login within %1 s").arg(options.timeoutSeconds));
        break;
    case Stage::Running:
        finish(TimedOut, QStringLiteral("no reply within %1 s").arg(options.timeoutSeconds));
        break;
    default:
        break;
    }
}

void ParamCtlSession::onWatchSeconds()
{
    if (stage == Stage::Running) {
        finish(Success);
    }
}

void ParamCtlSession::loginResult(QString text, QList<uchar> permissions)
{
    if (stage != Stage::LoggingIn) {
        return;
    }
    replyTimer.stop();
    if (text != RpcResult::LoginOk) {
        finish(LoginRefused, QStringLiteral("login refused for %1 (%2)").arg(options.login, text));
        return;
    }
    Q_UNUSED(permissions);
    stage = Stage::Running;
    sendCommand();
}

void ParamCtlSession::sendCommand()
{
    using Command = ParamCtlOptions::Command;
    const QVariant account = QVariant::fromValue(options.account);
    switch (options.command) {
    case Command::Users:
        peer->call(RpcMessage::GetClients);
        break;
    case Command::AddUser:
        peer->call(RpcMessage::ClientOperation, RpcOperation::AddClient, account,
                   options.accountPassword);
        break;
    case Command::ModUser:
        peer->call(RpcMessage::ClientOperation, RpcOperation::ModifyClient, account);
        break;
    case Command::DelUser:
        peer->call(RpcMessage::ClientOperation, RpcOperation::DelClient, account);
        break;
    case Command::Devices:
        peer->call(RpcMessage::LoadUooState);
        break;
    case Command::Params:
        peer->call(RpcMessage::LoadParamsState, QVariant::fromValue(options.uoo));
        break;
    case Command::Schedule:
    case Command::Cancel: {
        UooRParamsDesc record;
        record.uoo = options.uoo;
        const bool schedule = options.command == Command::Schedule;
        if (schedule) {
            record.localparams = newParams;
            record.localtime = options.time.isValid() ? options.time : QDateTime::currentDateTime();
        }
        peer->call(RpcMessage::UooParamsOperation,
                   schedule ? RpcOperation::SendNewParams : RpcOperation::CancelNewParams,
                   QVariant::fromValue(options.uoo), QVariant::fromValue(record));
        break;
    }
    case Command::Guard: {
        UooDescriptor descriptor;
        descriptor.uoo = options.uoo;
        peer->call(RpcMessage::UooOperation, RpcOperation::ChangeUooGuardState,
                   QVariant::fromValue(descriptor));
        break;
    }
    case Command::Watch:
        // No reply to wait for; only the optional limit.
        if (options.watchSeconds > 0) {
            watchTimer.start(options.watchSeconds * 1000);
        }
        return;
    case Command::None:
        finish(BadUsage, QStringLiteral("no command"));
        return;
    }
    expectReply();
}

static bool isCommand(const ParamCtlOptions& options, ParamCtlOptions::Command command)
{
    return options.command == command;
}

void ParamCtlSession::clientsList(QList<VemoRpcClient> clients)
{
    if (stage != Stage::Running || !isCommand(options, ParamCtlOptions::Command::Users)) {
        return;
    }
    for (const VemoRpcClient& client : qAsConst(clients)) {
        printLine(ParamCtlFormat::client(client));
    }
    finish(Success);
}

void ParamCtlSession::clientOperationResult(QString result)
{
    using Command = ParamCtlOptions::Command;
    if (stage == Stage::Running &&
        (isCommand(options, Command::AddUser) || isCommand(options, Command::ModUser) ||
         isCommand(options, Command::DelUser))) {
        printResult(result);
    }
}

void ParamCtlSession::uooStateResult(QList<UooDescriptor> descriptors)
{
    if (stage != Stage::Running || !isCommand(options, ParamCtlOptions::Command::Devices)) {
        return;
    }
    for (const UooDescriptor& descriptor : qAsConst(descriptors)) {
        printLine(ParamCtlFormat::descriptor(descriptor));
    }
    finish(Success);
}

void ParamCtlSession::paramsStateResult(UooRParamsDesc params)
{
    if (stage != Stage::Running || !isCommand(options, ParamCtlOptions::Command::Params)) {
        return;
    }
    printLine(ParamCtlFormat::params(params));
    if (!options.saveFile.isEmpty()) {
        QFile file(options.saveFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(params.uooparams) != params.uooparams.size() || !file.flush()) {
            finish(FileError,
                   QStringLiteral("cannot write %1: %2").arg(options.saveFile, file.errorString()));
            return;
        }
    }
    finish(Success);
}

void ParamCtlSession::paramsOperationResult(QString result)
{
    using Command = ParamCtlOptions::Command;
    if (stage == Stage::Running &&
        (isCommand(options, Command::Schedule) || isCommand(options, Command::Cancel))) {
        printResult(result);
    }
}

void ParamCtlSession::uooOperationResult(QString result)
{
    if (stage == Stage::Running && isCommand(options, ParamCtlOptions::Command::Guard)) {
        printResult(result);
    }
}

void ParamCtlSession::sysLogMessage(QString line)
{
    // Log lines end with a line break of their own.
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) {
        line.chop(1);
    }
    watchLine(RpcMessage::SysLogMessage, ParamCtlFormat::escape(line));
}

void ParamCtlSession::newUooState(UooDescriptor descriptor)
{
    watchLine(RpcMessage::NewUooState, ParamCtlFormat::descriptor(descriptor));
}

void ParamCtlSession::uooRemoved(UooDescriptor descriptor)
{
    watchLine(RpcMessage::UooRemoved, ParamCtlFormat::descriptor(descriptor));
}

void ParamCtlSession::newParamsState(quint32 uoo)
{
    watchLine(RpcMessage::NewParamsState, QStringLiteral("uoo=%1").arg(uoo));
}

void ParamCtlSession::watchLine(const QString& name, const QString& text)
{
    // Messages that come before the login is through are printed as well: the
    // server sends them to every connection.
    if (stage == Stage::Done) {
        return;
    }
    printLine(name + QLatin1Char('\t') + text);
    ++watched;
    if (options.watchCount > 0 && watched >= options.watchCount) {
        finish(Success);
    }
}

void ParamCtlSession::printLine(const QString& line)
{
    out << line << '\n';
    out.flush();
}

void ParamCtlSession::printResult(const QString& result)
{
    printLine(result);
    if (result == QLatin1String("OK")) {
        finish(Success);
    } else {
        finish(OperationFailed, QStringLiteral("%1 failed: %2")
                                    .arg(ParamCtlOptions::commandName(options.command), result));
    }
}

void ParamCtlSession::finish(int code, const QString& message)
{
    if (stage == Stage::Done) {
        return;
    }
    stage = Stage::Done;
    replyTimer.stop();
    watchTimer.stop();
    if (!message.isEmpty()) {
        err << "paramctl: " << message << '\n';
        err.flush();
    }
    if (peer) {
        peer->disconnectFromServer();
    }
    emit finished(code);
}
