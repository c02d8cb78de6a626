#include "paramdialog.h"

#include "qtservice.h"
#include "servicesettings.h"

#include <QMessageBox>
#include <QSettings>
#include <QStringList>

namespace {

QString serviceName()
{
    return QString::fromLatin1(ServiceSettings::ServiceName);
}

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

// The store of the parameter service in the given scope.
QSettings openStore(QSettings::Scope scope)
{
    return QSettings(QSettings::NativeFormat, scope,
                     QString::fromLatin1(ServiceSettings::Organization),
                     QString::fromLatin1(ServiceSettings::Application));
}

} // namespace

ParamDialog::ParamDialog(QWidget* parent) : QDialog(parent)
{
    setupUi(this);
    loadServiceSettings();
    connect(pushButton, SIGNAL(clicked(bool)), this, SLOT(saveServiceSettings()));
}

void ParamDialog::loadServiceSettings()
{
    const QtServiceController controller(serviceName());
    QString status = tr("Служба не установлена");
    if (controller.isInstalled())
        status =
            tr("%1 © 2018 ООО «Колвант». Все права защищены.").arg(controller.serviceDescription());
    copyrightLabel->setText(status);

    QSettings settings = openStore(QSettings::SystemScope);
    if (!settings.value(key(ServiceSettings::SettingsSavedKey), false).toBool()) {
        // Older versions of the service kept their settings per user. If the tool
        // never saved system-wide but did per user, carry those values over once;
        // the per-user store itself stays as it is.
        QSettings user = openStore(QSettings::UserScope);
        if (user.value(key(ServiceSettings::SettingsSavedKey), false).toBool()) {
            const QStringList keys = user.allKeys();
            for (const QString& k : keys)
                settings.setValue(k, user.value(k));
            settings.sync();
        }
    }

    settings.beginGroup(key(ServiceSettings::NetworkGroup));
    paramPortEdit->setText(
        settings.value(key(ServiceSettings::ParamsPortKey), ServiceSettings::DefaultParamsPort)
            .toString());
    admPortEdit->setText(
        settings.value(key(ServiceSettings::RpcPortKey), ServiceSettings::DefaultRpcPort)
            .toString());
    settings.endGroup();
}

void ParamDialog::saveServiceSettings()
{
    if (paramPortEdit->text().isEmpty() || admPortEdit->text().isEmpty()) {
        QMessageBox::warning(this, tr("Внимание!"),
                             tr("Для работы службы параметров VEMO необходимо указать порт "
                                "Сервера параметров и порт администрирования."),
                             QMessageBox::Ok);
        return;
    }

    QtServiceController controller(serviceName());
    if (!controller.isInstalled()) {
        QMessageBox::critical(this, tr("Внимание!"),
                              tr("Служба Сервера параметров VEMO не установлена в менеджере "
                                 "служб Windows. Проверьте правильность установки и повторите "
                                 "попытку"),
                              QMessageBox::Ok);
        return;
    }

    pushButton->setEnabled(false);

    QSettings settings = openStore(QSettings::SystemScope);
    settings.setValue(key(ServiceSettings::SettingsSavedKey), true);
    settings.beginGroup(key(ServiceSettings::NetworkGroup));
    // No range check: text that is not a decimal number is stored as 0.
    settings.setValue(key(ServiceSettings::ParamsPortKey),
                      paramPortEdit->text().toInt(nullptr, 10));
    settings.setValue(key(ServiceSettings::RpcPortKey), admPortEdit->text().toInt(nullptr, 10));
    settings.endGroup();
    settings.sync();

    const QSettings::Status result = settings.status();
    if (result == QSettings::AccessError) {
        QMessageBox::critical(this, tr("Внимание!"),
                              tr("Ошибка сохранения настроек в реестр: нет доступа. Попробуйте "
                                 "запустить эту программу от имени Администратора"),
                              QMessageBox::Ok);
    } else if (result != QSettings::NoError) {
        QMessageBox::critical(this, tr("Внимание!"),
                              tr("Ошибка сохранения настроек в реестр: неверный формат"),
                              QMessageBox::Ok);
    } else {
        // The service reads its ports only when it starts. Neither result is
        // reported: a service that fails to restart shows up in the service manager.
        controller.stop();
        controller.start();
        QMessageBox::information(this, tr("Внимание!"),
                                 tr("Настройки сохранены в реестр, служба параметров VEMO была %1")
                                     .arg(tr("перезапущена")),
                                 QMessageBox::Ok);
    }

    pushButton->setEnabled(true);
}
