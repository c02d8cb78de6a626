#include "paramctlformat.h"

#include <QHostAddress>
#include <QStringList>

QString ParamCtlFormat::escape(const QString& text)
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

QString ParamCtlFormat::permissions(const QList<quint8>& codes)
{
    if (codes.isEmpty()) {
        return QStringLiteral("-");
    }
    QStringList parts;
    for (quint8 code : codes) {
        parts << QString::number(code);
    }
    return parts.join(QLatin1Char(','));
}

bool ParamCtlFormat::parsePermissions(const QString& text, QList<quint8>* codes)
{
    codes->clear();
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed == QLatin1String("-")) {
        return true;
    }
    const QStringList parts = trimmed.split(QLatin1Char(','));
    for (const QString& part : parts) {
        bool ok = false;
        const uint code = part.trimmed().toUInt(&ok, 10);
        if (!ok || code > 255) {
            codes->clear();
            return false;
        }
        codes->append(static_cast<quint8>(code));
    }
    return true;
}

QString ParamCtlFormat::dateTime(const QDateTime& time)
{
    if (!time.isValid()) {
        return QStringLiteral("-");
    }
    QString text = time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (time.timeSpec() == Qt::UTC) {
        text += QLatin1Char('Z');
    }
    return text;
}

QString ParamCtlFormat::stateName(qint32 state)
{
    switch (state) {
    case UooRParamsDesc::PAR_STATE_WAIT_SEND:
        return QStringLiteral("WAIT_SEND");
    case UooRParamsDesc::PAR_STATE_IDLE:
        return QStringLiteral("IDLE");
    case UooRParamsDesc::PAR_STATE_WAIT_DWLD:
        return QStringLiteral("WAIT_DWLD");
    case UooRParamsDesc::PAR_STATE_WAIT_UPD:
        return QStringLiteral("WAIT_UPD");
    default:
        return QStringLiteral("UNKNOWN");
    }
}

QString ParamCtlFormat::client(const VemoRpcClient& client)
{
    // Concatenation rather than chained arg(): a text holding "%1" stays as it is.
    const QStringList fields{
        QLatin1String("login=") + escape(client.login),
        QLatin1String("permissions=") + permissions(client.permissions),
        QLatin1String("fullname=") + escape(client.fullname),
        QLatin1String("writesleft=") + QString::number(client.writesleft),
        QLatin1String("lastwrite=") + QString::number(client.lastwrite),
    };
    return fields.join(QLatin1Char('\t'));
}

QString ParamCtlFormat::descriptor(const UooDescriptor& d)
{
    const QStringList fields{
        QLatin1String("uoo=") + QString::number(d.uoo),
        QLatin1String("device=") + escape(d.device),
        QLatin1String("ip=") + QHostAddress(d.ip).toString(),
        QLatin1String("port=") + QString::number(d.port),
        QLatin1String("status=0x") + QStringLiteral("%1").arg(d.status, 2, 16, QLatin1Char('0')),
        QLatin1String("online=") +
            QLatin1String((d.status & UooDescriptor::StatusOnline) ? "yes" : "no"),
        QLatin1String("version=0x") + QStringLiteral("%1").arg(d.version, 6, 16, QLatin1Char('0')),
    };
    return fields.join(QLatin1Char('\t'));
}

QString ParamCtlFormat::params(const UooRParamsDesc& p)
{
    const QStringList fields{
        QLatin1String("uoo=") + QString::number(p.uoo),
        QLatin1String("state=") + QString::number(p.state),
        QLatin1String("statename=") + stateName(p.state),
        QLatin1String("writeleft=") + QString::number(p.writeLeft),
        QLatin1String("lefttosend=") + QString::number(p.leftToSend),
        QLatin1String("flags=") + QString::number(p.flags),
        QLatin1String("device=") + escape(p.device),
        QLatin1String("pversion=") + escape(p.pversion),
        QLatin1String("uootime=") + dateTime(p.uootime),
        QLatin1String("localtime=") + dateTime(p.localtime),
        QLatin1String("uooparams=") + QString::number(p.uooparams.size()),
        QLatin1String("localparams=") + QString::number(p.localparams.size()),
    };
    return fields.join(QLatin1Char('\t'));
}
