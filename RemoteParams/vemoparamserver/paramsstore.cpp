#include "paramsstore.h"

#include "paramsdatabase.h"
#include "pgparamsdatabase.h"

std::unique_ptr<ParamsStore> ParamsStore::create(const StorageSettings& settings,
                                                 const QString& connectionName)
{
    if (settings.backend == StorageSettings::Backend::PostgreSql) {
        return std::make_unique<PgParamsDatabase>(connectionName, settings.connection);
    }
    return std::make_unique<ParamsDatabase>(connectionName, settings.paramsFile);
}
