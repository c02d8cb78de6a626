#include "paramsstore.h"

#include "paramsdatabase.h"
#ifdef VEMO_HAVE_POSTGRESQL
#include "pgparamsdatabase.h"
#endif

#include <QDebug>

std::unique_ptr<ParamsStore> ParamsStore::create(const StorageSettings& settings,
                                                 const QString& connectionName)
{
#ifdef VEMO_HAVE_POSTGRESQL
    if (settings.backend == StorageSettings::Backend::PostgreSql) {
        return std::make_unique<PgParamsDatabase>(connectionName, settings.connection,
                                                  settings.fence);
    }
#endif
    return std::make_unique<ParamsDatabase>(connectionName, settings.paramsFile);
}

void ParamsStore::finishReadRow(ParamsRow& row, bool repaired, bool deviceSetTooLarge,
                                bool newSetTooLarge, ReadReport* report, int* messages)
{
    UooRParamsDesc& record = row.record;
    if (deviceSetTooLarge) {
        repaired = true;
        record.uooparams.clear();
        record.state = UooRParamsDesc::PAR_STATE_WAIT_SEND;
    }
    if (newSetTooLarge) {
        repaired = true;
        record.localparams.clear();
        record.localtime = QDateTime();
        record.writeLeft = 0;
        record.leftToSend = 0;
        if (record.state > UooRParamsDesc::PAR_STATE_IDLE) {
            record.state = UooRParamsDesc::PAR_STATE_IDLE;
        }
    }
    if (repaired) {
        ++report->rowsRepaired;
        if ((*messages)++ < MaxRowMessages) {
            qCritical().noquote().nospace()
                << "ERROR: Запись УОО " << QString::number(row.uoo)
                << " в таблице desc содержит недопустимые значения; загружена с исправлениями";
        }
    }
}
