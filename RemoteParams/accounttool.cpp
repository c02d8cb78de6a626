#include "accounttool.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QVariant>

#if defined(Q_OS_UNIX)
#include <termios.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

// The digest a workstation sends: 32 hexadecimal digits (the built-in account's
// has this form). Anything else is refused, so that a password typed in its
// place is not stored as if it were the digest.
bool isDigest(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^[0-9a-fA-F]{32}$"));
    return form.match(text).hasMatch();
}

// Echo of the terminal off for the scope's lifetime (when input is a terminal).
class EchoOff
{
public:
    EchoOff()
    {
#if defined(Q_OS_UNIX)
        active = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
        if (active) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
#elif defined(Q_OS_WIN)
        input = GetStdHandle(STD_INPUT_HANDLE);
        active = GetConsoleMode(input, &saved) != 0;
        if (active) {
            SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        }
#endif
    }
    ~EchoOff()
    {
#if defined(Q_OS_UNIX)
        if (active) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        }
#elif defined(Q_OS_WIN)
        if (active) {
            SetConsoleMode(input, saved);
        }
#endif
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    bool isTerminal() const { return active; }

private:
    bool active = false;
#if defined(Q_OS_UNIX)
    termios saved{};
#elif defined(Q_OS_WIN)
    HANDLE input = nullptr;
    DWORD saved = 0;
#endif
};

} // namespace

AccountTool::AccountTool(const QString& databasePath, const PasswordHash::Cost& cost)
    : path(databasePath), cost(cost)
{
}

int AccountTool::run(const QStringList& arguments, QTextStream& in, QTextStream& out,
                     QTextStream& err)
{
    if (arguments.value(1) == QLatin1String(HashAccounts) && arguments.size() == 2) {
        return hashAccounts(out, err);
    }
    if (arguments.value(1) == QLatin1String(SetPassword) && arguments.size() == 3) {
        return setPassword(arguments.at(2), readSecret(in, out), out, err);
    }
    err << "usage: " << arguments.value(0) << " --hash-accounts | --set-password LOGIN\n";
    return 2;
}

QString AccountTool::readSecret(QTextStream& in, QTextStream& out)
{
    const EchoOff echo;
    if (echo.isTerminal()) {
        out << "Password digest (32 hexadecimal digits): " << Qt::flush;
    }
    const QString line = in.readLine(4096);
    if (echo.isTerminal()) {
        out << "\n" << Qt::flush;
    }
    return line.trimmed();
}

bool AccountTool::open(QTextStream& err)
{
    if (!QFileInfo(path).isFile()) {
        err << "ERROR: no account database " << QFileInfo(path).absoluteFilePath() << "\n";
        return false;
    }
    connection = QStringLiteral("vemo_account_tool");
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(path);
    // The running service may be writing: wait for it rather than fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open() || !db.tables().contains(QStringLiteral("rpc_users"))) {
        err << "ERROR: " << QFileInfo(path).absoluteFilePath()
            << " cannot be opened or holds no table rpc_users " << db.lastError().text() << "\n";
        return false;
    }
    return true;
}

void AccountTool::close()
{
    if (connection.isEmpty()) {
        return;
    }
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
    connection.clear();
}

int AccountTool::hashAccounts(QTextStream& out, QTextStream& err)
{
    if (!open(err)) {
        close();
        return 1;
    }
    int hashed = 0;
    int already = 0;
    int unreadable = 0;
    int failed = 0;
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        QSqlQuery rows(db);
        rows.setForwardOnly(true);
        if (!rows.exec(QStringLiteral("SELECT rowid, login, pwd FROM rpc_users"))) {
            err << "ERROR: " << rows.lastError().text() << "\n";
            failed = 1;
        }
        struct Row
        {
            qint64 rowid;
            QString login;
            QString stored;
        };
        QList<Row> plain;
        while (rows.next()) {
            const QString login = rows.value(1).toString();
            if (rows.value(2).isNull()) {
                continue; // no password: matches nothing, stays so
            }
            const QString stored = rows.value(2).toString();
            switch (PasswordHash::formOf(stored)) {
            case PasswordHash::Form::Plain:
                plain.append({rows.value(0).toLongLong(), login, stored});
                break;
            case PasswordHash::Form::Hashed:
                ++already;
                break;
            case PasswordHash::Form::Unreadable:
                ++unreadable;
                err << "account " << login
                    << ": the stored password is of an unknown scheme or damaged; left as it is\n";
                break;
            }
        }
        rows.finish();
        for (const Row& row : plain) {
            QString hash;
            QString why;
            if (!PasswordHash::hash(row.stored, cost, &hash, &why)) {
                err << "ERROR: account " << row.login << " not hashed: " << why << "\n";
                ++failed;
                continue;
            }
            QSqlQuery update(db);
            update.prepare(
                QStringLiteral("UPDATE rpc_users SET pwd=:hash WHERE rowid=:id AND pwd=:was"));
            update.bindValue(QStringLiteral(":hash"), hash);
            update.bindValue(QStringLiteral(":id"), row.rowid);
            update.bindValue(QStringLiteral(":was"), row.stored);
            if (!update.exec()) {
                err << "ERROR: account " << row.login << " not written: "
                    << update.lastError().text() << "\n";
                ++failed;
                continue;
            }
            hashed += update.numRowsAffected() > 0 ? 1 : 0;
        }
    }
    close();
    out << "accounts hashed: " << hashed << "; already hashed: " << already
        << "; unreadable, left as they are: " << unreadable << "; failed: " << failed << "\n";
    return failed == 0 ? 0 : 1;
}

int AccountTool::setPassword(const QString& login, const QString& digest, QTextStream& out,
                             QTextStream& err)
{
    if (!isDigest(digest)) {
        err << "ERROR: a password digest is 32 hexadecimal digits, as a workstation sends it; "
               "nothing changed\n";
        return 2;
    }
    QString hash;
    QString why;
    if (!PasswordHash::hash(digest.toLower(), cost, &hash, &why)) {
        err << "ERROR: the digest could not be hashed: " << why << "; nothing changed\n";
        return 1;
    }
    if (!open(err)) {
        close();
        return 1;
    }
    int changed = -1;
    QString error;
    {
        QSqlQuery update(QSqlDatabase::database(connection, false));
        update.prepare(QStringLiteral("UPDATE rpc_users SET pwd=:hash WHERE login=:login"));
        update.bindValue(QStringLiteral(":hash"), hash);
        update.bindValue(QStringLiteral(":login"), login);
        if (update.exec()) {
            changed = update.numRowsAffected();
        } else {
            error = update.lastError().text();
        }
    }
    close();
    if (changed < 0) {
        err << "ERROR: " << error << "\n";
        return 1;
    }
    if (changed == 0) {
        err << "ERROR: no account " << login << "\n";
        return 1;
    }
    out << "password of " << login << " set (stored as its hash)\n";
    return 0;
}
