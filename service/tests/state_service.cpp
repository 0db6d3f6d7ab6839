// A tiny service registered under the product's name in tests, that holds the
// states the console report names but the product passes through too quickly
// to be seen. Its first argument says which:
//   (none)         running; paused when asked, a state the report does not name
//   start-pending  reports start-pending and stays there until stopped
//   stop-pending   running; when stopped, stays stop-pending for HeldMs first
#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

const DWORD HeldMs = 5000;

SERVICE_STATUS_HANDLE statusHandle;
SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE,
                         0, 0, 0, 0};
HANDLE stopped;
bool holdStopPending;

void WINAPI Handler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP) {
        if (holdStopPending) {
            status.dwCurrentState = SERVICE_STOP_PENDING;
            SetServiceStatus(statusHandle, &status);
        }
        // Nothing is reported after this: Main reports stopped, and a later
        // report from here could reach the manager after it and leave the
        // service in an earlier state for good.
        SetEvent(stopped);
        return;
    }
    if (control == SERVICE_CONTROL_PAUSE) {
        status.dwCurrentState = SERVICE_PAUSED;
    } else if (control == SERVICE_CONTROL_CONTINUE) {
        status.dwCurrentState = SERVICE_RUNNING;
    }
    SetServiceStatus(statusHandle, &status);
}

void WINAPI Main(DWORD, wchar_t **)
{
    const wchar_t *mode = __argc > 1 ? __wargv[1] : L"";
    holdStopPending = wcscmp(mode, L"stop-pending") == 0;
    if (wcscmp(mode, L"start-pending") == 0) {
        status.dwCurrentState = SERVICE_START_PENDING;
        status.dwWaitHint = 60000;
    }
    stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    statusHandle = RegisterServiceCtrlHandlerW(L"QORV-Lindquell", Handler);
    SetServiceStatus(statusHandle, &status);
    WaitForSingleObject(stopped, INFINITE);
    if (holdStopPending)
        Sleep(HeldMs);
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(statusHandle, &status);
}

} // namespace

int wmain()
{
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t *>(L"QORV-Lindquell"), Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
