// The service as the service control manager sees it: status reports, the
// stop request, the description, and the monitor run in between.
#include <cstdlib>

#include "monitor.h"
#include "service.h"

const wchar_t ServiceName[] = L"QORV-Lindquell";

namespace {

const wchar_t ServiceDescription[] = L"Monitors the registry setting that permits multiple terminal services "
                                     L"sessions and ensures that it is enabled whenever possible";

// Shared by the dispatcher's thread (control handler) and the service thread.
// Every change after set-up, and every report, happens under ServiceLock.
struct {
    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE statusHandle;
} ServiceState;
HANDLE StopEvent;
CRITICAL_SECTION ServiceLock;

void ReportStatus()
{
    SetServiceStatus(ServiceState.statusHandle, &ServiceState.status);
}

void WINAPI ServiceControlHandler(DWORD control)
{
    EnterCriticalSection(&ServiceLock);
    if (control == SERVICE_CONTROL_STOP && ServiceState.status.dwCurrentState == SERVICE_RUNNING) {
        // Stop-pending goes out before the monitor can see the stop event,
        // so that its stopped report can never come first.
        ServiceState.status.dwCurrentState = SERVICE_STOP_PENDING;
        ReportStatus();
        if (!StopEvent || !SetEvent(StopEvent)) {
            // The monitor cannot be told to stop: end the process here.
            ServiceState.status.dwCurrentState = SERVICE_STOPPED;
            ReportStatus();
            ExitProcess(0);
        }
    }
    // Every control, an interrogation included, gets the current status.
    ReportStatus();
    LeaveCriticalSection(&ServiceLock);
}

// Gives the service its description unless it has one (an administrator's
// own description is kept). Failures change nothing.
void SetDescriptionIfMissing()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0);
    if (!manager)
        return;
    SC_HANDLE service = OpenServiceW(manager, ServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
    if (service) {
        // A buffer of just the record: any description text makes the query
        // fail for want of room, so success means there is none.
        SERVICE_DESCRIPTIONW current = {nullptr};
        DWORD needed = 0;
        if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE *>(&current),
                                 sizeof(current), &needed) &&
            !current.lpDescription) {
            SERVICE_DESCRIPTIONW description = {const_cast<wchar_t *>(ServiceDescription)};
            ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

} // namespace

void WINAPI ServiceMain(DWORD, wchar_t **)
{
    InitializeCriticalSection(&ServiceLock);
    ZeroMemory(&ServiceState.status, sizeof(ServiceState.status));
    ServiceState.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceState.status.dwCurrentState = SERVICE_START_PENDING;
    ServiceState.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    ServiceState.status.dwWin32ExitCode = NO_ERROR;

    EnterCriticalSection(&ServiceLock);
    ServiceState.statusHandle = RegisterServiceCtrlHandlerW(ServiceName, ServiceControlHandler);
    if (!ServiceState.statusHandle) {
        LeaveCriticalSection(&ServiceLock);
        return;
    }
    ServiceState.status.dwCurrentState = SERVICE_RUNNING;
    ReportStatus();
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LeaveCriticalSection(&ServiceLock);

    SetDescriptionIfMissing();

    // The options come from the service's configured command line, not
    // from the start parameters the dispatcher passes here.
    DWORD result = MonitorSessionSetting(__argc, __wargv, StopEvent);

    EnterCriticalSection(&ServiceLock);
    ServiceState.status.dwWin32ExitCode = result;
    ServiceState.status.dwCurrentState = SERVICE_STOPPED;
    ReportStatus();
    if (StopEvent) {
        CloseHandle(StopEvent);
        StopEvent = nullptr;
    }
    LeaveCriticalSection(&ServiceLock);
}
