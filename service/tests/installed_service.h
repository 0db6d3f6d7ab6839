// The product's service in the prefix's real service control manager:
// registering it, driving it and reading its status, as an administrator's
// tools would.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testbed.h"

namespace installed {

inline const wchar_t Name[] = L"QORV-Lindquell";

inline std::wstring Program(const wchar_t *file = L"lindquell.exe")
{
    return L"\"" + testbed::ProgramDirectory() + L"\\" + file + L"\"";
}

// Runs one call on the opened service; false when the service is absent.
template <typename Call> bool WithService(DWORD access, Call call)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return false;
    SC_HANDLE service = OpenServiceW(manager, Name, access);
    if (service) {
        call(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return service != nullptr;
}

inline SERVICE_STATUS_PROCESS Status()
{
    SERVICE_STATUS_PROCESS status = {};
    WithService(SERVICE_QUERY_STATUS, [&](SC_HANDLE service) {
        DWORD needed;
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status), sizeof(status),
                             &needed);
    });
    return status;
}

// Polls until the service reports the state; every state seen is appended
// to *seen when given.
inline bool WaitForState(DWORD state, DWORD timeoutMs = 10000, std::vector<DWORD> *seen = nullptr)
{
    const ULONGLONG deadline = testbed::Milliseconds() + timeoutMs;
    for (;;) {
        DWORD current = Status().dwCurrentState;
        if (seen && (seen->empty() || seen->back() != current))
            seen->push_back(current);
        if (current == state)
            return true;
        if (testbed::Milliseconds() >= deadline)
            return false;
        Sleep(1);
    }
}

// Sends a control; returns the status the manager answered with, and the
// error in *error (0 on success).
inline SERVICE_STATUS Control(DWORD control, DWORD *error = nullptr)
{
    SERVICE_STATUS status = {};
    DWORD failure = ERROR_SERVICE_DOES_NOT_EXIST;
    WithService(SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE, [&](SC_HANDLE service) {
        failure = ControlService(service, control, &status) ? 0 : GetLastError();
    });
    if (error)
        *error = failure;
    return status;
}

inline bool Start()
{
    bool started = false;
    WithService(SERVICE_START, [&](SC_HANDLE service) { started = StartServiceW(service, 0, nullptr); });
    return started && WaitForState(SERVICE_RUNNING);
}

inline bool Stop()
{
    if (Status().dwCurrentState == SERVICE_STOPPED)
        return true;
    Control(SERVICE_CONTROL_STOP);
    return WaitForState(SERVICE_STOPPED);
}

// Stops and deletes the service and waits until the manager has let go of it.
inline void Remove()
{
    if (!WithService(SERVICE_QUERY_STATUS, [](SC_HANDLE) {}))
        return;
    Stop();
    WithService(DELETE, [](SC_HANDLE service) { DeleteService(service); });
    const ULONGLONG deadline = testbed::Milliseconds() + 10000;
    while (WithService(SERVICE_QUERY_STATUS, [](SC_HANDLE) {}) && testbed::Milliseconds() < deadline)
        Sleep(10);
}

// Registers the service with the given command line, replacing any earlier one.
inline bool Install(const std::wstring &commandLine)
{
    Remove();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return false;
    SC_HANDLE service = CreateServiceW(manager, Name, Name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr,
                                       nullptr, nullptr, nullptr, nullptr);
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
}

inline std::wstring Description()
{
    std::wstring text;
    WithService(SERVICE_QUERY_CONFIG, [&](SC_HANDLE service) {
        BYTE buffer[2048];
        DWORD needed;
        auto description = reinterpret_cast<SERVICE_DESCRIPTIONW *>(buffer);
        if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &needed) &&
            description->lpDescription)
            text = description->lpDescription;
    });
    return text;
}

inline void SetDescription(const wchar_t *text)
{
    WithService(SERVICE_CHANGE_CONFIG, [&](SC_HANDLE service) {
        SERVICE_DESCRIPTIONW description = {const_cast<wchar_t *>(text)};
        ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
    });
}

} // namespace installed
