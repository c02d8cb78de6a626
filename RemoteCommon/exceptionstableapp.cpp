#include "exceptionstableapp.h"

#include <QDebug>

ExceptionStableApp::ExceptionStableApp(int& argc, char** argv) : QCoreApplication(argc, argv) {}

bool ExceptionStableApp::notify(QObject* receiver, QEvent* event)
{
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (const ImmediateExitApplication& e) {
        qWarning().noquote() << "Управление приложением: " + QString::fromLocal8Bit(e.what());
        exit(0);
    } catch (const ForceRestartException& e) {
        qWarning().noquote() << "Запрошен рестарт приложения. Причина: " +
                                    QString::fromLocal8Bit(e.what());
        exit(-1);
    } catch (const std::exception& e) {
        qCritical().noquote() << "ERROR: Обнаружено исключение времени выполнения: " +
                                     QString::fromLocal8Bit(e.what()) + ". Попытка перезапуска...";
        exit(-10);
    } catch (...) {
        qFatal("UNKNOWN EXCEPTION OCCURED. Application will terminate. Consider contacting "
               "developpers to resolve this issue.");
    }
    return false;
}
