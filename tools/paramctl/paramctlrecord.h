#pragma once

#include <QList>
#include <QString>
#include <QVector>

// One output item of paramctl: named fields in order, written either as one
// tab-separated line of name=value fields or as one JSON object.
//
// In the tab-separated form texts are escaped so that a field never holds a tab
// or a line break: backslash as \\, tab as \t, line feed as \n, carriage return
// as \r. In the JSON form texts are JSON strings, numbers are numbers.
class ParamCtlRecord
{
public:
    // A text field.
    ParamCtlRecord& text(const QString& name, const QString& value);
    ParamCtlRecord& number(const QString& name, qint64 value);
    ParamCtlRecord& boolean(const QString& name, bool value, const char* yes, const char* no);
    // "3,6" ("-" for none) in the tab-separated form, [3,6] in JSON.
    ParamCtlRecord& numbers(const QString& name, const QList<quint8>& values);
    // A text that may be unset: "-" in the tab-separated form, null in JSON.
    ParamCtlRecord& optionalText(const QString& name, const QString& value, bool set);
    // The fields of another record, after these.
    ParamCtlRecord& append(const ParamCtlRecord& other);
    // A copy without the named field.
    ParamCtlRecord without(const QString& name) const;

    QString tsv() const;
    QString json() const;
    QString line(bool asJson) const { return asJson ? json() : tsv(); }

    static QString escape(const QString& text);
    static QString jsonString(const QString& text);

private:
    // Values are kept as given and written in the form asked for only.
    enum class Kind : quint8 { Text, Literal, Boolean, List, Unset };
    struct Field
    {
        QString name;
        QString value; // Text: as given; Literal: digits; Boolean: its word; List: "3,6"
        Kind kind = Kind::Text;
        bool flag = false; // a Boolean's value
    };
    static void appendTsv(QString* line, const Field& field);
    static QString jsonValue(const Field& field);
    QVector<Field> fields;
};
