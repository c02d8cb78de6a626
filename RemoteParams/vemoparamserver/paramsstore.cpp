#include "paramsstore.h"

#include "paramsdatabase.h"
#ifdef VEMO_HAVE_POSTGRESQL
#include "pgparamsdatabase.h"
#endif

std::unique_ptr<ParamsStore> ParamsStore::create(const StorageSettings& settings,
                                                 const QString& connectionName)
{
#ifdef VEMO_HAVE_POSTGRESQL
    if (settings.backend == StorageSettings::Backend::PostgreSql) {
        return std::make_unique<PgParamsDatabase>(connectionName, settings.connection);
    }
#endif
    return std::make_unique<ParamsDatabase>(connectionName, settings.paramsFile);
}
