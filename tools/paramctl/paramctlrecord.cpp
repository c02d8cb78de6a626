#include "paramctlrecord.h"

#include <QStringList>

QString ParamCtlRecord::escape(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            result += QLatin1String("\\\\");
            break;
        case '\t':
            result += QLatin1String("\\t");
            break;
        case '\n':
            result += QLatin1String("\\n");
            break;
        case '\r':
            result += QLatin1String("\\r");
            break;
        default:
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
        switch (u) {
        case '"':
            result += QLatin1String("\\\"");
            break;
        case '\\':
            result += QLatin1String("\\\\");
            break;
        case '\n':
            result += QLatin1String("\\n");
            break;
        case '\r':
            result += QLatin1String("\\r");
            break;
        case '\t':
            result += QLatin1String("\\t");
            break;
        default:
            // Other control characters, and the two line separators that some
            // JavaScript readers take for line ends, as \u escapes.
            if (u < 0x20 || u == 0x2028 || u == 0x2029) {
                result += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
            } else {
                result += c;
            }
        }
    }
    result += QLatin1Char('"');
    return result;
}

ParamCtlRecord& ParamCtlRecord::text(const QString& name, const QString& value)
{
    fields.append({name, escape(value), jsonString(value)});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::number(const QString& name, qint64 value)
{
    const QString digits = QString::number(value);
    fields.append({name, digits, digits});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::boolean(const QString& name, bool value, const char* yes,
                                        const char* no)
{
    fields.append({name, QLatin1String(value ? yes : no),
                   value ? QStringLiteral("true") : QStringLiteral("false")});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::numbers(const QString& name, const QList<quint8>& values)
{
    QStringList parts;
    for (quint8 value : values) {
        parts << QString::number(value);
    }
    fields.append({name, parts.isEmpty() ? QStringLiteral("-") : parts.join(QLatin1Char(',')),
                   QLatin1Char('[') + parts.join(QLatin1Char(',')) + QLatin1Char(']')});
    return *this;
}

ParamCtlRecord& ParamCtlRecord::optionalText(const QString& name, const QString& value, bool set)
{
    if (set) {
        return text(name, value);
    }
    fields.append({name, QStringLiteral("-"), QStringLiteral("null")});
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

QString ParamCtlRecord::tsv() const
{
    QString line;
    for (const Field& field : fields) {
        if (!line.isEmpty()) {
            line += QLatin1Char('\t');
        }
        // Concatenation rather than chained arg(): a text holding "%1" stays as it is.
        line += field.name + QLatin1Char('=') + field.tsv;
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
        line += jsonString(field.name) + QLatin1Char(':') + field.json;
    }
    return line + QLatin1Char('}');
}
