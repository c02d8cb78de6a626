#include "paramctlbatch.h"

#include <QFile>

#include <cstdio>

bool ParamCtlBatch::splitWords(const QString& line, QStringList* words, QString* error)
{
    words->clear();
    QString word;
    bool inWord = false;
    QChar quote;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quote == QLatin1Char('\'')) {
            if (c == quote) {
                quote = QChar();
            } else {
                word += c;
            }
            continue;
        }
        if (c == QLatin1Char('\\')) {
            if (i + 1 >= line.size()) {
                *error = QStringLiteral("backslash at the end of the line");
                return false;
            }
            word += line.at(++i);
            inWord = true;
            continue;
        }
        if (quote == QLatin1Char('"')) {
            if (c == quote) {
                quote = QChar();
            } else {
                word += c;
            }
            continue;
        }
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord) {
                words->append(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (!quote.isNull()) {
        *error = QStringLiteral("quote %1 not closed").arg(quote);
        return false;
    }
    if (inWord) {
        words->append(word);
    }
    return true;
}

bool ParamCtlBatch::parse(const QString& text, const QString& source,
                          QList<ParamCtlCommand>* commands, QString* error)
{
    commands->clear();
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (commands->size() >= MaxCommands) {
            *error = QStringLiteral("%1: more than %2 commands").arg(source).arg(MaxCommands);
            commands->clear();
            return false;
        }
        const QString where = QStringLiteral("%1:%2: ").arg(source).arg(i + 1);
        QStringList words;
        QString wordError;
        ParamCtlCommand command;
        if (!splitWords(trimmed, &words, &wordError)) {
            command.error = wordError;
            command.errorCode = ParamCtlExitCode::BadBatchLine;
        } else {
            command = ParamCtlOptions::parseLine(words);
        }
        command.line = i + 1;
        if (!command.error.isEmpty()) {
            command.error.prepend(where);
        }
        commands->append(command);
    }
    return true;
}

bool ParamCtlBatch::read(const QString& file, QString* text, QString* error)
{
    QFile input;
    const bool opened = file == QLatin1String("-")
                            ? input.open(stdin, QIODevice::ReadOnly)
                            : (input.setFileName(file), input.open(QIODevice::ReadOnly));
    if (!opened) {
        *error = QStringLiteral("cannot read batch file %1: %2").arg(file, input.errorString());
        return false;
    }
    QByteArray bytes;
    for (;;) {
        const QByteArray chunk = input.read(64 * 1024);
        if (chunk.isEmpty()) {
            break;
        }
        bytes += chunk;
        if (bytes.size() > MaxBytes) {
            *error =
                QStringLiteral("batch file %1 is larger than %2 bytes").arg(file).arg(MaxBytes);
            return false;
        }
    }
    if (input.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read batch file %1: %2").arg(file, input.errorString());
        return false;
    }
    *text = QString::fromUtf8(bytes);
    return true;
}
