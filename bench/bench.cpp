// Measures the service against the fastest notification-driven enforcer and
// against a polling script, in the prefix the bench script prepared (the
// service registered there as QORV-Lindquell). Prints markdown table rows.
//
//   bench latency TRIALS POLL_TRIALS   enforcement, floor, polling peer, start, stop
//   bench rest SECONDS                 the running service's CPU time and memory at rest
//   bench undo                         one outside write of 0 and how long until 1 is back
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

const wchar_t WinlogonPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t Setting[] = L"AllowMultipleTSSessions";
const wchar_t ServiceName[] = L"QORV-Lindquell";
const DWORD TrialTimeout = 5000;
const DWORD TrialSpacing = 20;  // ms between trials, so each starts from a quiet enforcer

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

HKEY OpenWinlogon()
{
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, WinlogonPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY, &key);
    return key;
}

DWORD ReadSetting(HKEY key)
{
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExW(key, Setting, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0xFFFFFFFF;
    return value;
}

void WriteSetting(HKEY key, DWORD value)
{
    RegSetValueExW(key, Setting, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
}

void Arm(HKEY key, HANDLE event)
{
    RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
}

// Waits, through notifications, until the setting reads `value`.
bool WaitForSetting(HKEY key, HANDLE changed, DWORD value, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        Arm(key, changed);
        if (ReadSetting(key) == value)
            return true;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline || WaitForSingleObject(changed, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0)
            return false;
    }
}

// One trial: an outside write of 0 until some enforcer has written 1 back,
// in milliseconds; negative when it was not undone in time.
double Trial(HKEY key, HANDLE changed, DWORD timeoutMs)
{
    Arm(key, changed);
    double start = Now();
    WriteSetting(key, 0);
    if (!WaitForSetting(key, changed, 1, timeoutMs))
        return -1;
    return Now() - start;
}

struct Summary {
    double median, p99;
    size_t count, missed;
};

double Percentile(std::vector<double> sorted, double fraction)
{
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

Summary Summarise(std::vector<double> samples, size_t missed = 0)
{
    if (samples.empty())
        return {0, 0, 0, missed};
    std::sort(samples.begin(), samples.end());
    return {Percentile(samples, 0.5), Percentile(samples, 0.99), samples.size(), missed};
}

// Trials are spaced by TrialSpacing plus up to jitterMs, so that a polling
// enforcer meets them at every phase of its period.
Summary RunTrials(int trials, DWORD timeoutMs, DWORD jitterMs = 0)
{
    unsigned seed = 12345;
    HKEY key = OpenWinlogon();
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::vector<double> samples;
    size_t missed = 0;
    for (int i = 0; i < trials; ++i) {
        // Wine passes over a write that leaves a value as it was, without a
        // notification, so every trial starts from 1.
        if (ReadSetting(key) != 1)
            WriteSetting(key, 1);
        seed = seed * 1103515245u + 12345u;
        Sleep(TrialSpacing + (jitterMs ? (seed >> 8) % jitterMs : 0));
        double took = Trial(key, changed, timeoutMs);
        if (took < 0)
            ++missed;
        else
            samples.push_back(took);
    }
    CloseHandle(changed);
    RegCloseKey(key);
    return Summarise(samples, missed);
}

// --- Enforcers inside the benchmark ---

struct Enforcer {
    HANDLE stop;
    HANDLE thread;
};

// The floor: arm a notification, wait, read, write 1 when needed, re-arm.
DWORD WINAPI MinimalWatcher(void *stop)
{
    HKEY key = OpenWinlogon();
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE waits[] = {changed, stop};
    Arm(key, changed);
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        if (ReadSetting(key) != 1)
            WriteSetting(key, 1);
        Arm(key, changed);
    }
    CloseHandle(changed);
    RegCloseKey(key);
    return 0;
}

// What a scheduled script does: read every second, write 1 when needed.
DWORD WINAPI PollingPeer(void *stop)
{
    HKEY key = OpenWinlogon();
    do {
        if (ReadSetting(key) != 1)
            WriteSetting(key, 1);
    } while (WaitForSingleObject(stop, 1000) == WAIT_TIMEOUT);
    RegCloseKey(key);
    return 0;
}

Enforcer StartEnforcer(LPTHREAD_START_ROUTINE body)
{
    Enforcer enforcer;
    enforcer.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    enforcer.thread = CreateThread(nullptr, 0, body, enforcer.stop, 0, nullptr);
    return enforcer;
}

void StopEnforcer(Enforcer enforcer)
{
    SetEvent(enforcer.stop);
    WaitForSingleObject(enforcer.thread, INFINITE);
    CloseHandle(enforcer.thread);
    CloseHandle(enforcer.stop);
}

// --- The service ---

DWORD ServiceState(SC_HANDLE service, DWORD *processId = nullptr)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status), sizeof(status),
                         &needed);
    if (processId)
        *processId = status.dwProcessId;
    return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE service, DWORD state)
{
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (ServiceState(service) != state) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(1);
    }
    return true;
}

SC_HANDLE OpenLindquell(SC_HANDLE *manager)
{
    *manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    return *manager ? OpenServiceW(*manager, ServiceName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
                    : nullptr;
}

// Start until running with the setting enforced, and stop until stopped.
void StartStopLatency(SC_HANDLE service, int runs, Summary *start, Summary *stop)
{
    HKEY key = OpenWinlogon();
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::vector<double> starts, stops;
    for (int i = 0; i < runs; ++i) {
        WriteSetting(key, 0);
        Sleep(TrialSpacing);
        double begin = Now();
        if (!StartServiceW(service, 0, nullptr) || !WaitForState(service, SERVICE_RUNNING) ||
            !WaitForSetting(key, changed, 1, TrialTimeout))
            continue;
        starts.push_back(Now() - begin);
        Sleep(100);
        SERVICE_STATUS status;
        begin = Now();
        if (ControlService(service, SERVICE_CONTROL_STOP, &status) && WaitForState(service, SERVICE_STOPPED))
            stops.push_back(Now() - begin);
        Sleep(100);
    }
    CloseHandle(changed);
    RegCloseKey(key);
    *start = Summarise(starts, static_cast<size_t>(runs) - starts.size());
    *stop = Summarise(stops, static_cast<size_t>(runs) - stops.size());
}

// What one question to the Offline Files library costs: the service asks it
// before every write of 1 unless Offline Files are ignored.
Summary OfflineFilesQuestion(int calls)
{
    const wchar_t fileName[] = L"\\cscdll.dll";
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + ARRAYSIZE(fileName) > MAX_PATH)
        return Summarise({});
    CopyMemory(path + length, fileName, sizeof(fileName));
    HMODULE library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    auto isEnabled = library ? reinterpret_cast<DWORD(WINAPI *)()>(
                                   reinterpret_cast<void *>(GetProcAddress(library, "CSCIsCSCEnabled")))
                             : nullptr;
    std::vector<double> samples;
    for (int i = 0; isEnabled && i < calls; ++i) {
        double start = Now();
        isEnabled();
        samples.push_back(Now() - start);
    }
    return Summarise(samples);
}

void PrintRow(const char *what, const Summary &summary)
{
    printf("| %s | %zu | %.3f | %.3f |", what, summary.count, summary.median, summary.p99);
    if (summary.missed)
        printf(" %zu timed out |\n", summary.missed);
    else
        printf(" |\n");
}

int Latency(int trials, int pollTrials)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenLindquell(&manager);
    if (!service) {
        fprintf(stderr, "The QORV-Lindquell service is not registered.\n");
        return 2;
    }

    if (ServiceState(service) != SERVICE_RUNNING &&
        (!StartServiceW(service, 0, nullptr) || !WaitForState(service, SERVICE_RUNNING)))
        return 3;
    Summary byService = RunTrials(trials, TrialTimeout);
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    WaitForState(service, SERVICE_STOPPED);

    Enforcer floor = StartEnforcer(MinimalWatcher);
    Summary byFloor = RunTrials(trials, TrialTimeout);
    StopEnforcer(floor);

    Enforcer poller = StartEnforcer(PollingPeer);
    Summary byPolling = RunTrials(pollTrials, 3000, 1000);
    StopEnforcer(poller);

    Summary start, stop;
    StartStopLatency(service, 20, &start, &stop);

    printf("| trial | count | median ms | 99th percentile ms | note |\n|---|---|---|---|---|\n");
    PrintRow("service: outside write of 0 until 1 is back", byService);
    PrintRow("floor: minimal notification watcher", byFloor);
    PrintRow("polling peer: read every 1 s", byPolling);
    PrintRow("service start until running and enforced", start);
    PrintRow("service stop until stopped", stop);
    PrintRow("one CSCIsCSCEnabled call of the Offline Files stand-in", OfflineFilesQuestion(trials));
    printf("\n| ratio | median | 99th percentile |\n|---|---|---|\n");
    printf("| service / floor | %.2f | %.2f |\n", byService.median / byFloor.median, byService.p99 / byFloor.p99);
    printf("| polling peer / service | %.0f | %.0f |\n", byPolling.median / byService.median,
           byPolling.p99 / byService.p99);

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

ULONGLONG CpuTime(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
           (static_cast<ULONGLONG>(user.dwHighDateTime) << 32 | user.dwLowDateTime);
}

int Rest(DWORD seconds)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenLindquell(&manager);
    DWORD processId = 0;
    if (!service || ServiceState(service, &processId) != SERVICE_RUNNING)
        return 2;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!process)
        return 3;
    ULONGLONG before = CpuTime(process);
    Sleep(seconds * 1000);
    ULONGLONG after = CpuTime(process);
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&memory), sizeof(memory));
    printf("| CPU time over %lu s at rest (GetProcessTimes) | %.1f ms |\n", seconds,
           static_cast<double>(after - before) / 10000.0);
    printf("| CPU time since start (GetProcessTimes) | %.1f ms |\n", static_cast<double>(after) / 10000.0);
    printf("| private bytes (GetProcessMemoryInfo) | %zu KiB |\n", memory.PrivateUsage / 1024);
    printf("| working set (GetProcessMemoryInfo) | %zu KiB |\n", memory.WorkingSetSize / 1024);
    CloseHandle(process);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int Undo()
{
    HKEY key = OpenWinlogon();
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    double took = Trial(key, changed, TrialTimeout);
    CloseHandle(changed);
    RegCloseKey(key);
    if (took < 0) {
        printf("not undone within %lu s\n", TrialTimeout / 1000);
        return 1;
    }
    printf("undone in %.1f ms\n", took);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 4 && wcscmp(argv[1], L"latency") == 0)
        return Latency(_wtoi(argv[2]), _wtoi(argv[3]));
    if (argc >= 3 && wcscmp(argv[1], L"rest") == 0)
        return Rest(static_cast<DWORD>(_wtoi(argv[2])));
    if (argc >= 2 && wcscmp(argv[1], L"undo") == 0)
        return Undo();
    fprintf(stderr, "usage: bench latency TRIALS POLL_TRIALS | bench rest SECONDS | bench undo\n");
    return 1;
}
