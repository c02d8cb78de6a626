#include "paramctlformat.h"

#include <QHostAddress>
#include <QStringList>

QString ParamCtlFormat::escape(const QString& text)
{
    return ParamCtlRecord::escape(text);
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

ParamCtlRecord ParamCtlFormat::clientRecord(const VemoRpcClient& client)
{
    return ParamCtlRecord()
        .text(QStringLiteral("login"), client.login)
        .numbers(QStringLiteral("permissions"), client.permissions)
        .text(QStringLiteral("fullname"), client.fullname)
        .number(QStringLiteral("writesleft"), client.writesleft)
        .number(QStringLiteral("lastwrite"), client.lastwrite);
}

ParamCtlRecord ParamCtlFormat::descriptorRecord(const UooDescriptor& d)
{
    return ParamCtlRecord()
        .number(QStringLiteral("uoo"), d.uoo)
        .text(QStringLiteral("device"), d.device)
        .text(QStringLiteral("ip"), QHostAddress(d.ip).toString())
        .number(QStringLiteral("port"), d.port)
        .text(QStringLiteral("status"),
              QStringLiteral("0x%1").arg(d.status, 2, 16, QLatin1Char('0')))
        .boolean(QStringLiteral("online"), (d.status & UooDescriptor::StatusOnline) != 0, "yes",
                 "no")
        .text(QStringLiteral("version"),
              QStringLiteral("0x%1").arg(d.version, 6, 16, QLatin1Char('0')));
}

ParamCtlRecord ParamCtlFormat::paramsRecord(const UooRParamsDesc& p)
{
    return ParamCtlRecord()
        .number(QStringLiteral("uoo"), p.uoo)
        .number(QStringLiteral("state"), p.state)
        .text(QStringLiteral("statename"), stateName(p.state))
        .number(QStringLiteral("writeleft"), p.writeLeft)
        .number(QStringLiteral("lefttosend"), p.leftToSend)
        .number(QStringLiteral("flags"), p.flags)
        .text(QStringLiteral("device"), p.device)
        .text(QStringLiteral("pversion"), p.pversion)
        .optionalText(QStringLiteral("uootime"), dateTime(p.uootime), p.uootime.isValid())
        .optionalText(QStringLiteral("localtime"), dateTime(p.localtime), p.localtime.isValid())
        .number(QStringLiteral("uooparams"), p.uooparams.size())
        .number(QStringLiteral("localparams"), p.localparams.size());
}

QString ParamCtlFormat::client(const VemoRpcClient& client)
{
    return clientRecord(client).tsv();
}

QString ParamCtlFormat::descriptor(const UooDescriptor& d)
{
    return descriptorRecord(d).tsv();
}

QString ParamCtlFormat::params(const UooRParamsDesc& p)
{
    return paramsRecord(p).tsv();
}
