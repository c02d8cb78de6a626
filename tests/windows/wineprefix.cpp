#include "wineprefix.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

WinePrefix::WinePrefix()
{
    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), dir.path() + QLatin1String("/prefix"));
    env.insert(QStringLiteral("WINEARCH"), QStringLiteral("win64"));
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No Mono or Gecko installer prompts, no display.
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    env.remove(QStringLiteral("DISPLAY"));
    // Console output (reg, sc) in UTF-8 rather than '?' for what ASCII lacks.
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
}

WinePrefix::~WinePrefix()
{
    if (keeper.state() != QProcess::NotRunning) {
        keeper.closeWriteChannel();
        if (!keeper.waitForFinished(10000))
            keeper.kill();
        keeper.waitForFinished(5000);
    }
    if (created) {
        endSession();
    }
}

void WinePrefix::endSession() const
{
    QProcess server;
    server.setProcessEnvironment(env);
    server.start(QStringLiteral("wineserver"), {QStringLiteral("-k")});
    server.waitForFinished(30000);
    server.start(QStringLiteral("wineserver"), {QStringLiteral("-w")});
    server.waitForFinished(30000);
}

bool WinePrefix::create()
{
    if (!dir.isValid() || wine.isEmpty()) {
        problem = QStringLiteral("wine not found or no scratch folder");
        return false;
    }
    created = true;
    Result r = run(QStringLiteral("wineboot"), {QStringLiteral("-i")}, 600000);
    if (r.exitCode != 0) {
        problem = QStringLiteral("wineboot -i: %1 %2").arg(r.exitCode).arg(r.err.right(2000));
        return false;
    }
    // Windows are created but never shown anywhere.
    r = run(QStringLiteral("reg"),
            {QStringLiteral("add"), QStringLiteral("HKCU\\Software\\Wine\\Drivers"), QStringLiteral("/v"),
             QStringLiteral("Graphics"), QStringLiteral("/d"), QStringLiteral("null"), QStringLiteral("/f")});
    if (r.exitCode != 0) {
        problem = QStringLiteral("reg add Graphics=null: %1 %2").arg(r.exitCode).arg(r.err);
        return false;
    }
    // A program that crashes ends with Wine's backtrace on its standard error
    // instead of waiting for a click in Wine's crash dialog, which nobody sees.
    r = run(QStringLiteral("reg"),
            {QStringLiteral("add"), QStringLiteral("HKCU\\Software\\Wine\\WineDbg"), QStringLiteral("/v"),
             QStringLiteral("ShowCrashDialog"), QStringLiteral("/t"), QStringLiteral("REG_DWORD"),
             QStringLiteral("/d"), QStringLiteral("0"), QStringLiteral("/f")});
    if (r.exitCode != 0) {
        problem = QStringLiteral("reg add ShowCrashDialog=0: %1 %2").arg(r.exitCode).arg(r.err);
        return false;
    }
    // The services of the session that created the prefix do not start
    // services reliably (StartService times out); a new session does.
    endSession();
    keeper.setProcessEnvironment(env);
    keeper.start(wine, {QStringLiteral("cmd.exe")});
    if (!keeper.waitForStarted(30000)) {
        problem = QStringLiteral("wine cmd.exe did not start");
        return false;
    }
    return true;
}

WinePrefix::Result WinePrefix::run(const QString& program, const QStringList& arguments,
                                   int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(wine, QStringList{program} + arguments);
    Result r;
    if (process.waitForFinished(timeoutMs)) {
        r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    } else {
        // What it printed until then tells where it stopped.
        process.kill();
        process.waitForFinished(5000);
    }
    r.out = QString::fromUtf8(process.readAllStandardOutput()).remove(QLatin1Char('\r'));
    r.err = QString::fromUtf8(process.readAllStandardError()).remove(QLatin1Char('\r'));
    return r;
}

QString WinePrefix::hostPath(const QString& windowsPath) const
{
    QString rest = windowsPath.mid(2);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return env.value(QStringLiteral("WINEPREFIX")) + QLatin1String("/drive_c") + rest;
}

QString WinePrefix::serviceState(const QString& service) const
{
    const Result r = run(QStringLiteral("sc"), {QStringLiteral("query"), service}, 60000);
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("STATE\\s*:\\s*\\d+\\s+(\\w+)")).match(r.out);
    return m.hasMatch() ? m.captured(1) : QString();
}

bool WinePrefix::waitForServiceState(const QString& service, const QString& state,
                                     int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (serviceState(service) != state) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(300);
    }
    return true;
}

QString WinePrefix::registryValue(const QString& key, const QString& name) const
{
    // "reg query" prints text in the console's code page ('?' for Cyrillic
    // here); "reg export" writes the key as UTF-16.
    const QString file = dir.path() + QLatin1String("/export.reg");
    QFile::remove(file);
    const Result r = run(QStringLiteral("reg"),
                         {QStringLiteral("export"), key, QLatin1String("Z:") + QString(file).replace(QLatin1Char('/'), QLatin1Char('\\')),
                          QStringLiteral("/y")});
    QFile exported(file);
    if (r.exitCode != 0 || !exported.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray bytes = exported.readAll();
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
    const QString prefix = QLatin1Char('"') + name + QLatin1String("\"=");
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (!line.startsWith(prefix))
            continue;
        const QString data = line.mid(prefix.size());
        if (data.startsWith(QLatin1String("dword:")))
            return QLatin1String("0x") + QString::number(data.mid(6).toUInt(nullptr, 16), 16);
        if (data.size() >= 2 && data.startsWith(QLatin1Char('"')) && data.endsWith(QLatin1Char('"')))
            return data.mid(1, data.size() - 2).replace(QLatin1String("\\\""), QLatin1String("\"")).replace(QLatin1String("\\\\"), QLatin1String("\\"));
        return data;
    }
    return QString();
}
