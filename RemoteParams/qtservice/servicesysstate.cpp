#include "qtservice.h"

#include "qtservice_p.h"
#include "qtserviceplatform.h"

#include <QAtomicPointer>
#include <QCoreApplication>

namespace {

QAtomicPointer<ServiceSysState> currentSysState;

} // namespace

ServiceSysState* ServiceSysState::current()
{
    return currentSysState.loadAcquire();
}

void ServiceSysState::setCurrent(ServiceSysState* state)
{
    currentSysState.storeRelease(state);
}

void ServiceSysState::setState(quint32 state)
{
    QMutexLocker lock(&statusMutex);
    if (finished) {
        // A control that was still being handled when the loop ended must
        // not report the service as running again after it stopped.
        return;
    }
    status.currentState = state;
    if (platform->isAvailable()) {
        platform->reportStatus(status);
    }
}

void ServiceSysState::report()
{
    QMutexLocker lock(&statusMutex);
    if (platform->isAvailable()) {
        platform->reportStatus(status);
    }
}

void ServiceSysState::reportUnlessStopped()
{
    QMutexLocker lock(&statusMutex);
    if (status.currentState != QtServiceState::Stopped && platform->isAvailable()) {
        platform->reportStatus(status);
    }
}

void ServiceSysState::setControlsAccepted(QtServiceBase::ServiceFlags flags)
{
    QMutexLocker lock(&statusMutex);
    status.controlsAccepted = QtServiceBasePrivate::controlsAccepted(flags);
}

// ---------------------------------------------------------------------------
// The callbacks the platform's dispatcher calls on the dispatcher thread.

namespace {

class RunCallbacks : public QtServiceRunCallbacks
{
public:
    void serviceMain(const QStringList& arguments) override
    {
        ServiceSysState* state = ServiceSysState::current();
        QtServiceBase* service = QtServiceBase::instance();
        if (!state || !service) {
            return;
        }
        state->serviceArguments << arguments;
        state->startSemaphore.release();
        // The main thread creates the application and the handler object.
        state->startSemaphore2.acquire();
        if (state->aborted) {
            return;
        }
        if (state->platform->registerControlHandler(service->serviceName())) {
            controlHandler(256);
        }
    }

    void controlHandler(int code) override
    {
        ServiceSysState* state = ServiceSysState::current();
        if (!state) {
            return;
        }
        QMutexLocker lock(&state->mutex);
        switch (code) {
        case 256:
            state->setState(QtServiceState::StartPending);
            if (post(state, lock, QtServiceEvent::Start)) {
                state->setState(QtServiceState::Running);
            }
            break;
        case 1:
            state->setState(QtServiceState::StopPending);
            post(state, lock, QtServiceEvent::Stop);
            break;
        case 2:
            state->setState(QtServiceState::PausePending);
            if (post(state, lock, QtServiceEvent::Pause)) {
                state->setState(QtServiceState::Paused);
            }
            break;
        case 3:
            state->setState(QtServiceState::ContinuePending);
            if (post(state, lock, QtServiceEvent::Resume)) {
                state->setState(QtServiceState::Running);
            }
            break;
        case 5:
            post(state, lock, QtServiceEvent::Stop);
            break;
        default:
            if (code >= 128 && code <= 255) {
                post(state, lock, code + 1000);
            }
            break;
        }
        lock.unlock();
        state->reportUnlessStopped();
    }

private:
    // Posts the event while holding the mutex, so that the main thread's
    // wake-up cannot be lost, and waits until the main thread has handled it.
    // Once the main loop has ended nothing is posted, and a waiter is released;
    // the result tells whether the main thread handled the event.
    static bool post(ServiceSysState* state, QMutexLocker& lock, int type)
    {
        Q_UNUSED(lock);
        if (state->closed || !state->handler) {
            return false;
        }
        state->eventHandled = false;
        QCoreApplication::postEvent(state->handler, new QEvent(QEvent::Type(type)));
        while (!state->eventHandled && !state->closed) {
            state->condition.wait(&state->mutex);
        }
        return state->eventHandled;
    }
};

RunCallbacks runCallbacks;

} // namespace

// ---------------------------------------------------------------------------
// HandlerThread

HandlerThread::HandlerThread(const QString& name, const QStringList& processArguments,
                             ServiceSysState* state)
    : name(name), processArguments(processArguments), state(state)
{
}

void HandlerThread::run()
{
    QString errorText;
    const QtServicePlatform::DispatchResult result =
        state->platform->runDispatcher(name, processArguments, &runCallbacks, &errorText);
    if (result == QtServicePlatform::DispatchResult::Finished) {
        return;
    }
    success = false;
    if (result == QtServicePlatform::DispatchResult::NotStartedByManager) {
        console = true;
    } else if (QtServiceBase* service = QtServiceBase::instance()) {
        service->logMessage(QStringLiteral("The Service failed to start [%1]").arg(errorText),
                            QtServiceBase::Error);
    }
    state->startSemaphore.release();
}

// ---------------------------------------------------------------------------
// QtServiceControllerHandler

QtServiceControllerHandler::QtServiceControllerHandler(ServiceSysState* state, QObject* parent)
    : QObject(parent), state(state)
{
}

bool QtServiceControllerHandler::event(QEvent* e)
{
    const int type = e->type();
    if (type < QEvent::User || type > QEvent::MaxUser) {
        return QObject::event(e);
    }
    // Wakes the dispatcher thread however the service operation ends, an
    // exception caught by the application object included.
    struct Wake
    {
        ServiceSysState* state;
        ~Wake()
        {
            QMutexLocker lock(&state->mutex);
            state->eventHandled = true;
            state->condition.wakeAll();
        }
    } wake{state};

    QtServiceBase* service = QtServiceBase::instance();
    if (service) {
        service->d_ptr->handleControlEvent(type);
    }
    return true;
}
