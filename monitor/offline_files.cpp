// Arbitration with Offline Files (client-side caching), reached through the
// platform library cscdll.
#include "monitor.h"
#include "registry_value.h"

namespace {

typedef DWORD(WINAPI *IsCscEnabledFunction)(void);
typedef DWORD(WINAPI *EnableDisableCscFunction)(DWORD enable);

// Bound once per process; the library stays loaded for good. Either entry
// point may be missing: without CSCIsCSCEnabled Offline Files cannot be seen
// and everything is permitted, without CSCDoEnableDisable the Disable policy
// acts as Normal.
struct {
    bool tried;
    IsCscEnabledFunction CSCIsCSCEnabled;
    EnableDisableCscFunction CSCDoEnableDisable;
} CscBinding;

const wchar_t EnabledValue[] = L"Enabled";
const DWORD SettlePolls = 10;
const DWORD SettlePollInterval = 200;  // ms

template <typename Function> Function EntryPoint(HMODULE library, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

void BindOfflineFiles()
{
    CscBinding.tried = true;

    // The service runs as LocalSystem: only the copy in the system directory
    // may be loaded, never one planted beside the executable or in the
    // current directory. The altered search path makes the library's own
    // imports resolve from there as well.
    char path[MAX_PATH];
    const char fileName[] = "\\cscdll.dll";
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof(fileName) > MAX_PATH)
        return;
    CopyMemory(path + length, fileName, sizeof(fileName));

    HMODULE library = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library)
        return;
    CscBinding.CSCDoEnableDisable = EntryPoint<EnableDisableCscFunction>(library, "CSCDoEnableDisable");
    CscBinding.CSCIsCSCEnabled = EntryPoint<IsCscEnabledFunction>(library, "CSCIsCSCEnabled");
}

// The NetCache key is opened, never created, here.
bool OpenNetCacheKey(HKEY *netCache)
{
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, NetCacheKeyPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | MachineView,
                         netCache) == ERROR_SUCCESS;
}

// A change of Enabled takes a while to reach Offline Files. Polls until they
// report the state the registry asks for, at most SettlePolls times.
void WaitForOfflineFilesToSettle()
{
    HKEY netCache;
    if (!OpenNetCacheKey(&netCache))
        return;
    DWORD enabled = 0;
    if (ReadDwordValue(netCache, EnabledValue, &enabled) == DwordRead::WellFormed) {
        const bool wantOff = enabled == 0;
        for (DWORD poll = 0; poll < SettlePolls; ++poll) {
            if ((CscBinding.CSCIsCSCEnabled() == 0) == wantOff)
                break;
            Sleep(SettlePollInterval);
        }
    }
    RegCloseKey(netCache);
}

// Enabled asks for Offline Files only as a REG_DWORD of 4 bytes, non-zero.
bool EnabledCountsAsOn(HKEY netCache)
{
    DWORD enabled = 0;
    return ReadDwordValue(netCache, EnabledValue, &enabled) == DwordRead::WellFormed && enabled != 0;
}

// True when Offline Files report off and Enabled does not ask for them:
// switching them off again would change nothing. It would not be harmless
// either: a library that records the switch in the NetCache key wakes the
// monitor for another NetCache pass with every call, and the monitor would
// call again, for good.
bool OfflineFilesAlreadyOff()
{
    if (!CscBinding.CSCIsCSCEnabled || CscBinding.CSCIsCSCEnabled() != 0)
        return false;
    HKEY netCache;
    if (!OpenNetCacheKey(&netCache))
        return true;
    bool askedOn = EnabledCountsAsOn(netCache);
    RegCloseKey(netCache);
    return !askedOn;
}

// Records in the registry that Offline Files were switched off.
void ClearEnabledValue()
{
    HKEY netCache;
    if (!OpenNetCacheKey(&netCache))
        return;
    if (EnabledCountsAsOn(netCache))
        WriteDwordValue(netCache, EnabledValue, 0);
    RegCloseKey(netCache);
}

} // namespace

bool MultipleSessionsPermitted(OfflineFilesPolicy policy, bool enabling)
{
    if (policy != OfflineFilesPolicy::Normal && policy != OfflineFilesPolicy::Disable)
        return true;
    if (!CscBinding.tried)
        BindOfflineFiles();

    if (!enabling && CscBinding.CSCIsCSCEnabled)
        WaitForOfflineFilesToSettle();

    bool switchedOff = false;
    if (policy == OfflineFilesPolicy::Disable && CscBinding.CSCDoEnableDisable) {
        if (OfflineFilesAlreadyOff())
            return true;
        CscBinding.CSCDoEnableDisable(0);
        switchedOff = true;
    }
    if (CscBinding.CSCIsCSCEnabled && CscBinding.CSCIsCSCEnabled() != 0)
        return false;
    if (switchedOff)
        ClearEnabledValue();
    return true;
}
