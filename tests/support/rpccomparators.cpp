#include "rpccomparators.h"

#include "accountinfo.h"
#include "rpctypes.h"
#include "uoodescriptor.h"
#include "uoorparamsdesc.h"
#include "vemorpcclient.h"
#include "vemorpccredentials.h"

#include <QMetaType>

void registerRpcComparators()
{
    registerRpcTypes();
    QMetaType::registerEqualsComparator<VemoRpcCredentials>();
    QMetaType::registerEqualsComparator<VemoRpcClient>();
    QMetaType::registerEqualsComparator<QList<VemoRpcClient>>();
    QMetaType::registerEqualsComparator<UooDescriptor>();
    QMetaType::registerEqualsComparator<QList<UooDescriptor>>();
    QMetaType::registerEqualsComparator<UooRParamsDesc>();
    QMetaType::registerEqualsComparator<AccountInfo>();
    QMetaType::registerEqualsComparator<QList<quint8>>();
}
