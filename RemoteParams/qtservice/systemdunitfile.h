#pragma once

#include "qtserviceplatform.h"

#include <QByteArray>
#include <QString>

// The systemd unit of a service: its name and its text. The text comes from
// one template (paramserver.service.in, compiled in) whose "@NAME@" fields are
// filled here, both for "-i" and for the unit a package installs.
class SystemdUnitFile
{
public:
    // "<name>.service": ASCII letters, digits, ':', '_', '.' and '-' stay,
    // a blank becomes '_', every other byte of the UTF-8 form becomes "\xNN".
    // Empty when the name cannot make a unit name (empty or too long).
    static QString unitName(const QString& serviceName);
    // The unit template with its "@NAME@" fields.
    static QByteArray templateText();
    // The unit file for an install; empty when the request cannot be written
    // as one (no absolute program path, control characters, an account that
    // cannot be a user name on this system).
    static QByteArray text(const QtServiceInstallRequest& request);
    // The user a service installed under this account runs as; empty when the
    // account cannot be one here. The local system account is root.
    static QString userName(const QString& account);
};
