// The product's service in the prefix's real service control manager:
// registering it, driving it and reading its status, as an administrator's
// tools would.
#pragma once

#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "testbed.h"

namespace installed {

inline const wchar_t Name[] = L"QORV-Lindquell";
// A service of another name that a test gives the product's display name.
inline const wchar_t OtherName[] = L"QORV-Other";

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
    const DWORD start = testbed::Milliseconds();
    for (;;) {
        DWORD current = Status().dwCurrentState;
        if (seen && (seen->empty() || seen->back() != current))
            seen->push_back(current);
        if (current == state)
            return true;
        if (testbed::Milliseconds() - start >= timeoutMs)
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

// Waits until the service is gone: the manager deletes one that is marked
// for deletion only once its process has ended and no handle is open.
inline bool Gone(DWORD timeoutMs = 10000)
{
    const DWORD start = testbed::Milliseconds();
    while (WithService(SERVICE_QUERY_STATUS, [](SC_HANDLE) {})) {
        if (testbed::Milliseconds() - start >= timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

// Stops and deletes the service and waits until the manager has let go of it.
inline void Remove()
{
    if (!WithService(SERVICE_QUERY_STATUS, [](SC_HANDLE) {}))
        return;
    Stop();
    WithService(DELETE, [](SC_HANDLE service) { DeleteService(service); });
    Gone();
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
        // Aligned for the record at its start, which holds a pointer.
        alignas(SERVICE_DESCRIPTIONW) BYTE buffer[2048];
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

// The service control manager out of reach, for as long as this lives: its
// process is ended, and started again at the end as Wine's boot had started
// it. Wine's boot event lives only as long as a handle to it does, and
// services.exe held the last one: without a handle passed on to the new
// services.exe, the next program started from outside Wine would boot the
// session again and start a second manager.
class ManagerOutage {
public:
    ManagerOutage()
    {
        typedef NTSTATUS(NTAPI * OpenEventFunction)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *);
        auto openEvent = reinterpret_cast<OpenEventFunction>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtOpenEvent")));
        wchar_t name[] = L"\\KernelObjects\\__wineboot_event";
        UNICODE_STRING unicodeName = {sizeof(name) - sizeof(wchar_t), sizeof(name), name};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &unicodeName, 0, nullptr, nullptr);
        if (!openEvent || openEvent(&bootEvent_, SYNCHRONIZE, &attributes) != 0)
            return;

        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (_wcsicmp(entry.szExeFile, L"services.exe") != 0)
                continue;
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (process) {
                ended_ = TerminateProcess(process, 1) && WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
                CloseHandle(process);
            }
        }
        CloseHandle(snapshot);
    }

    ~ManagerOutage()
    {
        if (ended_)
            StartManager();
        if (bootEvent_)
            CloseHandle(bootEvent_);
    }

    // True when the manager's process was ended.
    bool Began() const { return ended_; }

private:
    void StartManager()
    {
        HANDLE started = CreateEventW(nullptr, TRUE, FALSE, L"__wine_SvcctlStarted");
        ResetEvent(started);
        HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        // Only the boot event and the null device go to the new manager.
        PROCESS_INFORMATION manager = {};
        if (testbed::StartPassingOnly(L"C:\\windows\\system32\\services.exe", L"", nullptr, DETACHED_PROCESS, nul, nul,
                                      {bootEvent_, nul}, &manager)) {
            HANDLE ready[] = {started, manager.hProcess};
            WaitForMultipleObjects(2, ready, FALSE, 10000);
            CloseHandle(manager.hThread);
            CloseHandle(manager.hProcess);
        }
        CloseHandle(nul);
        CloseHandle(started);
    }

    HANDLE bootEvent_ = nullptr;
    bool ended_ = false;
};

} // namespace installed
