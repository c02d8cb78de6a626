#include "loghandler.h"

#include "controller.h"
#include "logwriter.h"
#include "qtservice.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace LogHandler {

namespace {

std::atomic<bool> echoToStderr{false};

// Started once and never deleted: lines may come from any thread until the end.
QAtomicPointer<LogWriter> writer;

// A line logged while the same thread is already inside the handler (for
// example a warning raised while a line is being forwarded) still reaches the
// event log and standard error, but is not forwarded again: forwarding it would
// start an endless chain of lines.
thread_local bool insideHandler = false;

} // namespace

LevelInfo levelInfo(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return {"DEBUG", QtServiceBase::Information, 257};
    case QtWarningMsg:
        return {"WARNING", QtServiceBase::Warning, 258};
    case QtCriticalMsg:
        return {"CRITICAL", QtServiceBase::Error, 259};
    case QtFatalMsg:
        return {"FATAL", QtServiceBase::Error, 259};
    default:
        return {"INFO", QtServiceBase::Information, 257};
    }
}

QString formatLine(const QDateTime& time, QtMsgType type, const QString& message)
{
    QString text = message;
    text.remove(QLatin1Char('"'));
    return time.toString(QStringLiteral("yy.MM.dd-hh:mm:ss")) + QLatin1String(" >> [") +
           QLatin1String(levelInfo(type).name) + QLatin1String("] ") + text + QLatin1Char('\n');
}

void writeLine(const QString& line, QtMsgType type)
{
    if (echoToStderr.load(std::memory_order_relaxed)) {
        const QByteArray bytes = line.toLocal8Bit();
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    }
    if (QtServiceBase* service = QtServiceBase::instance()) {
        const LevelInfo info = levelInfo(type);
        service->logMessage(line, static_cast<QtServiceBase::MessageType>(info.eventType),
                            info.eventId, 0);
    }
}

void flushEcho()
{
    if (echoToStderr.load(std::memory_order_relaxed)) {
        std::fflush(stderr);
    }
}

void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (!QtServiceBase::instance()) {
        return;
    }
    const QString line = formatLine(QDateTime::currentDateTime(), type, message);
    LogWriter* const lineWriter = writer.loadAcquire();
    if (type == QtFatalMsg || lineWriter == nullptr || !lineWriter->post(line, type)) {
        // The process ends after a fatal line: the lines before it first.
        if (type == QtFatalMsg && lineWriter != nullptr) {
            lineWriter->finish();
        }
        writeLine(line, type);
        flushEcho();
    }

    if (insideHandler) {
        return;
    }
    insideHandler = true;
    Controller::handOverSysLogLine(line);
    insideHandler = false;
}

void startWriter()
{
    if (writer.loadAcquire() != nullptr) {
        return;
    }
    auto* created = new LogWriter();
    created->start();
    writer.storeRelease(created);
    std::atexit(&finishWriter);
}

void finishWriter()
{
    if (LogWriter* lineWriter = writer.loadAcquire()) {
        lineWriter->finish();
    }
}

void install()
{
    qInstallMessageHandler(&messageHandler);
}

void setEchoToStderr(bool echo)
{
    echoToStderr.store(echo, std::memory_order_relaxed);
}

} // namespace LogHandler
