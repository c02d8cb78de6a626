#include "rpccontroller.h"

#include "irpcbackend.h"
#include "rpcauthmanager.h"
#include "rpcpermissions.h"
#include "servicecounters.h"
#include "vemorpcpeer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QTimer>

namespace {

const QString LoginMessage = QStringLiteral("LOGIN");
const QString LoginResult = QStringLiteral("LOGIN_RESULT");
const QString LoginOk = QStringLiteral("LOGIN_OK");
const QString LoginFailed = QStringLiteral("LOGIN_FAILED");

const QString ResultOk = QStringLiteral("OK");
const QString ResultFailed = QStringLiteral("FAILED");
const QString ResultInvalidOperation = QStringLiteral("INVALID_OPERATION");
const QString ResultInvalidLogin = QStringLiteral("INVALID_LOGIN_NAME");
const QString ResultUserExists = QStringLiteral("USER_ALREADY_EXISTS");
const QString ResultUserNotFound = QStringLiteral("USER_NOT_FOUND");
const QString ResultInvalidP3 = QStringLiteral("INVALID_P3_SIZE");
const QString ResultUooNotFound = QStringLiteral("TESTING_UOO_NOT_FOUND");
const QString ResultUooBusy = QStringLiteral("UOO_IS_BUSY");

const QString OpAddClient = QStringLiteral("RPC_ADD_NEW_CLIENT");
const QString OpDelClient = QStringLiteral("RPC_DEL_CLIENT");
const QString OpModifyClient = QStringLiteral("RPC_MODIFY_CLIENT");
const QString OpGuardState = QStringLiteral("RPC_CHANGE_UOO_GUARD_STATE");
const QString OpSendNew = QStringLiteral("RPC_UOO_PARAMS_OPERATION_SND_NEW");
const QString OpSendCancel = QStringLiteral("RPC_UOO_PARAMS_OPERATION_SND_CANCEL");

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

RpcController::RpcController(IRpcBackend* backend, QObject* parent, Clock* clock)
    : QObject(parent), controller(backend), clock(clock ? clock : Clock::system()),
      disconnectTimer(new QTimer(this))
{
    disconnectTimer->setSingleShot(true);
    disconnectTimer->setInterval(1);
    connect(disconnectTimer, &QTimer::timeout, this, &RpcController::disconnectImpl);
}

RpcController::~RpcController()
{
    // The owner may be half destroyed by now: close the peer without calling back.
    releasePeer();
}

quint16 RpcController::serverPort() const
{
    return rpcPeer && rpcPeer->isListening() ? rpcPeer->serverPort() : 0;
}

QString RpcController::bindHostText(const QStringList& arguments, const QString& bindHostFile)
{
    if (arguments.size() >= 2) {
        return arguments.at(1);
    }
    QFile file(bindHostFile);
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    // A host text is a few bytes; more than that is not a host text.
    const QByteArray data = file.read(4096);
    return QString::fromLocal8Bit(data).trimmed();
}

bool RpcController::applyBindHost(const QString& hostText, quint16 rpcPort, QHostAddress& address,
                                  quint16& port)
{
    if (hostText.isEmpty()) {
        return true;
    }
    const QStringList parts = hostText.split(QLatin1Char(':'));
    address = QHostAddress(parts.at(0));
    if (parts.size() > 1) {
        bool ok = false;
        const quint16 given = parts.at(1).toUShort(&ok, 10);
        port = ok && given != 0 ? given : rpcPort;
    }
    return !address.isNull();
}

void RpcController::start()
{
    if (rpcPeer) {
        return;
    }
    rpcPeer = new VemoRPCPeer();
    connect(rpcPeer, &RpcPeer::clientConnected, this, &RpcController::rpcClientConnected);
    connect(rpcPeer, &RpcPeer::clientDisconnected, this, &RpcController::rpcClientDisconnected);
    connect(rpcPeer, &RpcPeer::serverError, this, &RpcController::rpcError);

    rpcPeer->attachSlot(LoginMessage, this, SLOT(rpcLogin(quint64, VemoRpcCredentials)));
    rpcPeer->attachSlot(QStringLiteral("RPC_GET_CLIENTS_FROM_DB"), this,
                        SLOT(rpcGetClientList(quint64)));
    rpcPeer->attachSlot(QStringLiteral("RPC_CLIENT_OPERATION"), this,
                        SLOT(rpcClientOperation(quint64, QString, VemoRpcClient, QString)));
    rpcPeer->attachSlot(QStringLiteral("RPC_LOAD_UOOSTATE_REQUEST"), this,
                        SLOT(rpcGetUooTrackList(quint64)));
    rpcPeer->attachSlot(QStringLiteral("RPC_KTC_UOO_OPERATION"), this,
                        SLOT(rpcUooOperation(quint64, QString, UooDescriptor)));
    rpcPeer->attachSlot(QStringLiteral("RPC_LOAD_PARAMSSTATE_REQUEST"), this,
                        SLOT(rpcGetUooParamsDesc(quint64, quint32)));
    rpcPeer->attachSlot(QStringLiteral("RPC_UOO_PARAMS_OPERATION"), this,
                        SLOT(rpcUooParamsOperation(quint64, QString, quint32, UooRParamsDesc)));

    QHostAddress address(QHostAddress::Any);
    const quint16 rpcPort = controller ? controller->rpcPortSetting() : 0;
    quint16 port = rpcPort;
    const QString hostText =
        bindHostText(QCoreApplication::arguments(), QStringLiteral("bindhost.txt"));
    const bool hostOk = applyBindHost(hostText, rpcPort, address, port);
    // A host text that names no address is refused rather than handed to the
    // network layer.
    const QString shownAddress =
        hostOk ? address.toString() : hostText.section(QLatin1Char(':'), 0, 0);

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

void RpcController::rpcError(QAbstractSocket::SocketError error)
{
    qWarning() << "[RpcServer] Ошибка удаленного подключения АРМ: " << error;
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

RpcAuthManager* RpcController::authManager() const
{
    return controller ? controller->rpcAuthManager() : nullptr;
}

void RpcController::reply(quint64 client, const QString& fn, const QVariant& p1, const QVariant& p2)
{
    if (rpcPeer) {
        rpcPeer->call(client, fn, p1, p2);
    }
}

bool RpcController::checkPermission(quint64 client, quint8 code, const QString& operation,
                                    bool listRequest)
{
    RpcAuthManager* auth = authManager();
    if (auth && auth->hasPermission(client, code)) {
        return true;
    }
    if (listRequest) {
        qWarning() << "Неодостаточно прав пользователя для выполнения операции "
                      "RPC_GET_CLIENT_LIST; ClientID="
                   << client;
    } else {
        qWarning() << "Неодостаточно прав пользователя для выполнения операции " << clip(operation)
                   << "; ClientID=" << client;
    }
    disconnectClient(client);
    return false;
}

void RpcController::rpcLogin(quint64 id, VemoRpcCredentials credentials)
{
    if (isQueued(id)) {
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
        qWarning() << "[RpcServer] Слишком длинное имя для логина, клиент будет отключен. ID="
                   << id;
        disconnectClient(id);
        return;
    }
    if (!attempts.intervalKept(login, clock->tickMs())) {
        qWarning() << "Нарушен временной интервал попыток логина для клиента " << login
                   << ", клиент будет отключен.";
        disconnectClient(id);
        return;
    }

    if (auth->authenticate(id, credentials)) {
        attempts.recordSuccess(login, clock->tickMs());
        reply(id, LoginResult, LoginOk, QVariant::fromValue(auth->permissions(id)));
        return;
    }
    ServiceCounters::add(ServiceCounters::LoginsFailed);
    if (attempts.recordFailure(login, clock->tickMs()) == RpcLoginAttempts::Verdict::Answer) {
        reply(id, LoginResult, LoginFailed, QVariant::fromValue(QList<quint8>()));
        return;
    }
    qWarning() << "Превышен лимит попыток логина для клиента " << login
               << ", клиент будет отключен.";
    disconnectClient(id);
}

void RpcController::rpcGetClientList(quint64 client)
{
    if (isQueued(client)) {
        return;
    }
    if (!checkPermission(client, RpcPermissions::ClientOperations, QString(), true)) {
        return;
    }
    reply(client, QStringLiteral("RPC_CLIENTS_LIST"),
          QVariant::fromValue(authManager()->loadAllUsers()));
}

void RpcController::rpcClientOperation(quint64 client, QString operation, VemoRpcClient clientData,
                                       QString p3)
{
    if (isQueued(client)) {
        return;
    }
    if (!checkPermission(client, RpcPermissions::ClientOperations, operation)) {
        return;
    }
    const bool remote = clientData.permissions.contains(RpcPermissions::RemoteFlashing);
    QString result = ResultInvalidOperation;
    int code = 0;
    const QString& login = clientData.login;

    if (login.isEmpty() || login.size() > MaxLoginLength) {
        result = ResultInvalidLogin;
    } else if (!controller) {
        result = ResultFailed;
    } else if (operation == OpAddClient) {
        if (controller->rpcUserExists(login)) {
            result = ResultUserExists;
        } else if (p3.isEmpty()) {
            result = ResultInvalidP3;
        } else if (controller->addNewRpcUser(login, p3, clientData.permissions,
                                             clientData.fullname)) {
            result = ResultOk;
            code = remote ? RpcAudit::AddRemoteClient : RpcAudit::AddServerUser;
        } else {
            result = ResultFailed;
        }
    } else if (operation == OpDelClient) {
        if (!controller->rpcUserExists(login)) {
            result = ResultUserNotFound;
        } else if (controller->delRpcUser(login)) {
            result = ResultOk;
            code = remote ? RpcAudit::DeleteRemoteClient : RpcAudit::DeleteServerUser;
        } else {
            result = ResultFailed;
        }
    } else if (operation == OpModifyClient) {
        if (!controller->rpcUserExists(login)) {
            result = ResultUserNotFound;
        } else if (controller->modifyRpcUser(login, clientData.permissions)) {
            result = ResultOk;
            code = RpcAudit::ModifyServerUser;
        } else {
            result = ResultFailed;
        }
    }

    if (result == ResultOk) {
        controller->sendToLog(authManager()->loginName(client), code, QString());
    }
    reply(client, QStringLiteral("RPC_CLIENT_OPERATION_RESULT"), result);
}

void RpcController::rpcGetUooTrackList(quint64 client)
{
    if (isQueued(client)) {
        return;
    }
    const QList<UooDescriptor> list =
        controller ? controller->uooDescriptors() : QList<UooDescriptor>();
    reply(client, QStringLiteral("RPC_LOAD_UOOSTATE_RESULT"), QVariant::fromValue(list));
}

void RpcController::rpcGetUooParamsDesc(quint64 client, quint32 cuoo)
{
    if (isQueued(client)) {
        return;
    }
    const UooRParamsDesc record = controller ? controller->uooParamsDesc(cuoo) : UooRParamsDesc();
    reply(client, QStringLiteral("RPC_LOAD_PARAMSSTATE_RESULT"), QVariant::fromValue(record));
}

void RpcController::rpcUooOperation(quint64 client, QString operation, UooDescriptor descriptor)
{
    if (isQueued(client)) {
        return;
    }
    if (!checkPermission(client, RpcPermissions::UooOperations, operation)) {
        return;
    }
    const quint32 uoo = descriptor.uoo;
    const QString text = tr("Код УОО: %2").arg(uoo);
    QString result = ResultInvalidOperation;
    int code = 0;

    if (operation == OpGuardState) {
        if (!controller || !controller->hasUoo(uoo)) {
            result = ResultUooNotFound;
        } else if (controller->changeUooGuardState(uoo)) {
            result = ResultOk;
            code = RpcAudit::ChangeUooGuardState;
        } else {
            result = ResultUooBusy;
        }
    }

    if (result == ResultOk) {
        controller->sendToLog(authManager()->loginName(client), code, text);
    }
    reply(client, QStringLiteral("RPC_KTC_UOO_OPERATION_RESULT"), result);
}

void RpcController::rpcUooParamsOperation(quint64 client, QString operation, quint32 uoo,
                                          UooRParamsDesc record)
{
    if (isQueued(client)) {
        return;
    }
    if (!checkPermission(client, RpcPermissions::UooOperations, operation)) {
        return;
    }
    QString result = ResultInvalidOperation;
    const bool sendNew = operation == OpSendNew;
    if (sendNew || operation == OpSendCancel) {
        if (!controller || !controller->hasUoo(uoo)) {
            result = ResultUooNotFound;
        } else {
            const bool done = sendNew ? controller->scheduleNewParams(uoo, record)
                                      : controller->cancelNewParams(uoo, record);
            result = done ? ResultOk : ResultUooBusy;
        }
    }
    reply(client, QStringLiteral("RPC_UOO_PARAMS_OPERATION_RESULT"), result);
}
