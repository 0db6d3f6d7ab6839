// Measures the service against the fastest notification-driven enforcer and
// against a polling script, in the prefix the bench script prepared (the
// service registered there as QORV-Lindquell). Prints markdown table rows.
//
//   bench latency TRIALS POLL_TRIALS [asks]
//                                      enforcement against the floor (and, with
//                                      "asks", against a floor that asks Offline
//                                      Files as the service does), in interleaved
//                                      blocks; polling peer, start, stop
//   bench rest SECONDS                 the running service's CPU time, memory and threads at rest
//   bench undo                         one outside write of 0 and how long until 1 is back
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

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
// Trials of the service and of the floors alternate in blocks of this many,
// so that the machine's slow drifts fall on all of them alike.
const int BlockSize = 50;

typedef DWORD(WINAPI *IsCscEnabledFunction)(void);

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

struct Samples {
    std::vector<double> taken;
    size_t missed = 0;
};

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

Summary Summarise(const Samples &samples)
{
    return Summarise(samples.taken, samples.missed);
}

// Trials are spaced by TrialSpacing plus up to jitterMs, so that a polling
// enforcer meets them at every phase of its period. Adds to *samples.
void RunTrials(int trials, DWORD timeoutMs, Samples *samples, DWORD jitterMs = 0)
{
    static unsigned seed = 12345;
    HKEY key = OpenWinlogon();
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < trials; ++i) {
        // Wine passes over a write that leaves a value as it was, without a
        // notification, so every trial starts from 1.
        if (ReadSetting(key) != 1)
            WriteSetting(key, 1);
        seed = seed * 1103515245u + 12345u;
        Sleep(TrialSpacing + (jitterMs ? (seed >> 8) % jitterMs : 0));
        double took = Trial(key, changed, timeoutMs);
        if (took < 0)
            ++samples->missed;
        else
            samples->taken.push_back(took);
    }
    CloseHandle(changed);
    RegCloseKey(key);
}

// --- Enforcers inside the benchmark ---

struct Enforcer {
    HANDLE stop;
    HANDLE thread;
    IsCscEnabledFunction askOfflineFiles;  // asked before each write of 1, when set
};

// The floor: arm a notification, wait, read, write 1 when needed (and, when
// it asks, permitted), re-arm.
DWORD WINAPI MinimalWatcher(void *context)
{
    const Enforcer *self = static_cast<const Enforcer *>(context);
    HKEY key = OpenWinlogon();
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE waits[] = {changed, self->stop};
    Arm(key, changed);
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        if (ReadSetting(key) != 1 && (!self->askOfflineFiles || self->askOfflineFiles() == 0))
            WriteSetting(key, 1);
        Arm(key, changed);
    }
    CloseHandle(changed);
    RegCloseKey(key);
    return 0;
}

// What a scheduled script does: read every second, write 1 when needed.
DWORD WINAPI PollingPeer(void *context)
{
    const Enforcer *self = static_cast<const Enforcer *>(context);
    HKEY key = OpenWinlogon();
    do {
        if (ReadSetting(key) != 1)
            WriteSetting(key, 1);
    } while (WaitForSingleObject(self->stop, 1000) == WAIT_TIMEOUT);
    RegCloseKey(key);
    return 0;
}

// Runs trials against an enforcer on a thread of the benchmark.
void TimeEnforcer(LPTHREAD_START_ROUTINE body, IsCscEnabledFunction askOfflineFiles, int trials, DWORD timeoutMs,
                  Samples *samples, DWORD jitterMs = 0)
{
    Enforcer enforcer = {CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr, askOfflineFiles};
    enforcer.thread = CreateThread(nullptr, 0, body, &enforcer, 0, nullptr);
    RunTrials(trials, timeoutMs, samples, jitterMs);
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

// The Offline Files library the service binds, from the system directory;
// null when it or its CSCIsCSCEnabled is missing. Stays loaded.
IsCscEnabledFunction BindOfflineFilesQuestion()
{
    const wchar_t fileName[] = L"\\cscdll.dll";
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + ARRAYSIZE(fileName) > MAX_PATH)
        return nullptr;
    CopyMemory(path + length, fileName, sizeof(fileName));
    HMODULE library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return library ? reinterpret_cast<IsCscEnabledFunction>(
                         reinterpret_cast<void *>(GetProcAddress(library, "CSCIsCSCEnabled")))
                   : nullptr;
}

// What one question to the Offline Files library costs.
Summary TimeOfflineFilesQuestion(IsCscEnabledFunction isEnabled, int calls)
{
    std::vector<double> samples;
    for (int i = 0; isEnabled && i < calls; ++i) {
        double start = Now();
        isEnabled();
        samples.push_back(Now() - start);
    }
    return Summarise(samples);
}

bool StartService(SC_HANDLE service)
{
    if (ServiceState(service) == SERVICE_RUNNING)
        return true;
    return StartServiceW(service, 0, nullptr) && WaitForState(service, SERVICE_RUNNING);
}

void StopService(SC_HANDLE service)
{
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    WaitForState(service, SERVICE_STOPPED);
}

void PrintRow(const char *what, const Summary &summary)
{
    printf("| %s | %llu | %.3f | %.3f |", what, static_cast<unsigned long long>(summary.count), summary.median,
           summary.p99);
    if (summary.missed)
        printf(" %llu timed out |\n", static_cast<unsigned long long>(summary.missed));
    else
        printf(" |\n");
}

void PrintRatio(const char *what, const Summary &over, const Summary &under)
{
    printf("| %s | %.2f | %.2f |\n", what, over.median / under.median, over.p99 / under.p99);
}

// asks: the service asks Offline Files before each write of 1 (any policy but
// Ignore), and is then also compared with a floor that asks the same library.
int Latency(int trials, int pollTrials, bool asks)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenLindquell(&manager);
    if (!service) {
        fprintf(stderr, "The QORV-Lindquell service is not registered.\n");
        return 2;
    }
    IsCscEnabledFunction isEnabled = BindOfflineFilesQuestion();
    if (asks && !isEnabled) {
        fprintf(stderr, "No Offline Files library with CSCIsCSCEnabled in the system directory.\n");
        return 3;
    }

    Samples serviceTrials, floorTrials, askingFloorTrials;
    for (int done = 0; done < trials; done += BlockSize) {
        const int block = std::min(BlockSize, trials - done);
        if (!StartService(service))
            return 4;
        RunTrials(block, TrialTimeout, &serviceTrials);
        StopService(service);
        TimeEnforcer(MinimalWatcher, nullptr, block, TrialTimeout, &floorTrials);
        if (asks)
            TimeEnforcer(MinimalWatcher, isEnabled, block, TrialTimeout, &askingFloorTrials);
    }

    Samples pollingTrials;
    TimeEnforcer(PollingPeer, nullptr, pollTrials, 3000, &pollingTrials, 1000);

    Summary start, stop;
    StartStopLatency(service, 20, &start, &stop);

    const Summary byService = Summarise(serviceTrials), byFloor = Summarise(floorTrials),
                  byAskingFloor = Summarise(askingFloorTrials), byPolling = Summarise(pollingTrials);
    printf("| trial | count | median ms | 99th percentile ms | note |\n|---|---|---|---|---|\n");
    PrintRow("service: outside write of 0 until 1 is back", byService);
    PrintRow("floor: minimal notification watcher", byFloor);
    if (asks)
        PrintRow("floor asking Offline Files: the same, with one CSCIsCSCEnabled call before each write", byAskingFloor);
    PrintRow("polling peer: read every 1 s", byPolling);
    PrintRow("service start until running and enforced", start);
    PrintRow("service stop until stopped", stop);
    PrintRow("one CSCIsCSCEnabled call of the Offline Files stand-in", TimeOfflineFilesQuestion(isEnabled, trials));
    printf("\n| ratio | median | 99th percentile |\n|---|---|---|\n");
    if (asks)
        PrintRatio("service / floor asking Offline Files", byService, byAskingFloor);
    PrintRatio("service / floor", byService, byFloor);
    printf("| polling peer / service | %.0f | %.0f |\n", byPolling.median / byService.median, byPolling.p99 / byService.p99);

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

// The number of threads of a process, from a snapshot of all processes
// (PROCESSENTRY32 cntThreads); 0 when it is not in the snapshot.
DWORD ThreadCount(DWORD processId)
{
    DWORD threads = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == processId)
            threads = entry.cntThreads;
    }
    CloseHandle(snapshot);
    return threads;
}

// Measured through the process id that the service manager gives for the
// service, not by the executable's name: other copies of it may run.
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
    printf("| private bytes (GetProcessMemoryInfo) | %llu KiB |\n",
           static_cast<unsigned long long>(memory.PrivateUsage / 1024));
    printf("| working set (GetProcessMemoryInfo) | %llu KiB |\n",
           static_cast<unsigned long long>(memory.WorkingSetSize / 1024));
    printf("| threads (process snapshot) | %lu (Wine adds its own beside the service's two) |\n",
           ThreadCount(processId));
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
        return Latency(_wtoi(argv[2]), _wtoi(argv[3]), argc >= 5 && wcscmp(argv[4], L"asks") == 0);
    if (argc >= 3 && wcscmp(argv[1], L"rest") == 0)
        return Rest(static_cast<DWORD>(_wtoi(argv[2])));
    if (argc >= 2 && wcscmp(argv[1], L"undo") == 0)
        return Undo();
    fprintf(stderr, "usage: bench latency TRIALS POLL_TRIALS [asks] | bench rest SECONDS | bench undo\n");
    return 1;
}
