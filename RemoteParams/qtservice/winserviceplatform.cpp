#include "winserviceplatform.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QLibrary>
#include <QMutex>
#include <QVector>

#include <string>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

using PRegisterServiceCtrlHandlerW = SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR, LPHANDLER_FUNCTION);
using PSetServiceStatus = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
using PChangeServiceConfig2W = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);
using PCloseServiceHandle = BOOL(WINAPI*)(SC_HANDLE);
using PCreateServiceW = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD,
                                           LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR);
using POpenSCManagerW = SC_HANDLE(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
using PDeleteService = BOOL(WINAPI*)(SC_HANDLE);
using POpenServiceW = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCWSTR, DWORD);
using PQueryServiceStatus = BOOL(WINAPI*)(SC_HANDLE, LPSERVICE_STATUS);
using PStartServiceCtrlDispatcherW = BOOL(WINAPI*)(CONST SERVICE_TABLE_ENTRYW*);
using PStartServiceW = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPCWSTR*);
using PControlService = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
using PDeregisterEventSource = BOOL(WINAPI*)(HANDLE);
using PReportEventW = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);
using PRegisterEventSourceW = HANDLE(WINAPI*)(LPCWSTR, LPCWSTR);
using PQueryServiceConfigW = BOOL(WINAPI*)(SC_HANDLE, LPQUERY_SERVICE_CONFIGW, DWORD, LPDWORD);
using PQueryServiceConfig2W = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD);

PRegisterServiceCtrlHandlerW pRegisterServiceCtrlHandler = nullptr;
PSetServiceStatus pSetServiceStatus = nullptr;
PChangeServiceConfig2W pChangeServiceConfig2 = nullptr;
PCloseServiceHandle pCloseServiceHandle = nullptr;
PCreateServiceW pCreateService = nullptr;
POpenSCManagerW pOpenSCManager = nullptr;
PDeleteService pDeleteService = nullptr;
POpenServiceW pOpenService = nullptr;
PQueryServiceStatus pQueryServiceStatus = nullptr;
PStartServiceCtrlDispatcherW pStartServiceCtrlDispatcher = nullptr;
PStartServiceW pStartService = nullptr;
PControlService pControlService = nullptr;
PDeregisterEventSource pDeregisterEventSource = nullptr;
PReportEventW pReportEvent = nullptr;
PRegisterEventSourceW pRegisterEventSource = nullptr;
PQueryServiceConfigW pQueryServiceConfig = nullptr;
PQueryServiceConfig2W pQueryServiceConfig2 = nullptr;

QMutex resolveMutex;
bool resolved = false;

template <typename T> void resolveOne(QLibrary& library, const char* name, T& function)
{
    function = reinterpret_cast<T>(library.resolve(name));
}

// Tried on every use until "OpenSCManagerW" has been found once.
bool ensureResolved()
{
    QMutexLocker lock(&resolveMutex);
    if (resolved) {
        return true;
    }
    QLibrary library(QStringLiteral("advapi32"));
    resolveOne(library, "RegisterServiceCtrlHandlerW", pRegisterServiceCtrlHandler);
    resolveOne(library, "SetServiceStatus", pSetServiceStatus);
    resolveOne(library, "ChangeServiceConfig2W", pChangeServiceConfig2);
    resolveOne(library, "CloseServiceHandle", pCloseServiceHandle);
    resolveOne(library, "CreateServiceW", pCreateService);
    resolveOne(library, "OpenSCManagerW", pOpenSCManager);
    resolveOne(library, "DeleteService", pDeleteService);
    resolveOne(library, "OpenServiceW", pOpenService);
    resolveOne(library, "QueryServiceStatus", pQueryServiceStatus);
    resolveOne(library, "StartServiceCtrlDispatcherW", pStartServiceCtrlDispatcher);
    resolveOne(library, "StartServiceW", pStartService);
    resolveOne(library, "ControlService", pControlService);
    resolveOne(library, "DeregisterEventSource", pDeregisterEventSource);
    resolveOne(library, "ReportEventW", pReportEvent);
    resolveOne(library, "RegisterEventSourceW", pRegisterEventSource);
    resolveOne(library, "QueryServiceConfigW", pQueryServiceConfig);
    resolveOne(library, "QueryServiceConfig2W", pQueryServiceConfig2);
    // The library stays loaded: the process keeps using the functions.
    resolved = pOpenSCManager != nullptr;
    return resolved;
}

std::wstring wide(const QString& text)
{
    return text.toStdWString();
}

// A manager and a service handle, closed service first, then manager.
class ServiceHandles
{
public:
    ServiceHandles(const QString& name, DWORD managerAccess, DWORD serviceAccess)
    {
        manager = pOpenSCManager ? pOpenSCManager(nullptr, nullptr, managerAccess) : nullptr;
        if (manager && pOpenService) {
            const std::wstring n = wide(name);
            service = pOpenService(manager, n.c_str(), serviceAccess);
        }
        error = GetLastError();
    }
    ~ServiceHandles()
    {
        if (pCloseServiceHandle) {
            if (service) {
                pCloseServiceHandle(service);
            }
            if (manager) {
                pCloseServiceHandle(manager);
            }
        }
        SetLastError(error);
    }
    ServiceHandles(const ServiceHandles&) = delete;
    ServiceHandles& operator=(const ServiceHandles&) = delete;

    bool ok() const { return service != nullptr; }
    void keepError() { error = GetLastError(); }

    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD error = 0;
};

// The dispatcher's view of the framework, for the system's callbacks.
QtServiceRunCallbacks* runCallbacks = nullptr;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::wstring dispatchedName;

void WINAPI serviceMainEntry(DWORD argc, LPWSTR* argv)
{
    QStringList arguments;
    for (DWORD i = 0; i < argc; ++i) {
        arguments << QString::fromWCharArray(argv[i]);
    }
    if (runCallbacks) {
        runCallbacks->serviceMain(arguments);
    }
}

void WINAPI controlHandlerEntry(DWORD code)
{
    if (runCallbacks) {
        runCallbacks->controlHandler(int(code));
    }
}

// A user logging off does not end the service process: the end-of-session
// message announcing a log-off is swallowed.
class QtServiceAppEventFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray&, void* message, long* result) override
    {
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg && msg->message == WM_ENDSESSION && (msg->lParam & ENDSESSION_LOGOFF)) {
            if (result) {
                *result = TRUE;
            }
            return true;
        }
        return false;
    }
};

QtServiceAppEventFilter* appEventFilter()
{
    static QtServiceAppEventFilter filter;
    return &filter;
}

} // namespace

QString WinServicePlatform::platformName() const
{
    return QStringLiteral("windows");
}

bool WinServicePlatform::isAvailable()
{
    return ensureResolved();
}

QString WinServicePlatform::executablePath() const
{
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return QString::fromWCharArray(path, int(n));
}

void WinServicePlatform::rememberLastError()
{
    setLastErrorText(qt_error_string(int(GetLastError())));
}

bool WinServicePlatform::isInstalled(const QString& name)
{
    if (!ensureResolved()) {
        return false;
    }
    ServiceHandles handles(name, 0, SERVICE_QUERY_CONFIG);
    return handles.ok();
}

bool WinServicePlatform::isRunning(const QString& name)
{
    if (!ensureResolved()) {
        return false;
    }
    ServiceHandles handles(name, 0, SERVICE_QUERY_STATUS);
    if (!handles.ok() || !pQueryServiceStatus) {
        return false;
    }
    SERVICE_STATUS status = {};
    return pQueryServiceStatus(handles.service, &status) &&
           status.dwCurrentState != SERVICE_STOPPED;
}

QString WinServicePlatform::serviceDescription(const QString& name)
{
    if (!ensureResolved()) {
        return QString();
    }
    ServiceHandles handles(name, 0, SERVICE_QUERY_CONFIG);
    if (!handles.ok() || !pQueryServiceConfig2) {
        return QString();
    }
    // DWORD-aligned, as the system writes a structure into it.
    std::vector<DWORD> buffer(8096 / sizeof(DWORD));
    DWORD needed = 0;
    if (!pQueryServiceConfig2(handles.service, SERVICE_CONFIG_DESCRIPTION,
                              reinterpret_cast<LPBYTE>(buffer.data()), 8096, &needed)) {
        return QString();
    }
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
    if (!description->lpDescription) {
        return QString();
    }
    return QString::fromWCharArray(description->lpDescription);
}

bool WinServicePlatform::install(const QtServiceInstallRequest& request)
{
    if (!ensureResolved() || !pCreateService || !pCloseServiceHandle) {
        return false;
    }
    SC_HANDLE manager = pOpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        rememberLastError();
        return false;
    }
    const QtServiceAccount account = QtServiceAccount::resolve(request.account, request.password);
    const std::wstring name = wide(request.name);
    // A path with blanks is quoted, so that the system cannot take a leading
    // part of it ("C:\Program") for the program.
    QString path = request.executablePath;
    if (path.contains(QLatin1Char(' ')) && !path.startsWith(QLatin1Char('"'))) {
        path = QLatin1Char('"') + path + QLatin1Char('"');
    }
    const std::wstring binary = wide(path);
    const std::wstring user = wide(account.account);
    const std::wstring password = wide(account.password);
    SC_HANDLE service = pCreateService(
        manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, account.serviceType,
        request.startupType == QtServiceController::AutoStartup ? SERVICE_AUTO_START
                                                                : SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
        account.localSystem ? nullptr : user.c_str(),
        account.localSystem || account.password.isEmpty() ? nullptr : password.c_str());
    bool result = false;
    if (service) {
        if (!request.description.isEmpty() && pChangeServiceConfig2) {
            std::wstring text = wide(request.description);
            SERVICE_DESCRIPTIONW description;
            description.lpDescription = &text[0];
            pChangeServiceConfig2(service, SERVICE_CONFIG_DESCRIPTION, &description);
        }
        pCloseServiceHandle(service);
        result = true;
    } else {
        rememberLastError();
    }
    pCloseServiceHandle(manager);
    return result;
}

bool WinServicePlatform::uninstall(const QString& name)
{
    if (!ensureResolved() || !pDeleteService) {
        return false;
    }
    ServiceHandles handles(name, SC_MANAGER_ALL_ACCESS, DELETE);
    if (!handles.ok()) {
        rememberLastError();
        return false;
    }
    const bool ok = pDeleteService(handles.service);
    handles.keepError();
    if (!ok) {
        rememberLastError();
    }
    return ok;
}

bool WinServicePlatform::start(const QString& name, const QStringList& arguments)
{
    if (!ensureResolved() || !pStartService) {
        return false;
    }
    ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_START);
    if (!handles.ok()) {
        rememberLastError();
        return false;
    }
    std::vector<std::wstring> texts;
    for (const QString& argument : arguments) {
        texts.push_back(wide(argument));
    }
    std::vector<LPCWSTR> pointers;
    for (const std::wstring& text : texts) {
        pointers.push_back(text.c_str());
    }
    const bool ok = pStartService(handles.service, DWORD(pointers.size()),
                                  pointers.empty() ? nullptr : pointers.data());
    handles.keepError();
    if (!ok) {
        rememberLastError();
    }
    return ok;
}

QtServicePlatform::StopState WinServicePlatform::sendStop(const QString& name)
{
    if (!ensureResolved() || !pControlService) {
        return StopState::Failed;
    }
    ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!handles.ok()) {
        rememberLastError();
        return StopState::Failed;
    }
    SERVICE_STATUS status = {};
    if (!pControlService(handles.service, SERVICE_CONTROL_STOP, &status)) {
        handles.keepError();
        rememberLastError();
        return StopState::Failed;
    }
    return status.dwCurrentState == SERVICE_STOPPED ? StopState::Stopped : StopState::Pending;
}

QtServicePlatform::StopState WinServicePlatform::queryStopState(const QString& name)
{
    if (!ensureResolved() || !pQueryServiceStatus) {
        return StopState::Failed;
    }
    ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (!handles.ok() || !pQueryServiceStatus(handles.service, &status)) {
        return StopState::Failed;
    }
    return status.dwCurrentState == SERVICE_STOPPED ? StopState::Stopped : StopState::Pending;
}

bool WinServicePlatform::control(const QString& name, unsigned long access, unsigned long code)
{
    if (!ensureResolved() || !pControlService) {
        return false;
    }
    ServiceHandles handles(name, SC_MANAGER_CONNECT, access);
    if (!handles.ok()) {
        rememberLastError();
        return false;
    }
    SERVICE_STATUS status = {};
    const bool ok = pControlService(handles.service, code, &status);
    handles.keepError();
    if (!ok) {
        rememberLastError();
    }
    return ok;
}

bool WinServicePlatform::pause(const QString& name)
{
    return control(name, SERVICE_PAUSE_CONTINUE, SERVICE_CONTROL_PAUSE);
}

bool WinServicePlatform::resume(const QString& name)
{
    return control(name, SERVICE_PAUSE_CONTINUE, SERVICE_CONTROL_CONTINUE);
}

bool WinServicePlatform::sendCommand(const QString& name, int code)
{
    if (code < 0 || code > 127) {
        return false;
    }
    return control(name, SERVICE_USER_DEFINED_CONTROL, DWORD(code + 128));
}

void WinServicePlatform::writeEvent(const QString& name, const QString& message,
                                    QtServiceBase::MessageType type, int id, uint category,
                                    const QByteArray& data)
{
    if (!ensureResolved() || !pRegisterEventSource || !pReportEvent || !pDeregisterEventSource) {
        return;
    }
    WORD eventType = 0;
    switch (type) {
    case QtServiceBase::Error:
        eventType = EVENTLOG_ERROR_TYPE;
        break;
    case QtServiceBase::Warning:
        eventType = EVENTLOG_WARNING_TYPE;
        break;
    case QtServiceBase::Information:
        eventType = EVENTLOG_INFORMATION_TYPE;
        break;
    case QtServiceBase::Success:
        eventType = EVENTLOG_SUCCESS;
        break;
    }
    const std::wstring source = wide(name);
    HANDLE h = pRegisterEventSource(nullptr, source.c_str());
    if (!h) {
        return;
    }
    const std::wstring text = wide(message);
    LPCWSTR strings[1] = {text.c_str()};
    pReportEvent(h, eventType, WORD(category & 0xFFFF), DWORD(id), nullptr, 1, DWORD(data.size()),
                 strings, data.isEmpty() ? nullptr : const_cast<char*>(data.constData()));
    pDeregisterEventSource(h);
}

QtServicePlatform::DispatchResult
WinServicePlatform::runDispatcher(const QString& name, const QStringList& processArguments,
                                  QtServiceRunCallbacks* callbacks, QString* errorText)
{
    Q_UNUSED(processArguments);
    if (!ensureResolved() || !pStartServiceCtrlDispatcher) {
        if (errorText) {
            *errorText = QStringLiteral("advapi32 is not available");
        }
        return DispatchResult::Failed;
    }
    runCallbacks = callbacks;
    dispatchedName = wide(name);
    SERVICE_TABLE_ENTRYW table[2];
    table[0].lpServiceName = &dispatchedName[0];
    table[0].lpServiceProc = serviceMainEntry;
    table[1].lpServiceName = nullptr;
    table[1].lpServiceProc = nullptr;
    // Blocks until the service has stopped.
    if (pStartServiceCtrlDispatcher(table)) {
        return DispatchResult::Finished;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) { // 1063
        return DispatchResult::NotStartedByManager;
    }
    if (errorText) {
        *errorText = qt_error_string(int(error));
    }
    return DispatchResult::Failed;
}

bool WinServicePlatform::registerControlHandler(const QString& name)
{
    if (!ensureResolved() || !pRegisterServiceCtrlHandler) {
        return false;
    }
    const std::wstring n = wide(name);
    statusHandle = pRegisterServiceCtrlHandler(n.c_str(), controlHandlerEntry);
    return statusHandle != nullptr;
}

void WinServicePlatform::reportStatus(const QtServiceStatus& status)
{
    if (!ensureResolved() || !pSetServiceStatus || !statusHandle) {
        return;
    }
    SERVICE_STATUS s;
    s.dwServiceType = status.serviceType;
    s.dwCurrentState = status.currentState;
    s.dwControlsAccepted = status.controlsAccepted;
    s.dwWin32ExitCode = status.exitCode;
    s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    s.dwCheckPoint = status.checkPoint;
    s.dwWaitHint = status.waitHint;
    pSetServiceStatus(statusHandle, &s);
}

void WinServicePlatform::prepareApplication()
{
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
        dispatcher->installNativeEventFilter(appEventFilter());
    }
}
