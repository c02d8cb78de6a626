// A tiny service for the tests: every call of the framework prints one line on
// standard output ("start <arguments>", "stop", "pause", "resume",
// "command <n>", finally "exit <result>"). The name comes from
// QTSERVICE_TEST_NAME, default "Qt Service Test". User command 99 ends the
// event loop with 3; user command 98 blocks the main thread for 1.5 s between
// the status texts "blocking" and "unblocked".

#include "qtservice.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

QString serviceNameFromEnvironment()
{
    const QString name = qEnvironmentVariable("QTSERVICE_TEST_NAME");
    return name.isEmpty() ? QStringLiteral("Qt Service Test") : name;
}

} // namespace

class TestService : public QtService<QCoreApplication>
{
public:
    TestService(int argc, char** argv)
        : QtService<QCoreApplication>(argc, argv, serviceNameFromEnvironment())
    {
        setServiceDescription(QStringLiteral("Test service of the service framework"));
        setServiceFlags(QtServiceBase::NeedsStopOnShutdown);
        setStartupType(QtServiceController::AutoStartup);
    }

protected:
    void start() override
    {
        say(QStringLiteral("start ") + QCoreApplication::arguments().join(QLatin1Char(' ')));
    }
    void stop() override { say(QStringLiteral("stop")); }
    void pause() override { say(QStringLiteral("pause")); }
    void resume() override { say(QStringLiteral("resume")); }
    void processCommand(int code) override
    {
        say(QStringLiteral("command %1").arg(code));
        if (code == 99) {
            QCoreApplication::exit(3);
        }
        if (code == 98) {
            reportStatusText(QStringLiteral("blocking"));
            QThread::msleep(1500);
            reportStatusText(QStringLiteral("unblocked"));
        }
    }
};

int main(int argc, char** argv)
{
    TestService service(argc, argv);
    const int result = service.exec();
    say(QStringLiteral("exit %1").arg(result));
    return result;
}
