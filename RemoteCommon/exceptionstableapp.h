#pragma once

#include <QCoreApplication>
#include <stdexcept>

// Thrown by an event handler to ask for a restart of the whole program.
class ForceRestartException : public std::runtime_error
{
public:
    explicit ForceRestartException(const std::string& reason) : std::runtime_error(reason) {}
};

// Thrown by an event handler to ask for an orderly end of the program.
class ImmediateExitApplication : public std::runtime_error
{
public:
    explicit ImmediateExitApplication(const std::string& reason) : std::runtime_error(reason) {}
};

// The application object of the service program. Its event dispatch catches every
// exception that escapes an event handler and turns it into an exit code of the
// main event loop: 0 to end, -1 to restart after a second, -10 to restart after
// ten seconds.
class ExceptionStableApp : public QCoreApplication
{
    Q_OBJECT
public:
    ExceptionStableApp(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};
