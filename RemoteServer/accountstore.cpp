#include "accountstore.h"

#include "passwordhash.h"

const QString AccountStore::BuiltInLogin = QStringLiteral("adminvemo");
const QString AccountStore::PublishedDigest = QStringLiteral("5f1d0c8e2a7b4963d0e18c2f7a9b3e64");

QByteArray AccountStore::permissionBytes(const QList<quint8>& permissions)
{
    QByteArray bytes;
    bytes.reserve(permissions.size());
    for (quint8 code : permissions) {
        bytes.append(static_cast<char>(code));
    }
    return bytes;
}

QList<quint8> AccountStore::permissionCodes(const QByteArray& bytes)
{
    QList<quint8> codes;
    codes.reserve(bytes.size());
    for (char byte : bytes) {
        codes.append(static_cast<quint8>(byte));
    }
    return codes;
}

QString AccountStore::storedPassword(const QString& pwd)
{
    return PasswordHash::formOf(pwd) == PasswordHash::Form::Plain ? pwd.toLower() : pwd;
}
