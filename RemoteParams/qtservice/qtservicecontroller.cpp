#include "qtservice.h"

#include "qtservice_p.h"
#include "qtserviceplatform.h"

namespace {

// A stop is polled at most this often, this far apart.
constexpr int StopPolls = 10;
constexpr int StopPollIntervalMs = 200;

} // namespace

class QtServiceControllerPrivate
{
public:
    QString serviceName;
};

QtServiceController::QtServiceController(const QString& name)
    : d_ptr(new QtServiceControllerPrivate)
{
    d_ptr->serviceName = name;
}

QtServiceController::~QtServiceController()
{
    delete d_ptr;
}

QString QtServiceController::serviceName() const
{
    return d_ptr->serviceName;
}

bool QtServiceController::isInstalled() const
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->isInstalled(d_ptr->serviceName);
}

bool QtServiceController::isRunning() const
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->isRunning(d_ptr->serviceName);
}

QString QtServiceController::serviceDescription() const
{
    QtServicePlatform* platform = QtServicePlatform::current();
    if (!platform->isAvailable()) {
        return QString();
    }
    return platform->serviceDescription(d_ptr->serviceName);
}

bool QtServiceController::start(const QStringList& arguments)
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->start(d_ptr->serviceName, arguments);
}

bool QtServiceController::start()
{
    return start(QStringList());
}

bool QtServiceController::stop()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    if (!platform->isAvailable()) {
        return false;
    }
    switch (platform->sendStop(d_ptr->serviceName)) {
    case QtServicePlatform::StopState::Failed:
        QtServiceBasePrivate::warnWithSystemError("stopping", platform->lastErrorText());
        return false;
    case QtServicePlatform::StopState::Stopped:
        return true;
    case QtServicePlatform::StopState::Pending:
        break;
    }
    // The caller is blocked for at most ten polls, about two seconds.
    for (int poll = 0; poll < StopPolls; ++poll) {
        platform->sleepBetweenPolls(StopPollIntervalMs);
        switch (platform->queryStopState(d_ptr->serviceName)) {
        case QtServicePlatform::StopState::Failed:
            return false;
        case QtServicePlatform::StopState::Stopped:
            return true;
        case QtServicePlatform::StopState::Pending:
            break;
        }
    }
    return false;
}

bool QtServiceController::pause()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->pause(d_ptr->serviceName);
}

bool QtServiceController::resume()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->resume(d_ptr->serviceName);
}

bool QtServiceController::sendCommand(int code)
{
    if (code < 0 || code > 127) {
        return false;
    }
    QtServicePlatform* platform = QtServicePlatform::current();
    if (!platform->isAvailable() || !platform->isRunning(d_ptr->serviceName)) {
        return false;
    }
    return platform->sendCommand(d_ptr->serviceName, code);
}

bool QtServiceController::uninstall()
{
    QtServicePlatform* platform = QtServicePlatform::current();
    return platform->isAvailable() && platform->uninstall(d_ptr->serviceName);
}
