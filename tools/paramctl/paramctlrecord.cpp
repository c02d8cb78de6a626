#include "paramctlrecord.h"

#include <QStringList>

#include <algorithm>

namespace {

// The characters that both the text and the JSON forms write as a backslash
// sequence; null for any other.
const char* backslashSequence(ushort u)
{
    switch (u) {
    case '\\':
        return "\\\\";
    case '\t':
        return "\\t";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    default:
        return nullptr;
    }
}

} // namespace

QString ParamCtlRecord::escape(const QString& text)
{
    const auto plain = [](QChar c) { return backslashSequence(c.unicode()) == nullptr; };
    if (std::all_of(text.cbegin(), text.cend(), plain)) {
        return text;
    }
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (const char* sequence = backslashSequence(c.unicode())) {
            result += QLatin1String(sequence);
        } else {
            result += c;
        }
    }
    return result;
}

QString ParamCtlRecord::jsonString(const QString& text)
{
    QString result;
    result.reserve(text.size() + 2);
    result += QLatin1Char('"');
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '"') {
            result += QLatin1String("\\\"");
        } else if (const char* sequence = backslashSequence(u)) {
            result += QLatin1String(sequence);
        } else if (u < 0x20 || u == 0x2028 || u == 0x2029) {
            // Other control characters, and the two line separators that some
            // JavaScript readers take for line ends, as \u escapes.
            result += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        } else {
            result += c;
        }
    }
    result += QLatin1Char('"');
    return result;
}

ParamCtlRecord& ParamCtlRecord::text(const QString& name, const QString& value)
{
    fields.append({name, value, Kind::Text, false});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::number(const QString& name, qint64 value)
{
    fields.append({name, QString::number(value), Kind::Literal, false});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::boolean(const QString& name, bool value, const char* yes,
                                        const char* no)
{
    fields.append({name, QLatin1String(value ? yes : no), Kind::Boolean, value});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::numbers(const QString& name, const QList<quint8>& values)
{
    QStringList parts;
    for (quint8 value : values) {
        parts << QString::number(value);
    }
    fields.append({name, parts.join(QLatin1Char(',')), Kind::List, false});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::optionalText(const QString& name, const QString& value, bool set)
{
    if (set) {
        return text(name, value);
    }
    fields.append({name, QString(), Kind::Unset, false});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::append(const ParamCtlRecord& other)
{
    fields += other.fields;
    return *this;
}

ParamCtlRecord ParamCtlRecord::without(const QString& name) const
{
    ParamCtlRecord copy;
    for (const Field& field : fields) {
        if (field.name != name) {
            copy.fields.append(field);
        }
    }
    return copy;
}

void ParamCtlRecord::appendTsv(QString* line, const Field& field)
{
    // Concatenation rather than chained arg(): a text holding "%1" stays as it is.
    *line += field.name;
    *line += QLatin1Char('=');
    switch (field.kind) {
    case Kind::Text:
        *line += escape(field.value);
        break;
    case Kind::List:
        *line += field.value.isEmpty() ? QStringLiteral("-") : field.value;
        break;
    case Kind::Unset:
        *line += QLatin1Char('-');
        break;
    case Kind::Literal:
    case Kind::Boolean:
        *line += field.value;
        break;
    }
}

QString ParamCtlRecord::jsonValue(const Field& field)
{
    switch (field.kind) {
    case Kind::Text:
        return jsonString(field.value);
    case Kind::List:
        return QLatin1Char('[') + field.value + QLatin1Char(']');
    case Kind::Unset:
        return QStringLiteral("null");
    case Kind::Boolean:
        return field.flag ? QStringLiteral("true") : QStringLiteral("false");
    case Kind::Literal:
        break;
    }
    return field.value;
}

QString ParamCtlRecord::tsv() const
{
    QString line;
    line.reserve(32 * fields.size());
    for (const Field& field : fields) {
        if (!line.isEmpty()) {
            line += QLatin1Char('\t');
        }
        appendTsv(&line, field);
    }
    return line;
}

QString ParamCtlRecord::json() const
{
    QString line = QStringLiteral("{");
    for (const Field& field : fields) {
        if (line.size() > 1) {
            line += QLatin1Char(',');
        }
        line += jsonString(field.name) + QLatin1Char(':') + jsonValue(field);
    }
    return line + QLatin1Char('}');
}
