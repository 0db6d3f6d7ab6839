// A tiny service registered under the product's name in tests, that can be
// paused: a state the console report does not name.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE statusHandle;
SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE,
                         0, 0, 0, 0};
HANDLE stopped;

void WINAPI Handler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP)
        SetEvent(stopped);
    else if (control == SERVICE_CONTROL_PAUSE)
        status.dwCurrentState = SERVICE_PAUSED;
    else if (control == SERVICE_CONTROL_CONTINUE)
        status.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(statusHandle, &status);
}

void WINAPI Main(DWORD, wchar_t **)
{
    stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    statusHandle = RegisterServiceCtrlHandlerW(L"QORV-Lindquell", Handler);
    SetServiceStatus(statusHandle, &status);
    WaitForSingleObject(stopped, INFINITE);
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(statusHandle, &status);
}

} // namespace

int wmain()
{
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t *>(L"QORV-Lindquell"), Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
