# The RPC administration server: RpcController, RpcAuthManager, VemoRPCPeer and the
# permission and audit tables.
add_library(RemoteServer STATIC
    ${CMAKE_CURRENT_LIST_DIR}/rpcauthmanager.cpp ${CMAKE_CURRENT_LIST_DIR}/rpcauthmanager.h
    ${CMAKE_CURRENT_LIST_DIR}/rpccontroller.cpp ${CMAKE_CURRENT_LIST_DIR}/rpccontroller.h
    ${CMAKE_CURRENT_LIST_DIR}/rpcloginattempts.cpp ${CMAKE_CURRENT_LIST_DIR}/rpcloginattempts.h
    ${CMAKE_CURRENT_LIST_DIR}/rpcpermissions.cpp ${CMAKE_CURRENT_LIST_DIR}/rpcpermissions.h
    ${CMAKE_CURRENT_LIST_DIR}/vemorpcpeer.cpp ${CMAKE_CURRENT_LIST_DIR}/vemorpcpeer.h
    ${CMAKE_CURRENT_LIST_DIR}/irpcbackend.h
    ${CMAKE_CURRENT_LIST_DIR}/devicelistframe.cpp ${CMAKE_CURRENT_LIST_DIR}/devicelistframe.h
    ${CMAKE_CURRENT_LIST_DIR}/devicelistreplies.cpp ${CMAKE_CURRENT_LIST_DIR}/devicelistreplies.h
)
target_include_directories(RemoteServer PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                                               ${CMAKE_CURRENT_LIST_DIR}/rpcpeer)
target_link_libraries(RemoteServer PUBLIC RpcPeer RpcTypes RemoteCommon Qt5::Network Qt5::Sql)
