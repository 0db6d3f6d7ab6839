#include "testbed.h"

#include <algorithm>

namespace testbed {

namespace {
const wchar_t StandInPath[] = L"Software\\Lindquell Tests\\Offline Files";
const wchar_t WinlogonBackup[] = L"Software\\Lindquell Tests\\Winlogon";
const wchar_t EmptyMachine[] = L"Software\\Lindquell Tests\\Empty machine";

LSTATUS OpenKey(const wchar_t *path, REGSAM access, HKEY *key)
{
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | MachineView, key);
}

LSTATUS CreateKey(const wchar_t *path, REGSAM access, HKEY *key)
{
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access | MachineView, nullptr, key, nullptr);
}

// Copies one key's tree into another, created when missing; the registry's
// code when it cannot.
LSTATUS CopyKey(const wchar_t *from, const wchar_t *to)
{
    HKEY source, target;
    LSTATUS status = OpenKey(from, KEY_READ, &source);
    if (status != ERROR_SUCCESS)
        return status;
    status = CreateKey(to, KEY_ALL_ACCESS, &target);
    if (status == ERROR_SUCCESS) {
        status = RegCopyTreeW(source, nullptr, target);
        RegCloseKey(target);
    }
    RegCloseKey(source);
    return status;
}

// Deletes the key and everything under it, each subkey through the same
// view: RegDeleteTree opens the subkeys without it, and a 32-bit process
// on 64-bit Windows would reach the 32-bit view's ("Accessing an Alternate
// Registry View", Microsoft Learn: every child must be opened with the flag).
LSTATUS DeleteTree(const std::wstring &path)
{
    HKEY key;
    LSTATUS status = OpenKey(path.c_str(), KEY_ENUMERATE_SUB_KEYS, &key);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::wstring> children;
    wchar_t name[256];
    for (DWORD length = 256; RegEnumKeyExW(key, static_cast<DWORD>(children.size()), name, &length, nullptr, nullptr,
                                           nullptr, nullptr) == ERROR_SUCCESS;
         length = 256)
        children.push_back(name);
    RegCloseKey(key);
    for (const std::wstring &child : children) {
        status = DeleteTree(path + L"\\" + child);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), MachineView, 0);
}

} // namespace

DWORD HideWinlogonKey()
{
    if (!UnderWine())
        return ERROR_NOT_SUPPORTED;
    LSTATUS status = CopyKey(WinlogonPath, WinlogonBackup);
    if (status == ERROR_SUCCESS)
        status = DeleteTree(WinlogonPath);
    if (status == ERROR_SUCCESS && KeyExists(WinlogonPath))
        status = ERROR_ALREADY_EXISTS;
    return status;
}

void RestoreWinlogonKey()
{
    if (KeyExists(WinlogonBackup) && CopyKey(WinlogonBackup, WinlogonPath) == ERROR_SUCCESS)
        DeleteKey(WinlogonBackup);
}

DWORD MapMachineKeyToEmptyKey()
{
    DeleteKey(EmptyMachine);
    HKEY empty;
    LSTATUS status = CreateKey(EmptyMachine, KEY_ALL_ACCESS, &empty);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegOverridePredefKey(HKEY_LOCAL_MACHINE, empty);
    RegCloseKey(empty);
    return status;
}

void UnmapMachineKey()
{
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    DeleteKey(EmptyMachine);
}

void SetRaw(const wchar_t *path, const wchar_t *name, DWORD type, const void *data, DWORD size)
{
    HKEY key;
    if (CreateKey(path, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
}

void SetDword(const wchar_t *path, const wchar_t *name, DWORD value)
{
    SetRaw(path, name, REG_DWORD, &value, sizeof(value));
}

void DeleteValue(const wchar_t *path, const wchar_t *name)
{
    HKEY key;
    if (OpenKey(path, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

void DeleteKey(const wchar_t *path)
{
    DeleteTree(path);
}

bool KeyExists(const wchar_t *path)
{
    HKEY key;
    if (OpenKey(path, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

Value ReadValue(const wchar_t *path, const wchar_t *name)
{
    Value value;
    HKEY key;
    if (OpenKey(path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return value;
    BYTE data[256];
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, &value.type, data, &size) == ERROR_SUCCESS) {
        value.present = true;
        value.data.assign(data, data + size);
    }
    RegCloseKey(key);
    return value;
}

std::optional<DWORD> ReadDword(const wchar_t *path, const wchar_t *name)
{
    Value value = ReadValue(path, name);
    if (!value.present || value.type != REG_DWORD || value.data.size() != sizeof(DWORD))
        return std::nullopt;
    DWORD result;
    CopyMemory(&result, value.data.data(), sizeof(result));
    return result;
}

bool WaitForDword(const wchar_t *path, const wchar_t *name, DWORD expected, DWORD timeoutMs)
{
    const ULONGLONG deadline = Milliseconds() + timeoutMs;
    for (;;) {
        if (ReadDword(path, name) == expected)
            return true;
        if (Milliseconds() >= deadline)
            return false;
        Sleep(2);
    }
}

bool KeyStaysQuiet(const wchar_t *path, DWORD ms)
{
    // Windows notifies every write, even one that leaves a value as it was,
    // and Group Policy and security-policy refreshes write under Winlogon
    // too. What counts against the monitor is a change of a value it writes,
    // or a key that keeps changing through the whole time, as a loop of
    // writes does; one foreign write between two stretches of quiet does not.
    auto written = [path] {
        return std::vector<Value>{ReadValue(path, MultipleSessions), ReadValue(path, L"Enabled")};
    };
    auto same = [](const std::vector<Value> &a, const std::vector<Value> &b) {
        for (size_t i = 0; i < a.size(); ++i)
            if (a[i].present != b[i].present || a[i].type != b[i].type || a[i].data != b[i].data)
                return false;
        return true;
    };
    HKEY key;
    if (OpenKey(path, KEY_NOTIFY, &key) != ERROR_SUCCESS)
        return false;
    const std::vector<Value> before = written();
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto arm = [&] {
        return RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE) == ERROR_SUCCESS;
    };
    bool watching = changed && arm();
    bool kept = true;
    const ULONGLONG end = Milliseconds() + ms;
    ULONGLONG lastChange = Milliseconds(), longestQuiet = 0;
    for (ULONGLONG now = lastChange; watching && kept && now < end; now = Milliseconds()) {
        const DWORD waited = WaitForSingleObject(changed, static_cast<DWORD>(end - now));
        if (waited == WAIT_TIMEOUT)
            break;
        now = Milliseconds();
        longestQuiet = std::max(longestQuiet, now - lastChange);
        lastChange = now;
        kept = same(before, written());
        watching = waited == WAIT_OBJECT_0 && arm();
    }
    longestQuiet = std::max(longestQuiet, Milliseconds() - lastChange);
    kept = kept && same(before, written());
    if (changed)
        CloseHandle(changed);
    RegCloseKey(key);
    return watching && kept && longestQuiet >= ms / 3;
}

void ResetStandIn()
{
    DeleteKey(StandInPath);
    SetDword(StandInPath, L"On", 0);
}

void SetStandIn(const wchar_t *name, DWORD value)
{
    SetDword(StandInPath, name, value);
}

void ClearStandIn(const wchar_t *name)
{
    DeleteValue(StandInPath, name);
}

DWORD StandInCount(const wchar_t *name)
{
    return ReadDword(StandInPath, name).value_or(0);
}

std::wstring ProgramDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L'\\'));
}

std::wstring SystemDirectory()
{
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, length);
}

bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::optional<std::string> StandInRefusal()
{
    char said[512];
    DWORD length = GetEnvironmentVariableA("LINDQUELL_KIT_STANDIN", said, sizeof(said));
    if (length > 0 && length < sizeof(said))
        return std::string(said) == "ready" ? std::nullopt : std::optional<std::string>(said);
    if (UnderWine())
        return std::nullopt;
    return "the system's own Offline Files library is in place: the kit's run.cmd --disposable-machine sets it "
           "aside for the tests that replace it";
}

void InstallStandIn(const wchar_t *variant)
{
    if (StandInRefusal())
        return;
    const std::wstring target = SystemDirectory() + L"\\cscdll.dll";
    DeleteFileW(target.c_str());
    if (variant)
        CopyFileW((ProgramDirectory() + L"\\cscdll_" + variant + L".dll").c_str(), target.c_str(), FALSE);
}

void UseStandIn()
{
    static bool installed = (InstallStandIn(L"standin"), true);
    (void)installed;
}

namespace {

std::string ReadAvailable(HANDLE pipe)
{
    std::string text;
    char buffer[4096];
    DWORD available = 0, read = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

} // namespace

CapturedRun RunCaptured(const std::wstring &commandLine, const wchar_t *currentDirectory, DWORD timeoutMs)
{
    return RunCapturedAs(nullptr, nullptr, commandLine, currentDirectory, timeoutMs);
}

CapturedRun RunCapturedAs(const wchar_t *user, const wchar_t *password, const std::wstring &commandLine,
                          const wchar_t *currentDirectory, DWORD timeoutMs)
{
    CapturedRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 1 << 16)) {
        run.startError = GetLastError();
        return run;
    }
    if (!CreatePipe(&errRead, &errWrite, &inherit, 1 << 16)) {
        run.startError = GetLastError();
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return run;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process = {};
    ULONGLONG start = Milliseconds();
    const BOOL started =
        user ? CreateProcessWithLogonW(user, L".", password, 0, nullptr, line.data(), 0, nullptr, currentDirectory,
                                       &startup, &process)
             : CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, currentDirectory, &startup,
                              &process);
    if (!started)
        run.startError = GetLastError();
    if (started) {
        DWORD code;
        if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process.hProcess, &code))
            run.exitCode = code;
        else
            TerminateProcess(process.hProcess, 1);
        run.milliseconds = Milliseconds() - start;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    run.out = ReadAvailable(outRead);
    run.err = ReadAvailable(errRead);
    CloseHandle(errRead);
    CloseHandle(outRead);
    return run;
}

bool StartPassingOnly(const wchar_t *application, const std::wstring &commandLine, const wchar_t *directory,
                      DWORD flags, HANDLE input, HANDLE output, const std::vector<HANDLE> &passed,
                      PROCESS_INFORMATION *process)
{
    std::vector<HANDLE> handles = passed;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<BYTE> list(size);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size))
        return false;
    std::wstring line = commandLine;
    const bool started =
        UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                  handles.size() * sizeof(HANDLE), nullptr, nullptr) &&
        CreateProcessW(application, line.empty() ? nullptr : line.data(), nullptr, nullptr, TRUE,
                       flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, directory, &startup.StartupInfo, process);
    // The caller's last error is CreateProcess's, not the clean-up's.
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(startup.lpAttributeList);
    SetLastError(error);
    return started;
}

bool RunningAsLocalSystem()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const bool system = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
                        IsWellKnownSid(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, WinLocalSystemSid);
    CloseHandle(token);
    return system;
}

ULONGLONG Milliseconds()
{
    return GetTickCount64();
}

} // namespace testbed
