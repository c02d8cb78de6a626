#pragma once

#include "paramctloptions.h"

#include <QList>
#include <QString>
#include <QStringList>

// Batch files of paramctl: one command a line, written as on the command line.
class ParamCtlBatch
{
public:
    // A batch larger than this, or with more commands, is refused as a whole.
    static constexpr qint64 MaxBytes = 4 * 1024 * 1024;
    static constexpr int MaxCommands = 10000;

    // Splits a line into words: blanks separate words; "double" and 'single'
    // quotes keep blanks; a backslash outside single quotes takes the next
    // character as it is. False with error on an open quote or a trailing
    // backslash.
    static bool splitWords(const QString& line, QStringList* words, QString* error);

    // The commands of a batch text, each with its line number; a bad line gives
    // a command with its error, prefixed with "source:line: ". Blank lines and
    // lines starting with # are skipped. False with error when the text holds
    // more than MaxCommands commands.
    static bool parse(const QString& text, const QString& source, QList<ParamCtlCommand>* commands,
                      QString* error);

    // Reads a batch file ("-": standard input) as UTF-8. False with error.
    static bool read(const QString& file, QString* text, QString* error);
};
