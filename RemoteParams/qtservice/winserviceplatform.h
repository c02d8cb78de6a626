#pragma once

#include "qtserviceplatform.h"

// The service framework on the Windows service control manager and event log.
// The functions of "advapi32" are resolved by name at run time; the binding is
// available once OpenSCManagerW was found, and every operation fails (false,
// empty text, nothing written) until then.
class WinServicePlatform : public QtServicePlatform
{
public:
    WinServicePlatform() = default;

    QString platformName() const override;
    bool isAvailable() override;
    QString executablePath() const override;

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

private:
    bool control(const QString& name, unsigned long access, unsigned long code);
    void rememberLastError();
};
