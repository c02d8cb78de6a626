#pragma once

#include "exceptionstableapp.h"
#include "qtservice.h"

#include <QStringList>

class Controller;

// The service object of the service program: gives the service its identity,
// creates the controller when the service starts and deletes it when it stops,
// and re-launches the program when the event loop asks for a restart.
class ReceiverService : public QtService<ExceptionStableApp>
{
public:
    ReceiverService(int argc, char** argv);
    ~ReceiverService() override;

    // The arguments of the detached copy for an event-loop result, or an empty
    // list when the result asks for no restart (anything outside -30 ... -1).
    static QStringList restartArguments(int loopResult);

    Controller* currentServiceController() const { return controller; }

    // The user command ("paramserver -c 1", or control code 129 of the service
    // manager) that restarts the service: its handler throws the restart
    // request, and the program restarts as after any exception that escapes an
    // event handler. Other command codes do nothing.
    static constexpr int RestartCommand = 1;

    // What the service manager is told once the controller's start-up has run:
    // where both servers listen, or why they do not.
    static QString readinessText(const Controller* controller);

protected:
    void start() override;
    void stop() override;
    int executeApplication() override;
    void processCommand(int code) override;

    // Starts the detached copy; a failure is not reported.
    virtual void launchDetached(const QString& program, const QStringList& arguments);

private:
    // Where the service manager restarts the service: waits out what the
    // requested delay has beyond the manager's own, keeping the event loop
    // turning. False when a stop request came meanwhile.
    bool waitBeforeRestart(int seconds, int managerDelay);

    Controller* controller = nullptr;
};
