#include "controller.h"

#include "metricsendpoint.h"
#include "programentry.h"
#include "rpcauthmanager.h"
#include "rpccontroller.h"
#include "rpcnames.h"
#include "rpctypes.h"
#include "servicecounters.h"
#ifdef VEMO_HAVE_POSTGRESQL
#include "clusterlease.h"
#include "pgconnection.h"
#endif
#include "servicesettings.h"
#include "vemoparamserver.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QStringList>
#include <QVariant>

QAtomicPointer<Controller> currentController;

namespace {

// Held by another thread from reading currentController until its line is
// posted, and by the destructor while it clears currentController: a
// controller is never used by another thread once its deletion has got past
// that point.
QMutex handOverMutex;

const char* const ResourceConnectionName = "vemo_resource";
const char* const ResourceFileName = "vemo_resource.db";
const char* const ProgramVersion = "0.5";

// A limit from the settings: a positive whole number; anything else is the default.
int readLimit(const QSettings& settings, const QString& key, int fallback)
{
    bool ok = false;
    const int value = settings.value(key, fallback).toInt(&ok);
    return ok && value > 0 ? value : fallback;
}

const char* compilerName()
{
#if defined(__clang__)
    return "Clang";
#elif defined(__GNUC__)
#if defined(__MINGW32__)
    return "MinGW";
#else
    return "GCC";
#endif
#elif defined(_MSC_VER)
    return "MSVC";
#else
    return "unknown";
#endif
}

QString compilerVersion()
{
#if defined(__clang__)
    return QStringLiteral("%1.%2.%3")
        .arg(__clang_major__)
        .arg(__clang_minor__)
        .arg(__clang_patchlevel__);
#elif defined(__GNUC__)
    return QStringLiteral("%1.%2.%3").arg(__GNUC__).arg(__GNUC_MINOR__).arg(__GNUC_PATCHLEVEL__);
#elif defined(_MSC_VER)
    return QString::number(_MSC_VER);
#else
    return QStringLiteral("0");
#endif
}

const char* osName()
{
#if defined(Q_OS_WIN)
    return "Windows";
#elif defined(Q_OS_LINUX)
    return "Linux";
#elif defined(Q_OS_MACOS)
    return "macOS";
#else
    return "Unix";
#endif
}

} // namespace

Controller::Controller(QObject* parent) : QObject(parent)
{
    registerRpcTypes();
    currentController.storeRelease(this);
    // Alone, a node is the active one from its start.
    setClusterRole(true, 0, QDateTime::currentDateTimeUtc());
}

void Controller::setClusterRole(bool active, qint64 term, const QDateTime& since)
{
    clusterActive = active;
    leaseTerm = term;
    roleSince = since;
    ServiceCounters::set(ServiceCounters::ClusterStandby, active ? 0 : 1);
    ServiceCounters::set(ServiceCounters::LeaseTerm, term);
    ServiceCounters::set(ServiceCounters::RoleSince,
                         since.isValid() ? since.toSecsSinceEpoch() : 0);
    if (clusterNodeName.isEmpty()) {
        return; // a single node
    }
    if (active) {
        qDebug().noquote().nospace()
            << "Кластер: узел \"" << clusterNodeName << "\" активный (active), срок аренды "
            << QString::number(term) << " с " << since.toString(Qt::ISODateWithMs);
    } else {
        qDebug().noquote().nospace()
            << "Кластер: узел \"" << clusterNodeName << "\" резервный (standby)";
    }
    emit clusterRoleChanged(active);
}

void Controller::prepareProcessEnd()
{
    if (paramServer) {
        paramServer->stop();
        paramServer->leaveRecordsToSystem();
    }
#ifdef VEMO_HAVE_POSTGRESQL
    // What was unsaved is written (under the term still held): the other node
    // may take over at once.
    if (lease) {
        lease->release();
    }
#endif
}

Controller::~Controller()
{
    qDebug() << "Освобождение ресурсов приложения...";
    stop();
    if (resourceDb.isOpen()) {
        resourceDb.close();
    }
    {
        QMutexLocker lock(&handOverMutex);
        currentController.testAndSetOrdered(this, nullptr);
    }

    // The components go first: they may still use the connection while they die.
    delete paramServer;
    paramServer = nullptr;
    delete rpcController;
    rpcController = nullptr;
#ifdef VEMO_HAVE_POSTGRESQL
    delete lease; // lets a lease still held go
    lease = nullptr;
#endif

    const QString name = resourceDb.connectionName();
    accounts.setDatabase(QSqlDatabase());
    accountsInUse = &accounts;
#ifdef VEMO_HAVE_POSTGRESQL
    pgAccounts.reset();
#endif
    resourceDb = QSqlDatabase();
    if (!name.isEmpty()) {
        QSqlDatabase::removeDatabase(name);
    }
}

void Controller::handOverSysLogLine(const QString& line)
{
    QMutexLocker lock(&handOverMutex);
    Controller* const controller = currentController.loadAcquire();
    if (controller == nullptr) {
        return;
    }
    if (QThread::currentThread() == controller->thread()) {
        // Only this thread deletes it: no lock needed for the call.
        lock.unlock();
        controller->reportSysLogToAll(line);
        return;
    }
    // A line posted before the deletion cleared currentController is dropped
    // with the controller's pending events; one delivered while its destructor
    // still runs (an event loop turned inside it) finds currentController cleared.
    QMetaObject::invokeMethod(
        controller,
        [controller, line] {
            if (currentController.loadAcquire() == controller) {
                controller->reportSysLogToAll(line);
            }
        },
        Qt::QueuedConnection);
}

QString Controller::buildInfoString()
{
    return QStringLiteral("Qt %1 %2_%3 %4%5")
        .arg(QLatin1String(QT_VERSION_STR), QLatin1String(compilerName()), compilerVersion(),
             QLatin1String(osName()))
        .arg(QSysInfo::WordSize);
}

void Controller::initialize()
{
    qDebug() << "====== Запуск программы Сервер параметров VEMO версия " << ProgramVersion << " - "
             << buildInfoString() << " =====";

    readSettings();
    if (!badNetworkAddress.isNull()) {
        qCritical().noquote().nospace()
            << "ERROR: " << ServiceSettings::NetworkGroup << '/' << ServiceSettings::BindAddressKey
            << ": \"" << badNetworkAddress << "\" не адрес; серверы не запущены";
        failedSetting = QStringLiteral("%1/%2").arg(QLatin1String(ServiceSettings::NetworkGroup),
                                                    QLatin1String(ServiceSettings::BindAddressKey));
        emit notInitialized();
        return;
    }
    if (!checkStorage()) {
        emit notInitialized();
        return;
    }

#ifdef VEMO_HAVE_POSTGRESQL
    if (storage.backend == StorageSettings::Backend::PostgreSql) {
        if (!pgAccounts) {
            pgAccounts = std::make_unique<PgAccountStore>(storage.connection);
        }
        accountsInUse = pgAccounts.get();
    } else
#endif
    {
        resourceDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                               QLatin1String(ResourceConnectionName));
        resourceDb.setDatabaseName(ProgramEntry::dataFilePath(QLatin1String(ResourceFileName)));
    }
    if (accountsInUse == &accounts && !resourceDb.open()) {
        qCritical() << "ERROR: Ошибка открытия файла БД ресурсов"
                    << QFileInfo(resourceDb.databaseName()).absoluteFilePath();
        emit notInitialized();
        return;
    }
    accounts.setDatabase(resourceDb);
    // A database server that does not answer yet is waited for; the accounts
    // are read from it when it does.
    if (!checkDataConsistecy() && storageAnswered) {
        qCritical()
            << "ERROR: Ошибка проверки целостности файлов БД. Требуется ручное восстановление.";
        emit notInitialized();
        return;
    }

    rpcController = new RpcController(this, accountsInUse, this);
    rpcController->checkPublishedAccount();
    if (!clusterNodeName.isEmpty() && !openClusterLease()) {
        emit notInitialized();
        return;
    }
    paramServer = new VemoParamServer(this, Clock::system(), storage);

    paramServer->setPushBacklog(this);
    connect(paramServer, &VemoParamServer::uooRpamsUpdated, this,
            &Controller::uooParamsStateChanged, Qt::DirectConnection);
    connect(paramServer, &VemoParamServer::uooDescUpdated, this,
            &Controller::processUooStateChange);
    metrics = new MetricsEndpoint(QLatin1String(ProgramVersion), buildInfoString(), this);
    connect(metrics, &MetricsEndpoint::sampleDue, this, &Controller::publishGauges);
    metrics->start(metricsHost, metricsPort);

    qDebug() << "Инициализация ресурсов завершена";
    isInitialized = true;
    emit initialized();
    if (!clusterNodeName.isEmpty()) {
        startStandby();
        return;
    }
    start();
}

// ---------------------------------------------------------------- a node of a pair

bool Controller::openClusterLease()
{
#ifdef VEMO_HAVE_POSTGRESQL
    lease = new ClusterLease(clusterNodeName, storage.connection, clusterLeaseMs, Clock::system(),
                             this);
    QString error;
    switch (lease->open(&error)) {
    case ClusterLease::Opening::NameTaken:
        qCritical().noquote().nospace()
            << "ERROR: " << ServiceSettings::ClusterNodeKey << ": узел \"" << clusterNodeName
            << "\" уже работает (имя занято другим процессом); второй узел с тем же именем не "
               "запускается";
        return false;
    case ClusterLease::Opening::Unreachable:
        qCritical().noquote().nospace()
            << "ERROR: " << ServiceSettings::ClusterNodeKey << ": аренда пока недоступна: " << error
            << "; узел резервный, пока она не получена";
        break;
    case ClusterLease::Opening::Ready:
        break;
    }
    storage.fence = lease->fence();
    if (pgAccounts) {
        pgAccounts->setFence(lease->fence());
    }
    return true;
#else
    return false;
#endif
}

void Controller::startStandby()
{
#ifdef VEMO_HAVE_POSTGRESQL
    paramServer->setGate(lease);
    rpcController->setGate(lease);
    connect(lease, &ClusterLease::rowsFollowed, paramServer, &VemoParamServer::followStoredRows);
    connect(lease, &ClusterLease::becameActive, this, &Controller::takeOver);
    connect(lease, &ClusterLease::demoted, this, &Controller::demote);
    connect(paramServer, &VemoParamServer::writeFenced, lease,
            [this] { lease->demote(QStringLiteral("запись отклонена: аренду взял другой узел")); });
    setClusterRole(false, 0, QDateTime());
    lease->start(VemoParamServer::MaxUploadSize);
    // Never active before the start-up read is complete.
    auto* loaded = new QTimer(this);
    connect(loaded, &QTimer::timeout, this, [this, loaded] {
        if (paramServer->isLoaded()) {
            lease->allowTakeover();
            loaded->deleteLater();
        }
    });
    loaded->start(ClusterLease::AcquireIntervalMs);
#endif
}

void Controller::takeOver(qint64 term, const QDateTime& since)
{
    setClusterRole(true, term, since);
    start();
}

void Controller::demote(const QString& reason)
{
    qCritical().noquote().nospace()
        << "ERROR: Кластер: узел \"" << clusterNodeName
        << "\" больше не активный (active): " << reason
        << "; устройствам и АРМ не отвечает, перезапуск резервным (standby)";
    setClusterRole(false, 0, QDateTime());
    stop();
    QCoreApplication::exit(DemotedLoopCode);
}

void Controller::readSettings()
{
    using namespace ServiceSettings;
    QSettings user(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(Organization),
                   QLatin1String(Application));
    if (!user.value(QLatin1String(SettingsSavedKey), false).toBool()) {
        QSettings system(QSettings::NativeFormat, QSettings::SystemScope,
                         QLatin1String(Organization), QLatin1String(Application));
        if (system.value(QLatin1String(SettingsSavedKey), false).toBool()) {
            const QStringList keys = system.allKeys();
            for (const QString& key : keys) {
                user.setValue(key, system.value(key));
            }
            user.sync();
        }
    }
    user.beginGroup(QLatin1String(NetworkGroup));
    rpcPort = static_cast<quint16>(user.value(QLatin1String(RpcPortKey), DefaultRpcPort).toUInt());
    paramsPort =
        static_cast<quint16>(user.value(QLatin1String(ParamsPortKey), DefaultParamsPort).toUInt());
    const QString networkText = user.value(QLatin1String(BindAddressKey)).toString().trimmed();
    user.endGroup();
    networkAddress = networkText.isEmpty() ? QHostAddress(QHostAddress::Any)
                                           : QHostAddress(networkText);
    badNetworkAddress = networkAddress.isNull() ? networkText : QString();
    bindAddress = resolveBindAddress(
        QCoreApplication::arguments(),
        readBindHostFile(ProgramEntry::dataFilePath(QStringLiteral("bindhost.txt"))), rpcPort);
    if (bindAddress.hostText.isEmpty()) {
        bindAddress.address = networkAddress;
    }
    pushBeforeLogin = user.value(QLatin1String(PushBeforeLoginKey), true).toBool();
    metricsHost = user.value(QLatin1String(MetricsHostKey));
    metricsPort = user.value(QLatin1String(MetricsPortKey));
    user.beginGroup(QLatin1String(LimitsGroup));
    maxRpcClients = readLimit(user, QLatin1String(MaxRpcClientsKey), DefaultMaxRpcClients);
    maxDevices = readLimit(user, QLatin1String(MaxDevicesKey), DefaultMaxDevices);
    user.endGroup();
    storageBackend = user.value(QLatin1String(StorageBackendKey), QStringLiteral("sqlite"))
                         .toString()
                         .trimmed()
                         .toLower();
    storage.backend = storageBackend == QLatin1String("postgresql")
                          ? StorageSettings::Backend::PostgreSql
                          : StorageSettings::Backend::Sqlite;
    storage.connection = user.value(QLatin1String(StorageConnectionKey)).toString();
    clusterNodeName = user.value(QLatin1String(ClusterNodeKey)).toString().trimmed();
#ifdef VEMO_HAVE_POSTGRESQL
    clusterLeaseMs =
        qBound(ClusterLease::MinTtlMs,
               readLimit(user, QLatin1String(ClusterLeaseMsKey), ClusterLease::DefaultTtlMs),
               ClusterLease::MaxTtlMs);
#endif
}

bool Controller::checkStorage()
{
    // A backend this program does not know, or was built without, or else the
    // connection to it.
    const bool knownBackend = storageBackend == QLatin1String("sqlite") ||
                              storageBackend == QLatin1String("postgresql");
#ifdef VEMO_HAVE_POSTGRESQL
    const bool backendBuiltIn = true;
#else
    const bool backendBuiltIn = storage.backend != StorageSettings::Backend::PostgreSql;
#endif
    const bool usable = checkStorageSettings();
    failedSetting = usable ? QString()
                           : QLatin1String(knownBackend && backendBuiltIn
                                               ? ServiceSettings::StorageConnectionKey
                                               : ServiceSettings::StorageBackendKey);
    return usable;
}

bool Controller::checkStorageSettings()
{
    if (storageBackend != QLatin1String("sqlite") &&
        storageBackend != QLatin1String("postgresql")) {
        qCritical().noquote().nospace()
            << "ERROR: " << ServiceSettings::StorageBackendKey << ": неизвестное хранилище \""
            << storageBackend << "\" (допустимы sqlite, postgresql)";
        return false;
    }
    if (storage.backend != StorageSettings::Backend::PostgreSql) {
        if (!clusterNodeName.isEmpty()) {
            qCritical().noquote().nospace()
                << "ERROR: " << ServiceSettings::ClusterNodeKey
                << ": узел пары работает только с общей БД (" << ServiceSettings::StorageBackendKey
                << "=postgresql), не с sqlite";
            return false;
        }
        return true;
    }
#ifndef VEMO_HAVE_POSTGRESQL
    qCritical().noquote().nospace()
        << "ERROR: " << ServiceSettings::StorageBackendKey
        << ": postgresql недоступно, программа собрана без PostgreSQL (libpq); допустимо sqlite";
    return false;
#else
    bool bad = false;
    if (!PgConnection::serverAnswers(storage.connection, &bad)) {
        if (bad) {
            qCritical().noquote().nospace()
                << "ERROR: " << ServiceSettings::StorageConnectionKey
                << ": строка подключения к PostgreSQL не разобрана";
            return false;
        }
        // Down for now: served from memory, written when it is back.
        storageAnswered = false;
        qCritical().noquote().nospace()
            << "ERROR: " << ServiceSettings::StorageConnectionKey
            << ": сервер PostgreSQL не отвечает; записи будут сохраняться, когда он ответит";
        return true;
    }
    // The schema is made (with the built-in account) by the account store.
    pgAccounts = std::make_unique<PgAccountStore>(storage.connection);
    QString error;
    const PgConnection::Failure failure = pgAccounts->prepare(&error);
    if (failure == PgConnection::Failure::None ||
        failure == PgConnection::Failure::Unreachable) {
        return true;
    }
    const char* cause = failure == PgConnection::Failure::Refused
                            ? "PostgreSQL отказал в подключении: "
                            : "база PostgreSQL не подходит: ";
    qCritical().noquote().nospace() << "ERROR: " << ServiceSettings::StorageConnectionKey << ": "
                                    << cause << error.simplified();
    return false;
#endif
}

void Controller::applySettings()
{
    using namespace ServiceSettings;
    QSettings user(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(Organization),
                   QLatin1String(Application));
    user.beginGroup(QLatin1String(NetworkGroup));
    user.setValue(QLatin1String(RpcPortKey), static_cast<int>(rpcPort));
    user.setValue(QLatin1String(ParamsPortKey), static_cast<int>(paramsPort));
    user.endGroup();
    user.sync();
    qDebug() << "Новые настройки успешно сохранены";
}

void Controller::publishGauges()
{
    if (paramServer) {
        ServiceCounters::set(ServiceCounters::DevicesKnown, paramServer->deviceCount());
        ServiceCounters::set(ServiceCounters::DevicesOnline, paramServer->onlineCount());
        ServiceCounters::set(ServiceCounters::UnsavedRecords, paramServer->unsavedRecords());
        ServiceCounters::store(ServiceCounters::DbWriteFailures,
                               paramServer->paramsWriteFailures());
    }
    if (rpcController) {
        const RpcAuthManager* logins = rpcController->authManager();
        const int loggedIn = logins->loggedInCount();
        ServiceCounters::set(ServiceCounters::RpcClientsLoggedIn, loggedIn);
        ServiceCounters::set(ServiceCounters::RpcClientsAnonymous,
                             logins->connectionCount() - loggedIn);
    }
}

void Controller::debugClientMsg(QString) {}

void Controller::sendToSysLog(QString text)
{
    emit newSyslogMessage(text);
}

void Controller::start()
{
    if (isRunning) {
        qFatal("ERROR: Cant start already running controller");
    } else if (!isInitialized) {
        qFatal("ERROR: Cant start uninitialized controller");
    }
    qDebug() << "Старт главного контроллера...";
    rpcController->setMaxClients(maxRpcClients);
    rpcController->setBindAddress(bindAddress);
    rpcController->start();
    paramServer->setPort(paramsPort);
    paramServer->setBindAddress(networkAddress);
    paramServer->setMaxDevices(maxDevices);
    paramServer->start();
    isRunning = true;
    emit started();
}

void Controller::stop()
{
    if (!isInitialized || !isRunning) {
        return;
    }
    qDebug() << "Остановка приемника...";
    isRunning = false;
    rpcController->stop();
    paramServer->stop();
    emit stopped();
}

void Controller::toggle()
{
    if (isRunning) {
        stop();
    } else {
        start();
    }
}

void Controller::restart()
{
    if (!isInitialized) {
        return;
    }
    stop();
    start();
}

// ---------------------------------------------------------------- resource database

bool Controller::checkDataConsistecy()
{
    return accountsInUse->ensureTable();
}

void Controller::sendToLog(const QString& user, int code, const QString& text)
{
    qDebug().noquote() << QStringLiteral("[RPC] [%1] %2 %3").arg(user).arg(code).arg(text);
}

// ---------------------------------------------------------------- pass-throughs

UooRParamsDesc Controller::uooParamsDesc(quint32 code) const
{
    return paramServer ? paramServer->uooParamsDesc(code) : UooRParamsDesc();
}

std::unique_ptr<UooDescriptorSnapshot> Controller::openDescriptorSnapshot()
{
    return paramServer ? paramServer->openDescriptorSnapshot() : nullptr;
}

qint64 Controller::pushBacklog() const
{
    return rpcController ? rpcController->pacingBacklog() : 0;
}

bool Controller::hasUoo(quint32 code) const
{
    return paramServer && paramServer->hasUoo(code);
}

bool Controller::scheduleNewParams(quint32 code, const UooRParamsDesc& request)
{
    return paramServer && paramServer->scheduleNewParams(code, request);
}

bool Controller::cancelNewParams(quint32 code, const UooRParamsDesc& request)
{
    return paramServer && paramServer->cancelNewParams(code, request);
}

bool Controller::changeUooGuardState(quint32)
{
    // The server carries out no guard-state change: the operation always
    // reports the device as busy.
    return false;
}

// ---------------------------------------------------------------- event forwarding
//
// Nothing here may log: every log line comes through reportSysLogToAll.

void Controller::reportSysLogToAll(QString msg)
{
    if (!rpcController) {
        return;
    }
    forwardSysLog(pushRecipients(rpcController->getClients()), msg);
}

void Controller::processUooStateChange(quint32 codeUoo)
{
    if (!paramServer || !rpcController) {
        return;
    }
    forwardUooState(pushRecipients(rpcController->authManager()->connectedClients()),
                    paramServer->uooDescriptor(codeUoo));
}

void Controller::uooParamsStateChanged(quint32 code)
{
    if (!rpcController) {
        return;
    }
    forwardParamsState(pushRecipients(rpcController->authManager()->connectedClients()), code);
}

QList<quint64> Controller::pushRecipients(const QList<quint64>& all) const
{
    if (pushBeforeLogin || !rpcController) {
        return pushBeforeLogin ? all : QList<quint64>();
    }
    return rpcController->authManager()->loggedInClients();
}

void Controller::forwardMany(const QList<quint64>& clients, const QString& name,
                             const QVariant& value)
{
    if (!rpcController) {
        return;
    }
    // Both live on the main thread, where every push starts: a direct call.
    rpcController->rpcForwardMany(clients, name, value);
}

void Controller::forwardSysLog(QList<quint64> clients, QString text)
{
    forwardMany(clients, RpcMessage::SysLogMessage, QVariant(text));
}

void Controller::forwardUooState(QList<quint64> clients, UooDescriptor descriptor)
{
    forwardMany(clients, RpcMessage::NewUooState, QVariant::fromValue(descriptor));
}

void Controller::forwardUooRemoved(QList<quint64> clients, UooDescriptor descriptor)
{
    forwardMany(clients, RpcMessage::UooRemoved, QVariant::fromValue(descriptor));
}

void Controller::forwardParamsState(QList<quint64> clients, quint32 code)
{
    forwardMany(clients, RpcMessage::NewParamsState, QVariant(code));
}
