#pragma once

#include "qtserviceplatform.h"

// The platform when the system's service manager cannot be reached (its
// library cannot be loaded, or none exists): nothing is installed or running,
// install and start fail, nothing reaches the event log.
class UnavailableServicePlatform : public QtServicePlatform
{
public:
    UnavailableServicePlatform() = default;

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
};
