#pragma once

#include "bindaddress.h"
#include "irpcbackend.h"
#include "irpcdispatcher.h"
#include "pushbacklog.h"
#include "paramsstore.h"
#ifdef VEMO_HAVE_POSTGRESQL
#include "pgaccountstore.h"
#endif
#include "rpcaccountstore.h"

#include <QAtomicPointer>
#include <QDateTime>
#include <QObject>
#include <QSqlDatabase>
#include <QVariant>

#include <memory>

class RpcAuthManager;
class RpcController;
class VemoParamServer;
class Clock;
class MetricsEndpoint;
class ClusterLease;

// The one object that owns the working parts of the service: the RPC
// administration server (with its logins), the UDP parameter server and the
// resource database with the RPC accounts.
class Controller : public QObject, public IRpcDispatcher, public IRpcBackend, public PushBacklog
{
    Q_OBJECT
public:
    explicit Controller(QObject* parent = nullptr);
    ~Controller() override;

    static QString buildInfoString();

    // Hands a log line to the current controller's reportSysLogToAll from any
    // thread: directly on the controller's thread, otherwise queued to it, and
    // dropped when there is no controller (or it is gone before the line gets
    // there). Safe while the controller is being deleted on its own thread.
    static void handOverSysLogLine(const QString& line);

    // The process ends with this controller: the device records are written to
    // the file, and their memory is left to the system rather than freed record
    // by record (see VemoParamServer::leaveRecordsToSystem).
    void prepareProcessEnd();

    bool isInitializedState() const { return isInitialized; }
    bool isRunningState() const { return isRunning; }
    quint16 rpcPortValue() const { return rpcPort; }
    quint16 paramsPortValue() const { return paramsPort; }
    // Where the RPC server listens, resolved when the settings were read.
    BindAddress rpcBindAddress() const { return bindAddress; }
    bool pushBeforeLoginValue() const { return pushBeforeLogin; }
    // The setting a failed start-up refused ("Storage/Connection", ...); empty
    // when the start-up did not fail on a setting.
    QString startupFailureSetting() const { return failedSetting; }
    // The node's role in a pair of nodes (Cluster/Node set: its name): active (a
    // single node always is, from its start, under term 0) or standby, the lease
    // term it holds it under, and since when. The metrics endpoint shows it
    // (/active, paramserver_role).
    QString clusterNode() const { return clusterNodeName; }
    bool isClusterActive() const { return clusterActive; }
    qint64 clusterTerm() const { return leaseTerm; }
    QDateTime clusterRoleSince() const { return roleSince; }
    // The loop ends with this code when a node stops being the active one: a
    // restart after 1 s, as a standby with the records read afresh.
    static constexpr int DemotedLoopCode = -1;

    // The store of the RPC accounts in use (table rpc_users in the resource
    // database, or in PostgreSQL). The accounts are the RPC server's, which is
    // handed the store when it is created.
    bool checkDataConsistecy();
    AccountStore* accountStore() { return accountsInUse; }

    // IRpcBackend: audit line of the RPC operations, pass-throughs to the parameter server.
    void sendToLog(const QString& user, int code, const QString& text) override;
    UooRParamsDesc uooParamsDesc(quint32 code) const override;
    std::unique_ptr<UooDescriptorSnapshot> openDescriptorSnapshot() override;
    bool hasUoo(quint32 code) const override;
    bool scheduleNewParams(quint32 code, const UooRParamsDesc& request) override;
    bool cancelNewParams(quint32 code, const UooRParamsDesc& request) override;
    bool changeUooGuardState(quint32 code) override;

    // PushBacklog: the RPC clients' output still to go.
    qint64 pushBacklog() const override;

    // IRpcDispatcher
    void forwardSysLog(QList<quint64> clients, QString text) override;
    void forwardUooState(QList<quint64> clients, UooDescriptor descriptor) override;
    void forwardUooRemoved(QList<quint64> clients, UooDescriptor descriptor) override;
    void forwardParamsState(QList<quint64> clients, quint32 code) override;

    RpcController* rpcServer() const { return rpcController; }
    VemoParamServer* parameterServer() const { return paramServer; }
    MetricsEndpoint* metricsEndpoint() const { return metrics; }

signals:
    void stopped();
    void started();
    void initialized();
    void notInitialized();
    void newSyslogMessage(QString);
    // A node of a pair became active or standby.
    void clusterRoleChanged(bool active);

public slots:
    void initialize();
    void debugClientMsg(QString);
    void sendToSysLog(QString text);
    void reportSysLogToAll(QString msg);
    void processUooStateChange(quint32 codeUoo);
    void start();
    void stop();
    void toggle();
    void restart();
    void applySettings();
    void publishGauges();
    // The role of a node of a pair, for the log, the service manager and the
    // metrics (on the controller's thread).
    void setClusterRole(bool active, qint64 term, const QDateTime& since);

private:
    void readSettings();
    // The configured store can be used (or is only unreachable for now); false
    // with its one log line when a setting is wrong or the database refuses us.
    bool checkStorage();
    bool checkStorageSettings();
    // A node of a pair: the lease taken (before the start-up read); false with
    // its line when the node's name is taken.
    bool openClusterLease();
    void startStandby();
    void takeOver(qint64 term, const QDateTime& since);
    void demote(const QString& reason);
    void uooParamsStateChanged(quint32 code);
    void forwardMany(const QList<quint64>& clients, const QString& name, const QVariant& value);
    // Who receives pushes: every connection, or (Rpc/PushBeforeLogin false) only
    // the logged-in ones among all.
    QList<quint64> pushRecipients(const QList<quint64>& all) const;

    bool isInitialized = false;
    bool isRunning = false;
    quint16 rpcPort = 0;
    quint16 paramsPort = 0;
    BindAddress bindAddress;
    // Network/BindAddress: where both servers listen unless something more
    // particular says otherwise; its text when it names no address.
    QHostAddress networkAddress{QHostAddress::Any};
    QString badNetworkAddress;
    int maxRpcClients = 0;
    int maxDevices = 0;
    bool pushBeforeLogin = true;
    QString failedSetting;
    bool clusterActive = true;
    qint64 leaseTerm = 0;
    QDateTime roleSince;
    RpcController* rpcController = nullptr;
    VemoParamServer* paramServer = nullptr;
    QSqlDatabase resourceDb;
    QVariant metricsHost;
    QVariant metricsPort;
    MetricsEndpoint* metrics = nullptr;
    StorageSettings storage;
    QString clusterNodeName;
    int clusterLeaseMs = 0;
    ClusterLease* lease = nullptr;
    QString storageBackend; // as set, for the log line when it is no backend we know
    bool storageAnswered = true; // at start-up
    RpcAccountStore accounts;
    // With Storage/Backend = postgresql, the accounts are there, not in the file.
#ifdef VEMO_HAVE_POSTGRESQL
    std::unique_ptr<PgAccountStore> pgAccounts;
#endif
    AccountStore* accountsInUse = &accounts;
};

// The one controller of the process, or null before it exists and after it is gone.
extern QAtomicPointer<Controller> currentController;
