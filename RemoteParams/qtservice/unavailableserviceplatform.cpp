#include "unavailableserviceplatform.h"

QString UnavailableServicePlatform::platformName() const
{
    return QStringLiteral("unavailable");
}

bool UnavailableServicePlatform::isAvailable()
{
    return false;
}

bool UnavailableServicePlatform::isInstalled(const QString&)
{
    return false;
}

bool UnavailableServicePlatform::isRunning(const QString&)
{
    return false;
}

QString UnavailableServicePlatform::serviceDescription(const QString&)
{
    return QString();
}

bool UnavailableServicePlatform::install(const QtServiceInstallRequest&)
{
    return false;
}

bool UnavailableServicePlatform::uninstall(const QString&)
{
    return false;
}

bool UnavailableServicePlatform::start(const QString&, const QStringList&)
{
    return false;
}

QtServicePlatform::StopState UnavailableServicePlatform::sendStop(const QString&)
{
    return StopState::Failed;
}

QtServicePlatform::StopState UnavailableServicePlatform::queryStopState(const QString&)
{
    return StopState::Failed;
}

bool UnavailableServicePlatform::pause(const QString&)
{
    return false;
}

bool UnavailableServicePlatform::resume(const QString&)
{
    return false;
}

bool UnavailableServicePlatform::sendCommand(const QString&, int)
{
    return false;
}

void UnavailableServicePlatform::writeEvent(const QString&, const QString&,
                                            QtServiceBase::MessageType, int, uint,
                                            const QByteArray&)
{
}

QtServicePlatform::DispatchResult UnavailableServicePlatform::runDispatcher(const QString&,
                                                                            const QStringList&,
                                                                            QtServiceRunCallbacks*,
                                                                            QString* errorText)
{
    if (errorText) {
        *errorText = QStringLiteral("no service manager");
    }
    return DispatchResult::Failed;
}

bool UnavailableServicePlatform::registerControlHandler(const QString&)
{
    return false;
}

void UnavailableServicePlatform::reportStatus(const QtServiceStatus&) {}
