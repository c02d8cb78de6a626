#include "systemdunitfile.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include "systemdunittemplate.h"

namespace {

bool hasControlCharacters(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return true;
        }
    }
    return false;
}

// A value where systemd expands specifiers: '%' stands for itself as "%%".
QString escapeSpecifiers(QString text)
{
    return text.replace(QLatin1Char('%'), QLatin1String("%%"));
}

// One command-line word of ExecStart=: double-quoted, C escapes for '\' and
// '"', and neither specifiers nor variables expanded.
QString quoteCommandWord(const QString& word)
{
    QString quoted;
    quoted.reserve(word.size() + 2);
    quoted += QLatin1Char('"');
    for (const QChar c : word) {
        switch (c.unicode()) {
        case '\\':
            quoted += QLatin1String("\\\\");
            break;
        case '"':
            quoted += QLatin1String("\\\"");
            break;
        case '%':
            quoted += QLatin1String("%%");
            break;
        case '$':
            quoted += QLatin1String("$$");
            break;
        default:
            quoted += c;
            break;
        }
    }
    quoted += QLatin1Char('"');
    return quoted;
}

// The template with every "@NAME@" replaced by its field, in one pass, so
// that a field's own text is never taken for a placeholder.
QString fillTemplate(const QString& text, const QHash<QString, QString>& fields)
{
    static const QRegularExpression placeholder(QStringLiteral("@([A-Z_]+)@"));
    QString result;
    int from = 0;
    QRegularExpressionMatchIterator it = placeholder.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const auto field = fields.constFind(match.captured(1));
        if (field == fields.constEnd()) {
            continue;
        }
        result += text.midRef(from, match.capturedStart() - from);
        result += field.value();
        from = match.capturedEnd();
    }
    result += text.midRef(from);
    return result;
}

// A status text on one line.

} // namespace

QString SystemdUnitFile::unitName(const QString& serviceName)
{
    if (serviceName.isEmpty()) {
        return QString();
    }
    const QByteArray bytes = serviceName.toUtf8();
    QString unit;
    for (int i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes.at(i));
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == ':' || c == '_' || c == '-' ||
                           (c == '.' && i > 0);
        if (plain) {
            unit += QLatin1Char(char(c));
        } else if (c == ' ') {
            unit += QLatin1Char('_');
        } else {
            unit += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        }
    }
    unit += QLatin1String(".service");
    if (unit.size() > 255) {
        return QString();
    }
    return unit;
}

QString SystemdUnitFile::userName(const QString& account)
{
    const QtServiceAccount resolved = QtServiceAccount::resolve(account, QString());
    if (resolved.localSystem) {
        return QStringLiteral("root");
    }
    QString user = resolved.account;
    if (user.startsWith(QLatin1String(".\\"))) {
        user = user.mid(2);
    }
    // Domain accounts do not exist here; a user name is what useradd accepts,
    // or a numeric user id.
    static const QRegularExpression valid(
        QStringLiteral("^(?:[A-Za-z_][A-Za-z0-9_.-]{0,30}\\$?|[0-9]{1,10})$"));
    if (!valid.match(user).hasMatch()) {
        return QString();
    }
    return user;
}

QByteArray SystemdUnitFile::text(const QtServiceInstallRequest& request)
{
    const QString path = request.executablePath;
    if (path.isEmpty() || !QFileInfo(path).isAbsolute() || hasControlCharacters(path)) {
        return QByteArray();
    }
    const QString directory = QFileInfo(path).absolutePath();
    if (directory != directory.trimmed() || directory.endsWith(QLatin1Char('\\'))) {
        return QByteArray();
    }
    const QString user = userName(request.account);
    if (user.isEmpty()) {
        return QByteArray();
    }
    QString description = request.description.isEmpty() ? request.name : request.description;
    for (QChar& c : description) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            c = QLatin1Char(' ');
        }
    }
    description = description.trimmed();
    while (description.endsWith(QLatin1Char('\\'))) {
        description.chop(1);
    }

    const QHash<QString, QString> fields{
        {QStringLiteral("DESCRIPTION"), escapeSpecifiers(description)},
        {QStringLiteral("EXEC_START"), quoteCommandWord(path)},
        {QStringLiteral("WORKING_DIRECTORY"), escapeSpecifiers(directory)},
        {QStringLiteral("USER"), user},
    };
    return fillTemplate(QString::fromUtf8(templateText()), fields).toUtf8();
}

QByteArray SystemdUnitFile::templateText()
{
    return QByteArray(SystemdUnitTemplate);
}
