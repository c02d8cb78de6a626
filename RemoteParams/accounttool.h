#pragma once

#include "passwordhash.h"

#include <QString>
#include <QStringList>

class QTextStream;

// The account commands of the service program, run from the machine itself on
// the resource database of the data directory (the service may be running):
//
//   paramserver --hash-accounts       every row that still holds a plain digest is
//                                     given its hash; says how many
//   paramserver --set-password LOGIN  reads a digest (standard input, or the
//                                     terminal without echo) and stores its hash
//                                     as the account's password
class AccountTool
{
public:
    explicit AccountTool(const QString& databasePath,
                         const PasswordHash::Cost& cost = PasswordHash::interactive());

    static constexpr const char* HashAccounts = "--hash-accounts";
    static constexpr const char* SetPassword = "--set-password";

    // Runs the command the arguments name; the process's exit status.
    int run(const QStringList& arguments, QTextStream& in, QTextStream& out, QTextStream& err);

    int hashAccounts(QTextStream& out, QTextStream& err);
    int setPassword(const QString& login, const QString& digest, QTextStream& out,
                    QTextStream& err);

    // Reads one line of standard input; from a terminal, after a prompt and without
    // echo.
    static QString readSecret(QTextStream& in, QTextStream& out);

private:
    bool open(QTextStream& err);
    void close();

    QString path;
    PasswordHash::Cost cost;
    QString connection;
};
