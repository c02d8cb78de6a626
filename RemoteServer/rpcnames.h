#pragma once

#include <QString>

// The names of the RPC administration protocol, shared by the server and the
// workstations: message names (the first field of every frame), the operation
// names carried as the first argument of the operation requests, and the result
// texts of the replies. A frame with a name nobody attached is dropped, so these
// texts are the protocol: change none of them.

namespace RpcMessage {
// Workstation to server.
inline const QString Login = QStringLiteral("LOGIN");
inline const QString GetClients = QStringLiteral("RPC_GET_CLIENTS_FROM_DB");
inline const QString ClientOperation = QStringLiteral("RPC_CLIENT_OPERATION");
inline const QString LoadUooState = QStringLiteral("RPC_LOAD_UOOSTATE_REQUEST");
inline const QString LoadParamsState = QStringLiteral("RPC_LOAD_PARAMSSTATE_REQUEST");
inline const QString UooOperation = QStringLiteral("RPC_KTC_UOO_OPERATION");
inline const QString UooParamsOperation = QStringLiteral("RPC_UOO_PARAMS_OPERATION");

// Server to workstation: replies.
inline const QString LoginResult = QStringLiteral("LOGIN_RESULT");
inline const QString ClientsList = QStringLiteral("RPC_CLIENTS_LIST");
inline const QString ClientOperationResult = QStringLiteral("RPC_CLIENT_OPERATION_RESULT");
inline const QString LoadUooStateResult = QStringLiteral("RPC_LOAD_UOOSTATE_RESULT");
inline const QString LoadParamsStateResult = QStringLiteral("RPC_LOAD_PARAMSSTATE_RESULT");
inline const QString UooOperationResult = QStringLiteral("RPC_KTC_UOO_OPERATION_RESULT");
inline const QString UooParamsOperationResult = QStringLiteral("RPC_UOO_PARAMS_OPERATION_RESULT");

// Server to workstation: pushed unasked to every logged-in workstation.
inline const QString SysLogMessage = QStringLiteral("RPC_SYS_LOG_MESSAGE");
inline const QString NewUooState = QStringLiteral("RPC_NEW_UOOSTATE");
inline const QString UooRemoved = QStringLiteral("RPC_UOO_REMOVED");
inline const QString NewParamsState = QStringLiteral("RPC_NEW_PARAMSSTATE");
} // namespace RpcMessage

namespace RpcOperation {
// Of ClientOperation.
inline const QString AddClient = QStringLiteral("RPC_ADD_NEW_CLIENT");
inline const QString DelClient = QStringLiteral("RPC_DEL_CLIENT");
inline const QString ModifyClient = QStringLiteral("RPC_MODIFY_CLIENT");
// Of UooOperation.
inline const QString ChangeUooGuardState = QStringLiteral("RPC_CHANGE_UOO_GUARD_STATE");
// Of UooParamsOperation.
inline const QString SendNewParams = QStringLiteral("RPC_UOO_PARAMS_OPERATION_SND_NEW");
inline const QString CancelNewParams = QStringLiteral("RPC_UOO_PARAMS_OPERATION_SND_CANCEL");
} // namespace RpcOperation

namespace RpcResult {
// Of LoginResult.
inline const QString LoginOk = QStringLiteral("LOGIN_OK");
inline const QString LoginFailed = QStringLiteral("LOGIN_FAILED");
// Of the operation replies.
inline const QString Ok = QStringLiteral("OK");
inline const QString Failed = QStringLiteral("FAILED");
inline const QString InvalidOperation = QStringLiteral("INVALID_OPERATION");
inline const QString InvalidLoginName = QStringLiteral("INVALID_LOGIN_NAME");
inline const QString UserAlreadyExists = QStringLiteral("USER_ALREADY_EXISTS");
inline const QString UserNotFound = QStringLiteral("USER_NOT_FOUND");
inline const QString InvalidP3Size = QStringLiteral("INVALID_P3_SIZE");
inline const QString UooNotFound = QStringLiteral("TESTING_UOO_NOT_FOUND");
inline const QString UooIsBusy = QStringLiteral("UOO_IS_BUSY");
} // namespace RpcResult
