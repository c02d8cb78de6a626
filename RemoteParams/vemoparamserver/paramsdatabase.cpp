#include "paramsdatabase.h"

#include "clock.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char* const CreateLog = "CREATE TABLE log (id INTEGER PRIMARY KEY, message INTEGER, uoo "
                              "INTEGER, time INTEGER, remark INTEGER)";
const char* const CreateDesc =
    "CREATE TABLE desc (uoo INTEGER PRIMARY KEY, state INTEGER, writeLeft INTEGER, leftToSend "
    "INTEGER, device INTEGER, pversion INTEGER, uootime INTEGER, uootimetemp "
    "INTEGER,localtime INTEGER, uooparams INTEGER, localparams INTEGER)";
const char* const SelectDesc = "SELECT uoo, state, writeLeft, leftToSend, device, pversion, "
                               "uootime, uootimetemp, localtime, uooparams, localparams FROM desc";
const char* const DeleteDesc = "DELETE FROM desc";
const char* const DescColumns =
    "desc (uoo, state, writeLeft, leftToSend, device, pversion, uootime, uootimetemp, "
    "localtime, uooparams, localparams) VALUES (:uoo, :state, :writeLeft, :leftToSend, "
    ":device, :pversion, :uootime, :uootimetemp, :localtime, :uooparams, :localparams)";
const char* const InsertLog = "INSERT INTO log (message, uoo, time, remark) VALUES              "
                              "   (:message, :uoo, :time,:remark)";

} // namespace

ParamsDatabase::ParamsDatabase(Clock* clock, const QString& connectionName, const QString& fileName)
    : m_clock(clock != nullptr ? clock : Clock::system()), m_connectionName(connectionName),
      m_fileName(fileName)
{
}

ParamsDatabase::~ParamsDatabase()
{
    close();
    if (m_db.isValid()) {
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

bool ParamsDatabase::open()
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(m_fileName);
    if (!m_db.open()) {
        qCritical() << "ERROR: Ошибка открытия файла БД параметров";
        return false;
    }

    QSqlQuery pragma(m_db);
    QString mode = QStringLiteral("DEFAULT");
    if (pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL;")) && pragma.next()) {
        mode = pragma.value(0).toString();
    }
    qDebug().noquote() << "Режим журналирования БД ресурсов выставлен в " << mode;

    if (!checkDataConsistency()) {
        qCritical() << "ERROR: Ошибка проверки целостности файлов БД параметров. Требуется "
                       "ручное восстановление.";
    }
    return true;
}

bool ParamsDatabase::isOpen() const
{
    return m_db.isValid() && m_db.isOpen();
}

void ParamsDatabase::close()
{
    if (isOpen()) {
        m_db.close();
    }
}

bool ParamsDatabase::checkDataConsistency()
{
    const QStringList existing = m_db.tables(QSql::Tables);
    const struct
    {
        const char* name;
        const char* statement;
    } required[] = {{"log", CreateLog}, {"desc", CreateDesc}};

    for (const auto& table : required) {
        if (existing.contains(QLatin1String(table.name))) {
            continue;
        }
        qDebug().noquote() << "Создание таблицы параметров " << table.name;
        QSqlQuery query(m_db);
        if (!query.exec(QString::fromLatin1(table.statement))) {
            qDebug().noquote() << "ERROR: " << query.lastError().text();
            return false;
        }
    }
    return true;
}

QVector<ParamsRow> ParamsDatabase::loadFromDb()
{
    QVector<ParamsRow> rows;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.exec(QString::fromLatin1(SelectDesc))) {
        qCritical().noquote() << "Ошибка чтения из БД параметров: " << query.lastError().text();
        return rows;
    }
    while (query.next()) {
        ParamsRow row;
        // Keys were bound as signed 32-bit numbers; keep the bit pattern.
        row.uoo = static_cast<quint32>(query.value(0).toLongLong());
        UooRParamsDesc& record = row.record;
        record.uoo = row.uoo;
        record.state = query.value(1).toInt();
        record.writeLeft = query.value(2).toInt();
        record.leftToSend = query.value(3).toInt();
        record.device = query.value(4).toString();
        record.pversion = query.value(5).toString();
        record.uootime = query.value(6).toDateTime();
        record.uootimetemp = query.value(7).toDateTime();
        record.localtime = query.value(8).toDateTime();
        record.uooparams = query.value(9).toByteArray();
        record.localparams = query.value(10).toByteArray();
        rows.append(std::move(row));
    }
    return rows;
}

bool ParamsDatabase::saveToDb(const QVector<ParamsRowRef>& rows)
{
    return writeRows(QStringLiteral("INSERT INTO ") + QLatin1String(DescColumns), rows, true);
}

bool ParamsDatabase::saveRecords(const QVector<ParamsRowRef>& rows)
{
    return writeRows(QStringLiteral("INSERT OR REPLACE INTO ") + QLatin1String(DescColumns), rows,
                     false);
}

bool ParamsDatabase::writeRows(const QString& statement, const QVector<ParamsRowRef>& rows,
                               bool deleteFirst)
{
    if (!isOpen()) {
        return false;
    }
    // The delete and the inserts form one transaction, so a failure part way
    // leaves the table as it was.
    if (!m_db.transaction()) {
        qCritical().noquote() << "Ошибка записи в БД параметров: " << m_db.lastError().text();
        return false;
    }
    QSqlQuery query(m_db);
    if (deleteFirst && !query.exec(QString::fromLatin1(DeleteDesc))) {
        qCritical().noquote() << "Ошибка записи в БД параметров: " << query.lastError().text();
        m_db.rollback();
        return false;
    }
    if (!query.prepare(statement)) {
        qCritical().noquote() << "Ошибка сохранения таблицы параметров: "
                              << query.lastError().text();
        m_db.rollback();
        return false;
    }
    for (const ParamsRowRef& row : rows) {
        if (row.record == nullptr) {
            continue;
        }
        const UooRParamsDesc& record = *row.record;
        query.bindValue(QStringLiteral(":uoo"), static_cast<qint32>(row.uoo));
        query.bindValue(QStringLiteral(":state"), record.state);
        query.bindValue(QStringLiteral(":writeLeft"), record.writeLeft);
        query.bindValue(QStringLiteral(":leftToSend"), record.leftToSend);
        query.bindValue(QStringLiteral(":device"), record.device);
        query.bindValue(QStringLiteral(":pversion"), record.pversion);
        query.bindValue(QStringLiteral(":uootime"), record.uootime);
        query.bindValue(QStringLiteral(":uootimetemp"), record.uootimetemp);
        query.bindValue(QStringLiteral(":localtime"), record.localtime);
        query.bindValue(QStringLiteral(":uooparams"), record.uooparams);
        query.bindValue(QStringLiteral(":localparams"), record.localparams);
        if (!query.exec()) {
            qCritical().noquote() << "Ошибка записи в БД параметров: " << query.lastError().text();
            query.finish();
            m_db.rollback();
            return false;
        }
    }
    query.finish();
    if (!m_db.commit()) {
        qCritical().noquote() << "Ошибка записи в БД параметров: " << m_db.lastError().text();
        m_db.rollback();
        return false;
    }
    return true;
}

bool ParamsDatabase::logParamAction(quint32 uoo, int message, const QString& remark)
{
    const QDateTime now = m_clock->currentDateTime();
    QSqlQuery query(m_db);
    query.prepare(QString::fromLatin1(InsertLog));
    query.bindValue(QStringLiteral(":message"), message);
    query.bindValue(QStringLiteral(":uoo"), static_cast<qint32>(uoo));
    query.bindValue(QStringLiteral(":time"), now);
    query.bindValue(QStringLiteral(":remark"), remark);
    if (!query.exec()) {
        qWarning().noquote() << "SQL error in logParamAction: " << query.lastError().text();
        return false;
    }
    return true;
}
