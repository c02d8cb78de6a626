#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtEndian>

// Rows in PostgreSQL's binary COPY format, for COPY ... FROM STDIN (FORMAT
// binary): the signature and header, each row as its field count and the fields
// (a length, -1 for NULL, then the value in the type's binary form, big-endian),
// and the trailer. Integers are int4, texts UTF-8, bytea as it is, timestamps
// (without time zone) the local wall-clock time in microseconds since
// 2000-01-01 00:00.
class PgCopyBuffer
{
public:
    explicit PgCopyBuffer(int reserveBytes = 0);

    void startRow(int fields);
    void addNull();
    void addInt4(qint32 value);
    void addText(const QString& text);
    void addBytes(const QByteArray& bytes);
    // A null or invalid date-time is NULL.
    void addTimestamp(const QDateTime& time);
    // The trailer; the data is complete afterwards.
    void finish();

    const QByteArray& data() const { return bytes; }
    int rows() const { return rowCount; }

    // A field of a row received in the binary format: its value in place (null
    // for SQL NULL) and length.
    struct Field
    {
        const char* data = nullptr;
        int length = 0;
    };
    // Splits one row message of COPY ... TO STDOUT (FORMAT binary), the header
    // already stripped, into at most maxFields fields: their number, -1 for the
    // trailer, -2 for a message that is no well-formed row.
    static int splitRow(const char* data, int length, Field* fields, int maxFields);

    // The microseconds since 2000-01-01 00:00 of a local date-time, as a
    // timestamp column stores it.
    static qint64 timestampMicroseconds(const QDateTime& time);

private:
    // An integer as COPY's binary format has it: big-endian, of its own width.
    template <typename Integer>
    void appendBigEndian(Integer value)
    {
        char raw[sizeof(Integer)];
        qToBigEndian(value, raw);
        bytes.append(raw, sizeof(raw));
    }

    QByteArray bytes;
    int rowCount = 0;
};
