#include "fakeserviceplatform.h"
#include "paramdialog.h"
#include "servicesettings.h"
#include "ui_paramdialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaMethod>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <memory>

namespace {

const QString Service = QStringLiteral("VEMO UOO_Params_Server service");
const QString Description = QStringLiteral("Служба сервера параметров УОО VEMO");
const QString Attention = QStringLiteral("Внимание!");
const QString EmptyFieldText = QStringLiteral(
    "Для работы службы параметров VEMO необходимо указать порт Сервера параметров и порт "
    "администрирования.");
const QString NotInstalledText =
    QStringLiteral("Служба Сервера параметров VEMO не установлена в менеджере служб Windows. "
                   "Проверьте правильность установки и повторите попытку");
const QString AccessErrorText = QStringLiteral(
    "Ошибка сохранения настроек в реестр: нет доступа. Попробуйте запустить эту программу от "
    "имени Администратора");
const QString FormatErrorText =
    QStringLiteral("Ошибка сохранения настроек в реестр: неверный формат");
const QString SavedText =
    QStringLiteral("Настройки сохранены в реестр, служба параметров VEMO была перезапущена");

// One message box as the user saw it.
struct SeenBox
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    bool parentIsDialog = false;
    bool saveButtonEnabled = true;
};

// Answers the modal message boxes the dialog opens: while armed, it looks for
// the active modal box from inside the box's own event loop, notes what it
// shows and presses its OK button, so the dialog's slot returns.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QWidget* dialog) : dialog(dialog)
    {
        timer.setInterval(0);
        connect(&timer, &QTimer::timeout, this, [this]() { answer(); });
    }

    void arm()
    {
        seen.clear();
        timer.start();
    }
    void disarm() { timer.stop(); }

    QList<SeenBox> seen;

private:
    void answer()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        SeenBox s;
        s.icon = box->icon();
        s.title = box->windowTitle();
        s.text = box->text();
        s.buttons = box->standardButtons();
        s.parentIsDialog = box->parentWidget() == dialog;
        auto* save = dialog->findChild<QPushButton*>(QStringLiteral("pushButton"));
        s.saveButtonEnabled = save && save->isEnabled();
        seen.append(s);
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->done(0);
    }

    QWidget* dialog;
    QTimer timer;
};

// Marks every text translated in the dialog's context, to prove each visible
// text goes through the translation system there.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* sourceText, const char*, int) const override
    {
        if (qstrcmp(context, "ParamDialog") != 0)
            return QString();
        return QStringLiteral("<") + QString::fromUtf8(sourceText) + QStringLiteral(">");
    }
    bool isEmpty() const override { return false; }
};

QVariant storedValue(const QString& file, const QString& key)
{
    QSettings s(file, QSettings::IniFormat);
    return s.value(key);
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

// True when this process may write into a directory whatever its mode says
// (running as the superuser), which makes read-only modes meaningless.
bool ignoresFileModes(const QString& readOnlyDir)
{
    QFile probe(readOnlyDir + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.close();
    probe.remove();
    return true;
}

} // namespace

class TestParamDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formLayout_data();
    void formLayout();
    void formProperties();
    void textsUseDialogContext();

    void defaultsOnCleanStore();
    void migration_data();
    void migration();
    void migrationHappensOnce();

    void emptyField_data();
    void emptyField();
    void serviceMissing();
    void statusLineOfInstalledService();
    void storeError_data();
    void storeError();
    void save_data();
    void save();

private:
    QString systemFile() const
    {
        return systemDir + QStringLiteral("/Kolvant/VemoParamsServer.conf");
    }
    QString userFile() const { return userDir + QStringLiteral("/Kolvant/VemoParamsServer.conf"); }
    void pointSystemScopeAt(const QString& dir);
    void writeStore(QSettings::Scope scope, const QVariantMap& values);
    static QSettings::Scope scopeOf(const QString& name);
    void installService(bool running = true);

    template <typename T> static T* child(QWidget* dialog, const char* name)
    {
        return dialog->findChild<T*>(QString::fromLatin1(name));
    }
    // Clears a field and types into it as a person would.
    static void type(QWidget* dialog, const char* field, const QString& text);
    // Presses the save button and answers the boxes it opens.
    static QList<SeenBox> pressSave(QWidget* dialog);
    // Types both ports, forgets the service manager's earlier calls and saves.
    QList<SeenBox> saveWith(QWidget* dialog, const QString& udp, const QString& tcp);
    // The save opened exactly one OK-only box titled "Attention" with this icon and text.
    static void verifyOneBox(const QList<SeenBox>& boxes, QMessageBox::Icon icon,
                             const QString& text);

    std::unique_ptr<QTemporaryDir> root;
    QString systemDir;
    QString userDir;
    FakeServicePlatform* platform = nullptr;
};

void TestParamDialog::init()
{
    // Fresh stores for every case, set before anything reads them.
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    userDir = root->filePath(QStringLiteral("user"));
    pointSystemScopeAt(root->filePath(QStringLiteral("system")));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userDir);

    platform = new FakeServicePlatform;
    QtServicePlatform::setCurrent(platform);
}

void TestParamDialog::cleanup()
{
    QtServicePlatform::setCurrent(nullptr);
    delete platform;
    platform = nullptr;
    // Give a read-only store back its modes so that it can be removed.
    for (const QString& path : {systemDir + QStringLiteral("/Kolvant"), systemFile()})
        if (QFileInfo::exists(path))
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    root.reset();
}

void TestParamDialog::pointSystemScopeAt(const QString& dir)
{
    systemDir = dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir);
}

void TestParamDialog::writeStore(QSettings::Scope scope, const QVariantMap& values)
{
    QSettings s(QSettings::NativeFormat, scope, QStringLiteral("Kolvant"),
                QStringLiteral("VemoParamsServer"));
    s.setFallbacksEnabled(false);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        s.setValue(it.key(), it.value());
    s.sync();
    QCOMPARE(s.status(), QSettings::NoError);
}

QSettings::Scope TestParamDialog::scopeOf(const QString& name)
{
    return name == QLatin1String("system") ? QSettings::SystemScope : QSettings::UserScope;
}

void TestParamDialog::installService(bool running)
{
    platform->setInstalled(true);
    platform->setRunning(running);
    platform->setDescription(Description);
}

void TestParamDialog::type(QWidget* dialog, const char* field, const QString& text)
{
    auto* edit = child<QLineEdit>(dialog, field);
    QVERIFY(edit);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QVERIFY(edit->text().isEmpty());
    QTest::keyClicks(edit, text);
}

QList<SeenBox> TestParamDialog::pressSave(QWidget* dialog)
{
    BoxAnswerer answerer(dialog);
    answerer.arm();
    QTest::mouseClick(child<QPushButton>(dialog, "pushButton"), Qt::LeftButton);
    answerer.disarm();
    return answerer.seen;
}

QList<SeenBox> TestParamDialog::saveWith(QWidget* dialog, const QString& udp, const QString& tcp)
{
    type(dialog, "paramPortEdit", udp);
    type(dialog, "admPortEdit", tcp);
    platform->clearCalls();
    return pressSave(dialog);
}

void TestParamDialog::verifyOneBox(const QList<SeenBox>& boxes, QMessageBox::Icon icon,
                                   const QString& text)
{
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].icon, icon);
    QCOMPARE(boxes[0].title, Attention);
    QCOMPARE(boxes[0].text, text);
    QCOMPARE(boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void TestParamDialog::formLayout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("columnSpan");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("value");

    QTest::newRow("group box") << "groupBox"
                               << "QGroupBox"
                               << "gridLayout" << 0 << 0 << 3 << QByteArray("title")
                               << "Настройка сервера параметров VEMO";
    QTest::newRow("UDP caption") << "label_10"
                                 << "QLabel"
                                 << "gridLayout_2" << 0 << 0 << 1 << QByteArray("text")
                                 << "Порт сервера параметров (UDP):";
    QTest::newRow("UDP field") << "paramPortEdit"
                               << "QLineEdit"
                               << "gridLayout_2" << 0 << 1 << 1 << QByteArray("placeholderText")
                               << "Введите порт ПЦН";
    QTest::newRow("TCP caption") << "label_9"
                                 << "QLabel"
                                 << "gridLayout_2" << 2 << 0 << 1 << QByteArray("text")
                                 << "Порт админитрирования (TCP)";
    QTest::newRow("TCP field") << "admPortEdit"
                               << "QLineEdit"
                               << "gridLayout_2" << 2 << 1 << 1 << QByteArray("placeholderText")
                               << "Введите адрес ПЦН";
    QTest::newRow("button") << "pushButton"
                            << "QPushButton"
                            << "gridLayout" << 1 << 1 << 1 << QByteArray("text")
                            << "Сохранить настройки";
    QTest::newRow("separator") << "line"
                               << "QFrame"
                               << "gridLayout" << 2 << 0 << 3 << QByteArray("frameShape")
                               << QString::number(QFrame::HLine);
    QTest::newRow("status line") << "copyrightLabel"
                                 << "QLabel"
                                 << "gridLayout" << 3 << 0 << 3 << QByteArray("text")
                                 << "Служба не установлена";
}

void TestParamDialog::formLayout()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, layout);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, columnSpan);
    QFETCH(QByteArray, property);
    QFETCH(QString, value);

    ParamDialog dialog;
    auto* widget = dialog.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->property(property).toString(), value);

    auto* grid = dialog.findChild<QGridLayout*>(layout);
    QVERIFY(grid);
    const int index = grid->indexOf(widget);
    QVERIFY(index >= 0);
    int r = -1, c = -1, rowSpan = -1, colSpan = -1;
    grid->getItemPosition(index, &r, &c, &rowSpan, &colSpan);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rowSpan, 1);
    QCOMPARE(colSpan, columnSpan);
}

void TestParamDialog::formProperties()
{
    ParamDialog dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("ParamDialog"));
    QCOMPARE(dialog.size(), QSize(522, 149));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Настройка службы SMS VEMO"));

    auto* outer = child<QGridLayout>(&dialog, "gridLayout");
    QVERIFY(outer);
    QCOMPARE(dialog.layout(), outer);
    QCOMPARE(outer->horizontalSpacing(), 4);
    QCOMPARE(outer->verticalSpacing(), 4);
    QCOMPARE(outer->contentsMargins(), QMargins(4, 4, 4, 4));

    auto* inner = child<QGridLayout>(&dialog, "gridLayout_2");
    QVERIFY(inner);
    QCOMPARE(child<QGroupBox>(&dialog, "groupBox")->layout(), inner);
    QCOMPARE(inner->horizontalSpacing(), 6);
    QCOMPARE(inner->verticalSpacing(), 4);
    QCOMPARE(inner->contentsMargins(), QMargins(6, 6, 6, 6));
    QVERIFY(!inner->itemAtPosition(1, 0)); // row 1 stays empty
    QVERIFY(!inner->itemAtPosition(1, 1));

    for (int column : {0, 2}) {
        QLayoutItem* item = outer->itemAtPosition(1, column);
        QVERIFY(item);
        QSpacerItem* spacer = item->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }

    auto* button = child<QPushButton>(&dialog, "pushButton");
    QCOMPARE(button->minimumSize(), QSize(160, 30));
    QVERIFY(button->font().bold());
    QCOMPARE(button->font().weight(), 75);
    QVERIFY(button->isEnabled());

    auto* line = child<QFrame>(&dialog, "line");
    QCOMPARE(line->frameShape(), QFrame::HLine);
    QCOMPARE(line->frameShadow(), QFrame::Sunken);

    auto* status = child<QLabel>(&dialog, "copyrightLabel");
    QCOMPARE(status->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);

    // The form's own initial texts (the dialog replaces them when it loads).
    QDialog bare;
    Ui::ParamDialog ui;
    ui.setupUi(&bare);
    QCOMPARE(ui.paramPortEdit->text(), QStringLiteral("3777"));
    QCOMPARE(ui.admPortEdit->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(ui.copyrightLabel->text(), QStringLiteral("TextLabel"));
    QVERIFY(!ui.paramPortEdit->validator());
    QVERIFY(ui.paramPortEdit->inputMask().isEmpty());
    QVERIFY(!ui.admPortEdit->validator());
    QVERIFY(ui.admPortEdit->inputMask().isEmpty());

    // Two public slots in this order, no signals of its own.
    const QMetaObject* meta = &ParamDialog::staticMetaObject;
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 2);
    const QMetaMethod load = meta->method(meta->methodOffset());
    const QMetaMethod save = meta->method(meta->methodOffset() + 1);
    QCOMPARE(load.methodSignature(), QByteArray("loadServiceSettings()"));
    QCOMPARE(save.methodSignature(), QByteArray("saveServiceSettings()"));
    for (const QMetaMethod& m : {load, save}) {
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Public);
    }
}

void TestParamDialog::textsUseDialogContext()
{
    installService();
    MarkingTranslator translator;
    QApplication::installTranslator(&translator);
    ParamDialog dialog;
    QApplication::removeTranslator(&translator);

    QCOMPARE(dialog.windowTitle(), QStringLiteral("<Настройка службы SMS VEMO>"));
    QCOMPARE(child<QPushButton>(&dialog, "pushButton")->text(),
             QStringLiteral("<Сохранить настройки>"));
    QCOMPARE(child<QLineEdit>(&dialog, "admPortEdit")->placeholderText(),
             QStringLiteral("<Введите адрес ПЦН>"));
    // The notice is one template whose placeholder stands at its start.
    const QString status = child<QLabel>(&dialog, "copyrightLabel")->text();
    QVERIFY2(status.startsWith(QStringLiteral("<") + Description + QLatin1Char(' ')),
             qPrintable(status));
    QVERIFY2(status.endsWith(QLatin1Char('>')) && status.contains(QStringLiteral("2018")),
             qPrintable(status));

    QApplication::installTranslator(&translator);
    const QList<SeenBox> boxes = pressSave(&dialog);
    QApplication::removeTranslator(&translator);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QStringLiteral("<Внимание!>"));
    QCOMPARE(boxes[0].text,
             QStringLiteral("<Настройки сохранены в реестр, служба параметров VEMO была "
                            "%1>")
                 .arg(QStringLiteral("<перезапущена>")));
}

void TestParamDialog::defaultsOnCleanStore()
{
    ParamDialog dialog;
    QCOMPARE(child<QLineEdit>(&dialog, "paramPortEdit")->text(), QStringLiteral("25002"));
    QCOMPARE(child<QLineEdit>(&dialog, "admPortEdit")->text(), QStringLiteral("45432"));
    // Loading alone writes nothing.
    QVERIFY(!QFileInfo::exists(systemFile()));
    QVERIFY(!QFileInfo::exists(userFile()));
}

void TestParamDialog::migration_data()
{
    QTest::addColumn<QVariantMap>("user");
    QTest::addColumn<QVariantMap>("system");
    QTest::addColumn<QString>("shownUdp");
    QTest::addColumn<QString>("shownTcp");
    QTest::addColumn<QVariantMap>("systemAfter"); // empty: the system store is not written

    const QVariantMap userSaved{{"Common/SettingsSaved", true},
                                {"Network/ParamsPort", 1111},
                                {"Network/RpcPort", 2222},
                                {"Extra/Key", "kept"}};
    QVariantMap userUnsaved = userSaved;
    userUnsaved["Common/SettingsSaved"] = false;
    const QVariantMap systemSaved{
        {"Common/SettingsSaved", true}, {"Network/ParamsPort", 3333}, {"Network/RpcPort", 4444}};
    const QVariantMap systemUnsaved{{"Common/SettingsSaved", false}, {"Network/RpcPort", 4444}};

    QTest::newRow("saved per user only: copied") << userSaved << QVariantMap() << "1111"
                                                 << "2222" << userSaved;
    QTest::newRow("never saved: nothing copied") << userUnsaved << QVariantMap() << "25002"
                                                 << "45432" << QVariantMap();
    QTest::newRow("saved system-wide: nothing copied") << userSaved << systemSaved << "3333"
                                                       << "4444" << systemSaved;
    QVariantMap merged = userSaved;
    QTest::newRow("system flag false: copied over it") << userSaved << systemUnsaved << "1111"
                                                       << "2222" << merged;
    QTest::newRow("per-user ports without flag: not used")
        << QVariantMap{{"Network/ParamsPort", 1111}} << QVariantMap() << "25002"
        << "45432" << QVariantMap();
}

void TestParamDialog::migration()
{
    QFETCH(QVariantMap, user);
    QFETCH(QVariantMap, system);
    QFETCH(QString, shownUdp);
    QFETCH(QString, shownTcp);
    QFETCH(QVariantMap, systemAfter);

    writeStore(QSettings::UserScope, user);
    if (!system.isEmpty())
        writeStore(QSettings::SystemScope, system);
    const QByteArray userBefore = fileBytes(userFile());
    const QByteArray systemBefore = fileBytes(systemFile());

    ParamDialog dialog;
    QCOMPARE(child<QLineEdit>(&dialog, "paramPortEdit")->text(), shownUdp);
    QCOMPARE(child<QLineEdit>(&dialog, "admPortEdit")->text(), shownTcp);

    QCOMPARE(fileBytes(userFile()), userBefore); // the per-user store is never changed
    if (systemAfter.isEmpty() || systemAfter == system) {
        QCOMPARE(fileBytes(systemFile()), systemBefore);
    } else {
        QSettings stored(systemFile(), QSettings::IniFormat);
        QCOMPARE(stored.allKeys().size(), systemAfter.size());
        for (auto it = systemAfter.cbegin(); it != systemAfter.cend(); ++it)
            QCOMPARE(stored.value(it.key()).toString(), it.value().toString());
    }
}

void TestParamDialog::migrationHappensOnce()
{
    writeStore(
        QSettings::UserScope,
        {{"Common/SettingsSaved", true}, {"Network/ParamsPort", 1111}, {"Network/RpcPort", 2222}});
    {
        ParamDialog first;
        QCOMPARE(child<QLineEdit>(&first, "paramPortEdit")->text(), QStringLiteral("1111"));
    }
    // Later per-user changes no longer reach the system-wide store.
    writeStore(QSettings::UserScope, {{"Network/ParamsPort", 5555}});
    {
        ParamDialog second;
        QCOMPARE(child<QLineEdit>(&second, "paramPortEdit")->text(), QStringLiteral("1111"));
        QCOMPARE(child<QLineEdit>(&second, "admPortEdit")->text(), QStringLiteral("2222"));
    }
    QCOMPARE(storedValue(systemFile(), "Network/ParamsPort").toInt(), 1111);
}

void TestParamDialog::emptyField_data()
{
    QTest::addColumn<QString>("udp");
    QTest::addColumn<QString>("tcp");
    QTest::newRow("UDP port empty") << QString() << "45000";
    QTest::newRow("TCP port empty") << "25000" << QString();
    QTest::newRow("both empty") << QString() << QString();
}

void TestParamDialog::emptyField()
{
    QFETCH(QString, udp);
    QFETCH(QString, tcp);
    installService();

    ParamDialog dialog;
    dialog.show();
    const QList<SeenBox> boxes = saveWith(&dialog, udp, tcp);

    verifyOneBox(boxes, QMessageBox::Warning, EmptyFieldText);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(boxes[0].parentIsDialog);
    QVERIFY(platform->calls().isEmpty()); // the service manager is not even asked
    QVERIFY(!QFileInfo::exists(systemFile()));
    QVERIFY(child<QPushButton>(&dialog, "pushButton")->isEnabled());
}

void TestParamDialog::serviceMissing()
{
    writeStore(
        QSettings::SystemScope,
        {{"Common/SettingsSaved", true}, {"Network/ParamsPort", 3333}, {"Network/RpcPort", 4444}});
    const QByteArray before = fileBytes(systemFile());

    ParamDialog dialog;
    dialog.show();
    QCOMPARE(child<QLabel>(&dialog, "copyrightLabel")->text(),
             QStringLiteral("Служба не установлена"));
    const QList<SeenBox> boxes =
        saveWith(&dialog, QStringLiteral("30001"), QStringLiteral("40001"));

    verifyOneBox(boxes, QMessageBox::Critical, NotInstalledText);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(platform->calls(), QStringList{QStringLiteral("isInstalled ") + Service});
    QCOMPARE(fileBytes(systemFile()), before);
    QVERIFY(child<QPushButton>(&dialog, "pushButton")->isEnabled());
}

void TestParamDialog::statusLineOfInstalledService()
{
    installService();
    ParamDialog dialog;
    const QString status = child<QLabel>(&dialog, "copyrightLabel")->text();
    QVERIFY2(status.startsWith(Description + QLatin1Char(' ')), qPrintable(status));
    QVERIFY2(status.contains(QStringLiteral("2018")), qPrintable(status));
    QVERIFY(status.size() > Description.size() + 6);
    QVERIFY(platform->calls().contains(QStringLiteral("serviceDescription ") + Service));
}

void TestParamDialog::storeError_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("expectedText");
    QTest::newRow("store directory cannot be created") << "blocked" << AccessErrorText;
    QTest::newRow("read-only store directory") << "read-only dir" << AccessErrorText;
    QTest::newRow("read-only store file") << "read-only file" << AccessErrorText;
    QTest::newRow("malformed store file") << "malformed" << FormatErrorText;
}

void TestParamDialog::storeError()
{
    QFETCH(QString, damage);
    QFETCH(QString, expectedText);
    installService();

    if (damage == QLatin1String("blocked")) {
        // A plain file where the store's directory should be: no rights help here.
        const QString blocker = root->filePath(QStringLiteral("blocker"));
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        pointSystemScopeAt(blocker + QStringLiteral("/system"));
    } else if (damage == QLatin1String("read-only dir")) {
        QVERIFY(QDir().mkpath(systemDir + QStringLiteral("/Kolvant")));
        QFile::setPermissions(systemDir + QStringLiteral("/Kolvant"),
                              QFile::ReadOwner | QFile::ExeOwner);
        if (ignoresFileModes(systemDir + QStringLiteral("/Kolvant")))
            QSKIP("running with rights that ignore read-only modes");
    } else if (damage == QLatin1String("read-only file")) {
        writeStore(QSettings::SystemScope, {{"Common/SettingsSaved", true},
                                            {"Network/ParamsPort", 3333},
                                            {"Network/RpcPort", 4444}});
        QFile::setPermissions(systemFile(), QFile::ReadOwner);
        QFile::setPermissions(systemDir + QStringLiteral("/Kolvant"),
                              QFile::ReadOwner | QFile::ExeOwner);
        if (ignoresFileModes(systemDir + QStringLiteral("/Kolvant")))
            QSKIP("running with rights that ignore read-only modes");
    }
    const QByteArray before = fileBytes(systemFile());

    ParamDialog dialog;
    dialog.show();
    if (damage == QLatin1String("malformed")) {
        // Edited by hand into something unreadable while the dialog is open.
        QVERIFY(QDir().mkpath(systemDir + QStringLiteral("/Kolvant")));
        QFile f(systemFile());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Common\nSettingsSaved=true\n[Network]\nParamsPort=3333\n");
        f.close();
    }
    const QList<SeenBox> boxes =
        saveWith(&dialog, QStringLiteral("30001"), QStringLiteral("40001"));

    verifyOneBox(boxes, QMessageBox::Critical, expectedText);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!boxes[0].saveButtonEnabled); // disabled while the save is in progress
    QVERIFY(child<QPushButton>(&dialog, "pushButton")->isEnabled());
    // The service keeps running with its old settings.
    QCOMPARE(platform->calls(), QStringList{QStringLiteral("isInstalled ") + Service});
    QVERIFY(platform->running());
    if (damage != QLatin1String("malformed"))
        QCOMPARE(fileBytes(systemFile()), before);
}

void TestParamDialog::save_data()
{
    QTest::addColumn<QString>("udp");
    QTest::addColumn<QString>("tcp");
    QTest::addColumn<int>("storedUdp");
    QTest::addColumn<int>("storedTcp");

    QTest::newRow("two ports") << "30001"
                               << "40001" << 30001 << 40001;
    QTest::newRow("letters in UDP") << "abc"
                                    << "40001" << 0 << 40001;
    QTest::newRow("letters in TCP") << "30001"
                                    << "port" << 30001 << 0;
    QTest::newRow("digits then letters") << "123x"
                                         << "7" << 0 << 7;
    QTest::newRow("address instead of port") << "30001"
                                             << "127.0.0.1" << 30001 << 0;
    QTest::newRow("above 16 bits, no range check") << "70000"
                                                   << "65536" << 70000 << 65536;
    QTest::newRow("hexadecimal is not decimal") << "0x10"
                                                << "10" << 0 << 10;
}

void TestParamDialog::save()
{
    QFETCH(QString, udp);
    QFETCH(QString, tcp);
    QFETCH(int, storedUdp);
    QFETCH(int, storedTcp);
    installService();

    ParamDialog dialog;
    dialog.show();
    const QString status = child<QLabel>(&dialog, "copyrightLabel")->text();
    const QList<SeenBox> boxes = saveWith(&dialog, udp, tcp);

    verifyOneBox(boxes, QMessageBox::Information, SavedText);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(boxes[0].text.endsWith(QStringLiteral("перезапущена")));
    QVERIFY(boxes[0].parentIsDialog);
    QVERIFY(!boxes[0].saveButtonEnabled);
    QVERIFY(child<QPushButton>(&dialog, "pushButton")->isEnabled());

    // Stopped, then started without arguments.
    QCOMPARE(
        platform->calls(),
        (QStringList{QStringLiteral("isInstalled ") + Service, QStringLiteral("stop ") + Service,
                     QStringLiteral("start ") + Service + QStringLiteral(" []")}));
    QVERIFY(platform->running());

    // Written system-wide, as numbers; the per-user store stays untouched.
    QCOMPARE(storedValue(systemFile(), "Common/SettingsSaved").toBool(), true);
    QCOMPARE(storedValue(systemFile(), "Network/ParamsPort").toString(),
             QString::number(storedUdp));
    QCOMPARE(storedValue(systemFile(), "Network/RpcPort").toString(), QString::number(storedTcp));
    QVERIFY(!QFileInfo::exists(userFile()));

    // The status line is not refreshed by a save.
    QCOMPARE(child<QLabel>(&dialog, "copyrightLabel")->text(), status);

    // The next start shows what was saved.
    ParamDialog next;
    QCOMPARE(child<QLineEdit>(&next, "paramPortEdit")->text(), QString::number(storedUdp));
    QCOMPARE(child<QLineEdit>(&next, "admPortEdit")->text(), QString::number(storedTcp));
}

QTEST_MAIN(TestParamDialog)
#include "tst_paramdialog.moc"
