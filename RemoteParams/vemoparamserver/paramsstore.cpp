#include "paramsstore.h"

#include "paramsdatabase.h"

std::unique_ptr<ParamsStore> ParamsStore::create(const StorageSettings& settings,
                                                 const QString& connectionName)
{
    return std::make_unique<ParamsDatabase>(connectionName, settings.paramsFile);
}
