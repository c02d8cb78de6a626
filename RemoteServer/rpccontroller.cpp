#include "rpccontroller.h"

#include "devicelistreplies.h"
#include "descriptorlimit.h"
#include "irpcbackend.h"
#include "rpcaccountstore.h"
#include "logratelimiter.h"
#include "peertext.h"
#include "rpcauthmanager.h"
#include "rpcnames.h"
#include "rpcpermissions.h"
#include "uoodescriptorsnapshot.h"
#include "servicecounters.h"
#include "vemorpcpeer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QTimer>

namespace {

// Client-sent text as it goes into a log line: never more than a short prefix, so
// that one frame cannot make a log line (and its copy to every workstation) huge.
QString clip(const QString& text)
{
    if (text.size() <= RpcController::MaxLoggedText) {
        return text;
    }
    return text.left(RpcController::MaxLoggedText) + QStringLiteral("...");
}

} // namespace

RpcController::RpcController(IRpcBackend* backend, AccountStore* accounts, QObject* parent,
                             Clock* clock)
    : QObject(parent), backend(backend), accounts(accounts), clock(clock ? clock : Clock::system()),
      logins(new RpcAuthManager(this)), disconnectTimer(new QTimer(this)),
      diagnostics(new LogRateLimiter(this, this->clock)),
      deviceLists(new DeviceListReplies(QStringLiteral("RPC_LOAD_UOOSTATE_RESULT"), this)),
      verifier(new PasswordVerifier(PasswordHash::interactive(), this))
{
    connect(verifier, &PasswordVerifier::finished, this, &RpcController::passwordJobFinished);
    disconnectTimer->setSingleShot(true);
    disconnectTimer->setInterval(1);
    connect(disconnectTimer, &QTimer::timeout, this, &RpcController::disconnectImpl);
}

RpcController::~RpcController()
{
    // The owner may be half destroyed by now: close the peer without calling back.
    releasePeer();
}

RpcPeer::Limits RpcController::serverLimits(int maxClients, long descriptorLimit)
{
    RpcPeer::Limits limits;
    limits.maxClients = maxClients > 0 ? maxClients : DefaultMaxClients;
    if (descriptorLimit > 0) {
        // Refused connections must still find a descriptor to be accepted and closed.
        const long fit = qMax(1L, descriptorLimit - DescriptorReserve);
        limits.maxClients = static_cast<int>(qMin<long>(limits.maxClients, fit));
    }
    limits.maxFrameBody = MaxFrameAfterLogin;
    limits.maxUntrustedFrameBody = MaxFrameBeforeLogin;
    limits.maxPendingOutput = MaxOutputAfterLogin;
    limits.maxUntrustedPendingOutput = MaxOutputBeforeLogin;
    limits.maxTotalPendingOutput = MaxTotalOutput;
    limits.partialFrameTimeoutMs = PartialFrameTimeoutMs;
    limits.loginTimeoutMs = LoginTimeoutMs;
    return limits;
}

void RpcController::setPasswordCost(const PasswordHash::Cost& cost)
{
    if (!passwordJobs.isEmpty()) {
        return;
    }
    delete verifier;
    verifier = new PasswordVerifier(cost, this);
    connect(verifier, &PasswordVerifier::finished, this, &RpcController::passwordJobFinished);
}

RpcPeer::Limits RpcController::peerLimits() const
{
    return rpcPeer ? rpcPeer->limits() : RpcPeer::Limits();
}

qint64 RpcController::clientBacklog(quint64 id) const
{
    return rpcPeer ? rpcPeer->pendingOutput(id) : -1;
}

quint16 RpcController::serverPort() const
{
    return rpcPeer && rpcPeer->isListening() ? rpcPeer->serverPort() : 0;
}

void RpcController::start()
{
    if (rpcPeer) {
        return;
    }
    rpcPeer = new VemoRPCPeer();
    rpcPeer->setClock(clock);
    rpcPeer->setGate(gate);
    connect(rpcPeer, &RpcPeer::clientConnected, this, &RpcController::rpcClientConnected);
    connect(rpcPeer, &RpcPeer::clientDisconnected, this, &RpcController::rpcClientDisconnected);
    connect(rpcPeer, &RpcPeer::serverError, this, &RpcController::rpcError);
    connect(rpcPeer, &RpcPeer::outputWritten, this, &RpcController::clientOutputWritten);

    const long descriptors = DescriptorLimit::current();
    const RpcPeer::Limits limits = serverLimits(maxClients, descriptors);
    rpcPeer->setLimits(limits);
    if (maxClients > 0 && limits.maxClients < maxClients) {
        qWarning().noquote() << QStringLiteral("[RpcServer] Не более %1 подключений АРМ: лимит "
                                               "открытых файлов процесса %2")
                                    .arg(limits.maxClients)
                                    .arg(descriptors);
    }

    // Every request the server handles, and its handler.
    struct Handler
    {
        const QString& message;
        const char* slot;
    };
    const Handler handlers[] = {
        {RpcMessage::Login, SLOT(rpcLogin(quint64, VemoRpcCredentials))},
        {RpcMessage::GetClients, SLOT(rpcGetClientList(quint64))},
        {RpcMessage::ClientOperation,
         SLOT(rpcClientOperation(quint64, QString, VemoRpcClient, QString))},
        {RpcMessage::LoadUooState, SLOT(rpcGetUooTrackList(quint64))},
        {RpcMessage::UooOperation, SLOT(rpcUooOperation(quint64, QString, UooDescriptor))},
        {RpcMessage::LoadParamsState, SLOT(rpcGetUooParamsDesc(quint64, quint32))},
        {RpcMessage::UooParamsOperation,
         SLOT(rpcUooParamsOperation(quint64, QString, quint32, UooRParamsDesc))},
    };
    for (const Handler& handler : handlers) {
        if (!rpcPeer->attachSlot(handler.message, this, handler.slot)) {
            qCritical().noquote()
                << QStringLiteral("[RpcServer] Не удалось подключить обработчик сообщения %1")
                       .arg(handler.message);
        }
    }

    const BindAddress bind = bindAddress;
    const QHostAddress address = bind.address;
    const quint16 port = bind.port;
    const bool hostOk = bind.valid;
    // A host text that names no address is refused rather than handed to the
    // network layer.
    const QString shownAddress =
        hostOk ? address.toString() : bind.hostText.section(QLatin1Char(':'), 0, 0);

    if (hostOk && rpcPeer->listen(address, port)) {
        const quint16 actual = rpcPeer->serverPort();
        qDebug().noquote() << QStringLiteral("Сервер администрирования запущен на %1:%2")
                                  .arg(shownAddress)
                                  .arg(port != 0 ? port : actual);
    } else {
        qDebug().noquote() << QStringLiteral("ОШИБКА ЗАПУСКА сервера администрирования на %1:%2")
                                  .arg(clip(shownAddress))
                                  .arg(port);
    }
}

void RpcController::stop()
{
    if (!rpcPeer) {
        return;
    }
    qDebug() << "Остановка сервера администрирования";
    rpcPeer->disconnectAll();
    rpcPeer->stopListening();
    releasePeer();
    if (RpcAuthManager* auth = authManager()) {
        auth->clear();
    }
}

void RpcController::releasePeer()
{
    if (!rpcPeer) {
        return;
    }
    VemoRPCPeer* peer = rpcPeer;
    rpcPeer = nullptr;
    deviceLists->clear();
    peer->disconnect(this);
    peer->detachSlots(this);
    delete peer;
}

void RpcController::rpcForwardMany(QList<quint64> ids, QString fn, QVariant p1, QVariant p2,
                                   QVariant p3, QVariant p4, QVariant p5, QVariant p6, QVariant p7,
                                   QVariant p8)
{
    // Log lines travel this way: nothing here may log.
    if (!rpcPeer) {
        return;
    }
    rpcPeer->call(ids, fn, p1, p2, p3, p4, p5, p6, p7, p8);
}

void RpcController::rpcForwardOne(quint64 id, QString fn, QVariant p1, QVariant p2, QVariant p3,
                                  QVariant p4, QVariant p5, QVariant p6, QVariant p7, QVariant p8)
{
    if (!rpcPeer) {
        return;
    }
    rpcPeer->call(id, fn, p1, p2, p3, p4, p5, p6, p7, p8);
}

void RpcController::disconnectClient(quint64 cli)
{
    if (!queuedSet.contains(cli)) {
        queuedSet.insert(cli);
        pendingDisconnects.append(cli);
    }
    // One timer serves every queued client; a queue that is empty by then is fine.
    if (!disconnectTimer->isActive()) {
        disconnectTimer->start();
    }
}

QList<quint64> RpcController::getClients()
{
    return rpcPeer ? rpcPeer->clients() : QList<quint64>();
}

qint64 RpcController::pacingBacklog() const
{
    return rpcPeer ? rpcPeer->pacingBacklog() : 0;
}

void RpcController::rpcError(QAbstractSocket::SocketError error)
{
    // Accepting pauses for a moment after such an error; a lasting cause (the
    // descriptor limit) brings it back every time, hence the limiter.
    QString text;
    QDebug(&text) << "[RpcServer] Ошибка удаленного подключения АРМ: " << error;
    diagnostics->report(QStringLiteral("[RpcServer] accept error"), QtWarningMsg,
                        text.remove(QLatin1Char('"')).trimmed());
}

void RpcController::rpcClientConnected(quint64 id)
{
    qDebug() << "[RpcServer] Новое подключение клиентского модуля (АРМ): ID=" << id;
    if (RpcAuthManager* auth = authManager()) {
        auth->addClient(id);
    }
}

void RpcController::rpcClientDisconnected(quint64 id)
{
    qDebug() << "[RpcServer] Отключение клиентского модуля (АРМ): ID=" << id;
    if (RpcAuthManager* auth = authManager()) {
        auth->removeClient(id);
    }
    if (queuedSet.remove(id)) {
        pendingDisconnects.removeAll(id);
    }
    deviceLists->forget(id);
}

void RpcController::disconnectImpl()
{
    if (!rpcPeer) {
        return;
    }
    while (!pendingDisconnects.isEmpty()) {
        const quint64 id = pendingDisconnects.takeFirst();
        queuedSet.remove(id);
        rpcPeer->disconnectClient(id);
        if (!rpcPeer) {
            return;
        }
    }
}

void RpcController::audit(const QString& user, int code, const QString& text)
{
    if (backend) {
        backend->sendToLog(user, code, text);
    }
}

void RpcController::reply(quint64 client, const QString& fn, const QVariant& p1, const QVariant& p2)
{
    if (rpcPeer) {
        rpcPeer->call(client, fn, p1, p2);
    }
}

bool RpcController::admits(quint64 client, quint8 code, const QString& operation, bool listRequest)
{
    if (isQueued(client)) {
        return false;
    }
    if (code == AnyClient) {
        return true;
    }
    RpcAuthManager* auth = authManager();
    if (auth && auth->hasPermission(client, code)) {
        return true;
    }
    // Any connection can cause this line, as often as it reconnects.
    diagnostics->report(
        QStringLiteral("[RpcServer] permission denied"), QtWarningMsg,
        listRequest ? LogRateLimiter::compose("Неодостаточно прав пользователя для выполнения "
                                              "операции RPC_GET_CLIENT_LIST; ClientID=",
                                              client)
                    : LogRateLimiter::compose("Неодостаточно прав пользователя для выполнения "
                                              "операции ",
                                              clip(operation), "; ClientID=", client));
    disconnectClient(client);
    return false;
}

void RpcController::rpcLogin(quint64 id, VemoRpcCredentials credentials)
{
    if (!admits(id)) {
        return;
    }
    RpcAuthManager* auth = authManager();
    if (!auth || !auth->hasClient(id)) {
        qWarning() << "[RpcServer] Попытка логина для неподключенного клиента с id = " << id;
        return;
    }
    const QString login = credentials.login;
    if (login.size() > MaxLoginLength) {
        // No account has such a name; it is not kept in the bookkeeping either.
        diagnostics->report(
            QStringLiteral("[RpcServer] login name too long"), QtWarningMsg,
            LogRateLimiter::compose("[RpcServer] Слишком длинное имя для логина, клиент будет "
                                    "отключен. ID=",
                                    id));
        disconnectClient(id);
        return;
    }
    // The rules count per login name and the address it comes from: attempts from
    // elsewhere cannot lock an operator out.
    const QHostAddress from = rpcPeer ? rpcPeer->peerAddress(id) : QHostAddress();
    const QString key = RpcLoginAttempts::keyOf(login, from);
    const QString origin = RpcLoginAttempts::keyOf(QString(), from);
    // A name whose last attempt from there is still being checked counts as tried
    // just now.
    if (keysBeingChecked.contains(key) || !attempts.intervalKept(key, clock->tickMs())) {
        diagnostics->report(QStringLiteral("[RpcServer] login interval"), QtWarningMsg,
                            LogRateLimiter::compose("Нарушен временной интервал попыток логина "
                                                    "для клиента ",
                                                    PeerText::clip(login),
                                                    ", клиент будет отключен."));
        disconnectClient(id);
        return;
    }

    if (checksByOrigin.value(origin) >= MaxChecksPerAddress) {
        diagnostics->report(QStringLiteral("[RpcServer] password checks per address"),
                            QtWarningMsg,
                            LogRateLimiter::compose("[RpcServer] Проверок пароля с одного адреса: ",
                                                    MaxChecksPerAddress,
                                                    ", клиент будет отключен. ID=", id));
        disconnectClient(id);
        return;
    }

    // The password is checked off the event loop; the client's further requests
    // wait for the answer (so they are answered after it, with its rights).
    PasswordJob job;
    job.client = id;
    job.login = login;
    job.key = key;
    job.origin = origin;
    // The attempt counts from when it came, not from when its check ended: a slow
    // check does not move the interval the client has to keep.
    job.tick = clock->tickMs();
    const bool found = accounts && accounts->lookup(login, &job.stored, &job.account);
    job.publishedDigest = login == RpcAccountStore::BuiltInLogin &&
                          credentials.password == RpcAccountStore::PublishedDigest;
    // A null stored value (no account, or a null column) matches nothing.
    if (!submitPasswordJob(PasswordVerifier::Task::Verify, found ? job.stored : QString(),
                           credentials.password, job)) {
        disconnectClient(id);
        return;
    }
    keysBeingChecked.insert(key);
    ++checksByOrigin[origin];
    if (rpcPeer) {
        rpcPeer->pauseInput(id);
    }
}

bool RpcController::submitPasswordJob(PasswordVerifier::Task task, const QString& stored,
                                      const QString& digest, const PasswordJob& job)
{
    const quint64 ticket = verifier->submit(task, stored, digest);
    if (ticket == 0) {
        diagnostics->report(QStringLiteral("[RpcServer] password checks queue full"),
                            QtWarningMsg,
                            LogRateLimiter::compose("[RpcServer] Проверок пароля в очереди: ",
                                                    PasswordVerifier::MaxPending,
                                                    ", запрос клиента отклонен. ID=", job.client));
        return false;
    }
    passwordJobs.insert(ticket, job);
    return true;
}

void RpcController::passwordJobFinished(quint64 ticket, const PasswordVerifier::Result& result)
{
    const auto it = passwordJobs.find(ticket);
    if (it == passwordJobs.end()) {
        return;
    }
    const PasswordJob job = it.value();
    passwordJobs.erase(it);
    switch (job.kind) {
    case PasswordJob::Kind::Login:
        finishLogin(job, result);
        break;
    case PasswordJob::Kind::AddClient:
        finishAddClient(job, result);
        break;
    case PasswordJob::Kind::PublishedCheck:
        reportPublishedAccount(result.verdict == PasswordHash::Verdict::Match);
        return;
    }
    if (rpcPeer) {
        rpcPeer->resumeInput(job.client);
    }
}

void RpcController::finishLogin(const PasswordJob& job, const PasswordVerifier::Result& result)
{
    using Verdict = PasswordHash::Verdict;
    keysBeingChecked.remove(job.key);
    if (--checksByOrigin[job.origin] <= 0) {
        checksByOrigin.remove(job.origin);
    }
    RpcAuthManager* auth = authManager();
    // The client may have gone meanwhile: its attempt still counts.
    const bool present = auth && auth->hasClient(job.client) && !isQueued(job.client);

    if (result.verdict == Verdict::Match) {
        if (!result.hash.isEmpty() && accounts) {
            // A plain digest, or a hash of a lower cost: from now on the hash.
            accounts->replacePassword(job.login, job.stored, result.hash);
        }
        attempts.recordSuccess(job.key, job.tick);
        if (job.login == RpcAccountStore::BuiltInLogin) {
            ServiceCounters::set(ServiceCounters::DefaultCredentials, job.publishedDigest ? 1 : 0);
        }
        if (present) {
            auth->grant(job.client, job.login, job.account);
            if (rpcPeer) {
                rpcPeer->setClientTrusted(job.client, true);
            }
            reply(job.client, RpcMessage::LoginResult, RpcResult::LoginOk,
                  QVariant::fromValue(auth->permissions(job.client)));
        }
        return;
    }
    if (result.verdict == Verdict::Unreadable && !unreadableWarned.contains(job.login)) {
        // Names here are those of rows of the table: the set stays small.
        unreadableWarned.insert(job.login);
        qWarning().noquote() << QStringLiteral("ERROR: пароль учетной записи %1 хранится в "
                                               "нечитаемом виде (неизвестная схема или "
                                               "повреждение); вход по ней невозможен")
                                    .arg(PeerText::clip(job.login));
    } else if (result.verdict == Verdict::Failure) {
        diagnostics->report(QStringLiteral("[RpcServer] password hashing failed"), QtWarningMsg,
                            QStringLiteral("ERROR: проверка пароля учетной записи %1 не "
                                           "выполнена: %2; вход отклонен, запись не изменена")
                                .arg(PeerText::clip(job.login), result.error));
    }
    ServiceCounters::add(ServiceCounters::LoginsFailed);
    if (attempts.recordFailure(job.key, job.tick) == RpcLoginAttempts::Verdict::Answer) {
        if (present) {
            reply(job.client, RpcMessage::LoginResult, RpcResult::LoginFailed,
                  QVariant::fromValue(QList<quint8>()));
        }
        return;
    }
    diagnostics->report(QStringLiteral("[RpcServer] login failure limit"), QtWarningMsg,
                        LogRateLimiter::compose("Превышен лимит попыток логина для клиента ",
                                                PeerText::clip(job.login),
                                                ", клиент будет отключен."));
    if (present) {
        disconnectClient(job.client);
    }
}

void RpcController::finishAddClient(const PasswordJob& job, const PasswordVerifier::Result& result)
{
    QString outcome = RpcResult::Failed;
    if (result.verdict != PasswordHash::Verdict::Match) {
        qCritical().noquote() << QStringLiteral("ERROR: пароль новой учетной записи %1 не "
                                                "хеширован: %2; учетная запись не создана")
                                     .arg(PeerText::clip(job.login), result.error);
    } else if (accounts && accounts->exists(job.login)) {
        outcome = RpcResult::UserAlreadyExists; // added by someone else meanwhile
    } else if (accounts && accounts->add(job.login, result.hash, job.account.permissions,
                                         job.account.fullname)) {
        outcome = RpcResult::Ok;
        audit(job.operatorName, job.remote ? RpcAudit::AddRemoteClient : RpcAudit::AddServerUser,
              QString());
    }
    reply(job.client, RpcMessage::ClientOperationResult, outcome);
}

void RpcController::checkPublishedAccount()
{
    QString stored;
    VemoRpcClient account;
    if (!accounts || !accounts->lookup(RpcAccountStore::BuiltInLogin, &stored, &account) ||
        stored.isNull()) {
        reportPublishedAccount(false);
        return;
    }
    PasswordJob job;
    job.kind = PasswordJob::Kind::PublishedCheck;
    submitPasswordJob(PasswordVerifier::Task::Check, stored, RpcAccountStore::PublishedDigest,
                      job);
}

void RpcController::reportPublishedAccount(bool published)
{
    ServiceCounters::set(ServiceCounters::DefaultCredentials, published ? 1 : 0);
    if (published) {
        qWarning().noquote()
            << QStringLiteral("ВНИМАНИЕ: учетная запись %1 принимает опубликованный пароль по "
                              "умолчанию: любой, кто подключится к порту администрирования, "
                              "войдет со всеми правами. Смените его: paramserver "
                              "--set-password %1 (или создайте свою учетную запись с правом 3 "
                              "и удалите эту)")
                   .arg(RpcAccountStore::BuiltInLogin);
    }
}

void RpcController::rpcGetClientList(quint64 client)
{
    if (!admits(client, RpcPermissions::ClientOperations, QString(), true)) {
        return;
    }
    const QList<VemoRpcClient> all = accounts ? accounts->loadAll() : QList<VemoRpcClient>();
    reply(client, RpcMessage::ClientsList, QVariant::fromValue(all));
}

void RpcController::rpcClientOperation(quint64 client, QString operation, VemoRpcClient clientData,
                                       QString p3)
{
    if (!admits(client, RpcPermissions::ClientOperations, operation)) {
        return;
    }
    const bool remote = clientData.permissions.contains(RpcPermissions::RemoteFlashing);
    QString result = RpcResult::InvalidOperation;
    int code = 0;
    const QString& login = clientData.login;

    if (login.isEmpty() || login.size() > MaxLoginLength) {
        result = RpcResult::InvalidLoginName;
    } else if (!accounts) {
        result = RpcResult::Failed;
    } else if (operation == RpcOperation::AddClient) {
        if (accounts->exists(login)) {
            result = RpcResult::UserAlreadyExists;
        } else if (p3.isEmpty()) {
            result = RpcResult::InvalidP3Size;
        } else {
            // The digest is stored as its hash, made off the event loop; the reply
            // (and the client's further requests) follow when it is done.
            PasswordJob job;
            job.kind = PasswordJob::Kind::AddClient;
            job.client = client;
            job.login = login;
            job.account = clientData;
            job.remote = remote;
            job.operatorName = authManager()->loginName(client);
            if (submitPasswordJob(PasswordVerifier::Task::Hash, QString(), p3.toLower(), job)) {
                if (rpcPeer) {
                    rpcPeer->pauseInput(client);
                }
                return;
            }
            result = RpcResult::Failed;
        }
    } else if (operation == RpcOperation::DelClient) {
        if (!accounts->exists(login)) {
            result = RpcResult::UserNotFound;
        } else if (accounts->remove(login)) {
            result = RpcResult::Ok;
            if (login == RpcAccountStore::BuiltInLogin) {
                ServiceCounters::set(ServiceCounters::DefaultCredentials, 0);
            }
            code = remote ? RpcAudit::DeleteRemoteClient : RpcAudit::DeleteServerUser;
        } else {
            result = RpcResult::Failed;
        }
    } else if (operation == RpcOperation::ModifyClient) {
        if (!accounts->exists(login)) {
            result = RpcResult::UserNotFound;
        } else if (accounts->modify(login, clientData.permissions)) {
            result = RpcResult::Ok;
            code = RpcAudit::ModifyServerUser;
        } else {
            result = RpcResult::Failed;
        }
    }

    if (result == RpcResult::Ok) {
        audit(authManager()->loginName(client), code, QString());
    }
    reply(client, RpcMessage::ClientOperationResult, result);
}

void RpcController::rpcGetUooTrackList(quint64 client)
{
    if (!admits(client)) {
        return;
    }
    // A large list is built a slice at a time, in the place of this reply.
    if (std::unique_ptr<UooDescriptorSnapshot> snapshot =
            backend && rpcPeer ? backend->openDescriptorSnapshot() : nullptr) {
        if (!deviceLists->request(rpcPeer, client, std::move(snapshot))) {
            diagnostics->report(
                QStringLiteral("[RpcServer] too many list requests"), QtWarningMsg,
                LogRateLimiter::compose("[RpcServer] Слишком много запросов списка УОО без "
                                        "ответа, клиент будет отключен. ID=",
                                        client));
            disconnectClient(client);
        }
        return;
    }
    // No devices to list.
    reply(client, RpcMessage::LoadUooStateResult, QVariant::fromValue(QList<UooDescriptor>()));
}

void RpcController::rpcGetUooParamsDesc(quint64 client, quint32 cuoo)
{
    if (!admits(client)) {
        return;
    }
    const UooRParamsDesc record = backend ? backend->uooParamsDesc(cuoo) : UooRParamsDesc();
    reply(client, RpcMessage::LoadParamsStateResult, QVariant::fromValue(record));
}

void RpcController::rpcUooOperation(quint64 client, QString operation, UooDescriptor descriptor)
{
    if (!admits(client, RpcPermissions::UooOperations, operation)) {
        return;
    }
    const quint32 uoo = descriptor.uoo;
    const QString text = tr("Код УОО: %2").arg(uoo);
    QString result = RpcResult::InvalidOperation;
    int code = 0;

    if (operation == RpcOperation::ChangeUooGuardState) {
        if (!backend || !backend->hasUoo(uoo)) {
            result = RpcResult::UooNotFound;
        } else if (backend->changeUooGuardState(uoo)) {
            result = RpcResult::Ok;
            code = RpcAudit::ChangeUooGuardState;
        } else {
            result = RpcResult::UooIsBusy;
        }
    }

    if (result == RpcResult::Ok) {
        audit(authManager()->loginName(client), code, text);
    }
    reply(client, RpcMessage::UooOperationResult, result);
}

void RpcController::rpcUooParamsOperation(quint64 client, QString operation, quint32 uoo,
                                          UooRParamsDesc record)
{
    if (!admits(client, RpcPermissions::UooOperations, operation)) {
        return;
    }
    QString result = RpcResult::InvalidOperation;
    const bool sendNew = operation == RpcOperation::SendNewParams;
    if (sendNew || operation == RpcOperation::CancelNewParams) {
        if (!backend || !backend->hasUoo(uoo)) {
            result = RpcResult::UooNotFound;
        } else {
            const bool done = sendNew ? backend->scheduleNewParams(uoo, record)
                                      : backend->cancelNewParams(uoo, record);
            result = done ? RpcResult::Ok : RpcResult::UooIsBusy;
        }
    }
    reply(client, RpcMessage::UooParamsOperationResult, result);
}
