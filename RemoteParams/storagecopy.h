#pragma once

#include <QString>

class QTextStream;

// Moving a station to PostgreSQL, run from the machine itself with the service
// stopped:
//
//   paramserver --copy-storage   copies the records, the action log and the
//                                accounts of the SQLite files of the data
//                                directory into the empty PostgreSQL database
//                                that Storage/Connection names, checks the
//                                counts and says what it copied
//
// A target that holds any row is refused, but for the built-in account as the
// schema was created with it, which the copy replaces with the SQLite file's
// accounts; the SQLite files are only read.
class StorageCopy
{
public:
    static constexpr const char* Option = "--copy-storage";

    explicit StorageCopy(const QString& paramsFile, const QString& accountsFile,
                         const QString& connection);

    // The process's exit status: 0 when everything was copied and counted.
    int run(QTextStream& out, QTextStream& err);

private:
    QString paramsFile;
    QString accountsFile;
    QString connection;
};
