#include "passwordhash.h"

#include <QByteArray>

#include <sodium.h>

#include <cerrno>
#include <cstring>

namespace {

bool startsLikeArgon2(const QByteArray& text)
{
    return text.startsWith(crypto_pwhash_argon2id_STRPREFIX) ||
           text.startsWith(crypto_pwhash_argon2i_STRPREFIX);
}

// Whether libsodium can read the string: it decodes it while answering whether
// the parameters differ, and answers -1 for a string it cannot decode.
bool readable(const QByteArray& text)
{
    if (text.size() >= static_cast<int>(crypto_pwhash_STRBYTES) || !startsLikeArgon2(text)) {
        return false;
    }
    const bool argon2id = text.startsWith(crypto_pwhash_argon2id_STRPREFIX);
    const int answer =
        argon2id ? crypto_pwhash_argon2id_str_needs_rehash(
                       text.constData(), crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE,
                       crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE)
                 : crypto_pwhash_argon2i_str_needs_rehash(text.constData(),
                                                          crypto_pwhash_argon2i_OPSLIMIT_INTERACTIVE,
                                                          crypto_pwhash_argon2i_MEMLIMIT_INTERACTIVE);
    return answer != -1;
}

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

bool PasswordHash::initialise()
{
    return sodium_init() >= 0;
}

PasswordHash::Cost PasswordHash::interactive()
{
    return Cost{crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

PasswordHash::Form PasswordHash::formOf(const QString& stored)
{
    if (!stored.startsWith(QLatin1Char('$'))) {
        return Form::Plain;
    }
    return initialise() && readable(stored.toLatin1()) ? Form::Hashed : Form::Unreadable;
}

PasswordHash::Verdict PasswordHash::verify(const QString& stored, const QString& digest,
                                           QString* error)
{
    const QByteArray given = digest.toUtf8();
    switch (formOf(stored)) {
    case Form::Plain: {
        // The comparison the earlier versions made, exact, without giving away
        // through its time how much of the text matched.
        const QByteArray expected = stored.toUtf8();
        const bool same = !stored.isNull() && expected.size() == given.size() &&
                          sodium_memcmp(expected.constData(), given.constData(),
                                        static_cast<size_t>(given.size())) == 0;
        return same ? Verdict::Match : Verdict::Mismatch;
    }
    case Form::Unreadable:
        return Verdict::Unreadable;
    case Form::Hashed:
        break;
    }
    const QByteArray text = stored.toLatin1();
    errno = 0;
    if (crypto_pwhash_str_verify(text.constData(), given.constData(),
                                 static_cast<unsigned long long>(given.size())) == 0) {
        return Verdict::Match;
    }
    // A mismatch sets EINVAL; anything else is the library failing.
    if (errno == ENOMEM) {
        if (error) {
            *error = errnoText(errno);
        }
        return Verdict::Failure;
    }
    return Verdict::Mismatch;
}

bool PasswordHash::hash(const QString& digest, const Cost& cost, QString* out, QString* error)
{
    if (!initialise()) {
        if (error) {
            *error = QStringLiteral("libsodium cannot be initialised");
        }
        return false;
    }
    const QByteArray given = digest.toUtf8();
    char result[crypto_pwhash_STRBYTES] = {};
    errno = 0;
    if (crypto_pwhash_str(result, given.constData(), static_cast<unsigned long long>(given.size()),
                          cost.opslimit, cost.memlimit) != 0) {
        if (error) {
            *error = errnoText(errno != 0 ? errno : EINVAL);
        }
        return false;
    }
    *out = QString::fromLatin1(result);
    return true;
}

bool PasswordHash::needsRehash(const QString& stored, const Cost& cost)
{
    switch (formOf(stored)) {
    case Form::Plain:
        return true;
    case Form::Unreadable:
        return false;
    case Form::Hashed:
        break;
    }
    const QByteArray text = stored.toLatin1();
    // An Argon2i string always differs from the Argon2id parameters: answer 1.
    return crypto_pwhash_str_needs_rehash(text.constData(), cost.opslimit, cost.memlimit) != 0;
}
