#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The process-wide message handler of the service program. Every message becomes
// one line "yy.MM.dd-hh:mm:ss >> [LEVEL] text\n" that goes to the service
// framework's event log and, through the controller, to every RPC client.
namespace LogHandler {

struct LevelInfo
{
    const char* name;
    int eventType; // QtServiceBase::MessageType
    int eventId;
};

LevelInfo levelInfo(QtMsgType type);

// Builds the line for a message: the time, the level name and the text with every
// double quote removed.
QString formatLine(const QDateTime& time, QtMsgType type, const QString& message);

// The handler itself, installed with qInstallMessageHandler.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

void install();

// From here on lines are written by a LogWriter thread, not by the thread that
// logs them (a fatal line still at once, after those before it). finishWriter()
// writes what waits and returns to writing at once; it also runs at exit.
void startWriter();
void finishWriter();

// In a console run every line is also written to standard error.
void setEchoToStderr(bool echo);

// Writes one formatted line to the event log and, when echoing, to standard error
// (flushed by flushEcho). Whoever writes the lines calls these.
void writeLine(const QString& line, QtMsgType type);
void flushEcho();

} // namespace LogHandler
