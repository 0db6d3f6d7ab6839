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

// Deletes one key that has no subkeys, through the view. RegDeleteKeyExW is
// in the advapi32 of every 64-bit Windows, XP x64 and Server 2003 SP1 on
// ("RegDeleteKeyExW function", Microsoft Learn), not in 32-bit XP's; there
// is only one view on 32-bit Windows, so RegDeleteKeyW through the parent,
// opened in the view, does the same there.
LSTATUS DeleteLeaf(REGSAM view, const std::wstring &path)
{
#ifdef _WIN64
    return RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
#else
    typedef LSTATUS(WINAPI * DeleteKeyExFunction)(HKEY, const wchar_t *, REGSAM, DWORD);
    const auto deleteKeyEx = reinterpret_cast<DeleteKeyExFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
    if (deleteKeyEx)
        return deleteKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    HKEY parent;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.substr(0, slash).c_str(), 0, KEY_QUERY_VALUE | view,
                                   &parent);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegDeleteKeyW(parent, path.c_str() + slash + 1);
    RegCloseKey(parent);
    return status;
#endif
}

// The names of the key's subkeys (or values) in order, the longest fitting
// a registry name (255 characters for a key, 16,383 for a value).
std::vector<std::wstring> Names(HKEY key, bool values)
{
    std::vector<std::wstring> names;
    std::vector<wchar_t> name(values ? 16384 : 256);
    for (;;) {
        DWORD length = static_cast<DWORD>(name.size());
        const DWORD index = static_cast<DWORD>(names.size());
        const LSTATUS status =
            values ? RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr)
                   : RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            return names;
        names.emplace_back(name.data(), length);
    }
}

// Copies every value of one open key to another; the registry's code of the
// first that fails.
LSTATUS CopyValues(HKEY source, HKEY target)
{
    for (const std::wstring &name : Names(source, true)) {
        DWORD type = REG_NONE, size = 0;
        LSTATUS status = RegQueryValueExW(source, name.c_str(), nullptr, &type, nullptr, &size);
        std::vector<BYTE> data(size + 1);
        if (status == ERROR_SUCCESS)
            status = RegQueryValueExW(source, name.c_str(), nullptr, &type, data.data(), &size);
        if (status == ERROR_SUCCESS)
            status = RegSetValueExW(target, name.c_str(), 0, type, data.data(), size);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

} // namespace

LSTATUS DeleteTree(REGSAM view, const std::wstring &path)
{
    // Every subkey is opened through the same view: RegDeleteTree opens them
    // without it, and a 32-bit process on 64-bit Windows would reach the
    // 32-bit view's ("Accessing an Alternate Registry View", Microsoft
    // Learn: every child must be opened with the flag).
    HKEY key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | view, &key);
    if (status != ERROR_SUCCESS)
        return status;
    const std::vector<std::wstring> children = Names(key, false);
    RegCloseKey(key);
    for (const std::wstring &child : children) {
        status = DeleteTree(view, path + L"\\" + child);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return DeleteLeaf(view, path);
}

LSTATUS CopyTree(REGSAM view, const std::wstring &from, const std::wstring &to)
{
    HKEY source, target;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, from.c_str(), 0, KEY_READ | view, &source);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, to.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &target,
                             nullptr);
    std::vector<std::wstring> children;
    if (status == ERROR_SUCCESS) {
        status = CopyValues(source, target);
        RegCloseKey(target);
        children = Names(source, false);
    }
    RegCloseKey(source);
    for (const std::wstring &child : children) {
        if (status != ERROR_SUCCESS)
            break;
        status = CopyTree(view, from + L"\\" + child, to + L"\\" + child);
    }
    return status;
}

DWORD HideWinlogonKey()
{
    if (!UnderWine())
        return ERROR_NOT_SUPPORTED;
    LSTATUS status = CopyTree(MachineView, WinlogonPath, WinlogonBackup);
    if (status == ERROR_SUCCESS)
        status = DeleteTree(MachineView, WinlogonPath);
    if (status == ERROR_SUCCESS && KeyExists(WinlogonPath))
        status = ERROR_ALREADY_EXISTS;
    return status;
}

void RestoreWinlogonKey()
{
    if (KeyExists(WinlogonBackup) && CopyTree(MachineView, WinlogonBackup, WinlogonPath) == ERROR_SUCCESS)
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
    DeleteTree(MachineView, path);
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
    const DWORD start = Milliseconds();
    for (;;) {
        if (ReadDword(path, name) == expected)
            return true;
        if (Milliseconds() - start >= timeoutMs)
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
    const DWORD start = Milliseconds();
    DWORD lastChange = start, longestQuiet = 0;
    for (DWORD now = start; watching && kept && now - start < ms; now = Milliseconds()) {
        const DWORD waited = WaitForSingleObject(changed, ms - (now - start));
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

OSVERSIONINFOW WindowsVersion()
{
    typedef LONG(WINAPI * RtlGetVersionFunction)(OSVERSIONINFOW *);
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto get = reinterpret_cast<RtlGetVersionFunction>(
        reinterpret_cast<void *>(ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
    if (!get || get(&version) != 0)
        version = {};
    return version;
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

CRITICAL_SECTION *StartLock()
{
    static CRITICAL_SECTION lock;
    static const bool ready = (InitializeCriticalSection(&lock), true);
    (void)ready;
    return &lock;
}

// Calls start, a CreateProcess that inherits handles, while the handles in
// passed are inheritable and this process's standard handles are not
// (unless passed), then gives each its flag back. XP has no list of the
// handles to inherit (PROC_THREAD_ATTRIBUTE_HANDLE_LIST came with Vista,
// "UpdateProcThreadAttribute function", Microsoft Learn): a child inherits
// every inheritable handle ("Handle Inheritance", Microsoft Learn). So the
// test bed makes its handles uninheritable, and the lock keeps two starts
// from passing on each other's. The last error is start's.
template <typename Start> BOOL InheritingOnly(const std::vector<HANDLE> &passed, Start start)
{
    // Each handle once: the passed ones first, then the standard ones.
    std::vector<HANDLE> handles;
    for (HANDLE handle : passed)
        if (std::find(handles.begin(), handles.end(), handle) == handles.end())
            handles.push_back(handle);
    const size_t inheriting = handles.size();
    for (DWORD standard : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE own = GetStdHandle(standard);
        if (own && own != INVALID_HANDLE_VALUE && std::find(handles.begin(), handles.end(), own) == handles.end())
            handles.push_back(own);
    }
    std::vector<DWORD> flags(handles.size(), 0);
    EnterCriticalSection(StartLock());
    for (size_t i = 0; i < handles.size(); ++i) {
        GetHandleInformation(handles[i], &flags[i]);
        SetHandleInformation(handles[i], HANDLE_FLAG_INHERIT, i < inheriting ? HANDLE_FLAG_INHERIT : 0);
    }
    const BOOL started = start();
    const DWORD error = GetLastError();
    for (size_t i = 0; i < handles.size(); ++i)
        SetHandleInformation(handles[i], HANDLE_FLAG_INHERIT, flags[i] & HANDLE_FLAG_INHERIT);
    LeaveCriticalSection(StartLock());
    SetLastError(error);
    return started;
}

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
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, nullptr, 1 << 16)) {
        run.startError = GetLastError();
        return run;
    }
    if (!CreatePipe(&errRead, &errWrite, nullptr, 1 << 16)) {
        run.startError = GetLastError();
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return run;
    }

    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process = {};
    const DWORD start = Milliseconds();
    const BOOL started = InheritingOnly({outWrite, errWrite}, [&] {
        return user ? CreateProcessWithLogonW(user, L".", password, 0, nullptr, line.data(), 0, nullptr,
                                              currentDirectory, &startup, &process)
                    : CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, currentDirectory,
                                     &startup, &process);
    });
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
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = startup.hStdError = output;
    std::wstring line = commandLine;
    return InheritingOnly(passed, [&] {
        return CreateProcessW(application, line.empty() ? nullptr : line.data(), nullptr, nullptr, TRUE, flags,
                              nullptr, directory, &startup, process);
    }) != FALSE;
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

DWORD Milliseconds()
{
    return GetTickCount();
}

namespace {

ULONGLONG WINAPI TickCount64()
{
    typedef ULONGLONG(WINAPI * TickCount64Function)(void);
    const auto real = reinterpret_cast<TickCount64Function>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")));
    if (real)
        return real();
    // The last count returned: a reading below it has wrapped.
    static ULONGLONG last = 0;
    ULONGLONG seen = __atomic_load_n(&last, __ATOMIC_ACQUIRE);
    for (;;) {
        ULONGLONG now = (seen & ~0xffffffffULL) | GetTickCount();
        if (now < seen)
            now += 1ULL << 32;
        if (__atomic_compare_exchange_n(&last, &seen, now, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return now;
    }
}

} // namespace

} // namespace testbed

// The static runtime's thread library (winpthreads, whose locks libstdc++
// uses) times its waits with GetTickCount64, which Windows XP and Server
// 2003 lack ("GetTickCount64 function", Microsoft Learn: Windows Vista and
// later). Its import slot, defined here, keeps that import out of every
// program that links the test bed: it answers with the real function where
// Windows has one, else with GetTickCount carried over its wraps.
#ifdef _WIN64
#define TICK_COUNT_64_IMPORT "__imp_GetTickCount64"
#else
#define TICK_COUNT_64_IMPORT "__imp__GetTickCount64@0"
#endif
extern "C" {
ULONGLONG(WINAPI *TickCount64Import)(void) __asm__(TICK_COUNT_64_IMPORT) = testbed::TickCount64;
}
