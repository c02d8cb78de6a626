#include "rpcpermissions.h"

#include <QCoreApplication>

namespace RpcPermissions {

QString displayName(quint8 code)
{
    switch (code) {
    case ClientOperations:
        return QCoreApplication::translate("QObject", "Операции с клиентами");
    case FirmwareOperations:
        return QCoreApplication::translate("QObject", "Операции с прошивками");
    case RemoteFlashing:
        return QCoreApplication::translate("QObject", "Удаленная прошивка");
    case UooOperations:
        return QCoreApplication::translate("QObject", "Операции с УОО");
    default:
        return QString();
    }
}

bool grants(const QList<quint8>& held, quint8 code)
{
    return held.contains(All) || held.contains(code);
}

} // namespace RpcPermissions

namespace RpcAudit {

namespace {

QList<Entry> buildActions()
{
    const auto tr = [](const char* text) { return QCoreApplication::translate("QObject", text); };
    return {
        {1, AddServerUser, tr("Добавление пользователя сервера")},
        {1, ModifyServerUser, tr("Изменение пользователя сервера")},
        {1, DeleteServerUser, tr("Удаление пользователя сервера")},
        {1, AddRemoteClient, tr("Добавление удаленного клиента")},
        {1, ModifyRemoteClient, tr("Изменение удаленного клиента")},
        {1, DeleteRemoteClient, tr("Удаление удаленного клиента")},
        {1, ChangeUooGuardState, tr("Смена режима охраны УОО")},
    };
}

} // namespace

const QList<Entry>& actions()
{
    static const QList<Entry> table = buildActions();
    return table;
}

QString actionName(quint16 code)
{
    for (const Entry& entry : actions()) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return QString();
}

} // namespace RpcAudit
