/* Stand-in for the platform's Offline Files library, for tests only.
 *
 * Its state and counters live under HKLM\Software\Lindquell Tests\Offline Files
 * (the tests reach them through tests/support/testbed.h):
 *   On            what CSCIsCSCEnabled reports (0 or 1)
 *   LagMs         when present, CSCIsCSCEnabled reports the NetCache Enabled
 *                 value once the NetCache key has been unchanged for LagMs,
 *                 and On before that
 *   FailDisable   when non-zero, CSCDoEnableDisable changes nothing
 *   RecordInNetCache
 *                 when non-zero, CSCDoEnableDisable also records the call in
 *                 the NetCache key, as a library that keeps its setting there
 *                 would; the value it writes (StandInRecord) changes on every
 *                 call, so that Wine notifies it as Windows notifies any write
 *   ChangeWinlogon
 *                 when non-zero, CSCIsCSCEnabled writes the call's number to
 *                 StandInRecord under the Winlogon key: every question the
 *                 monitor asks changes the key it watches, a storm of changes
 *                 without a gap
 *   LastError     when non-zero, both entry points leave this last-error value
 *                 behind, as library calls that succeed may
 *   Loads, IsEnabledCalls, EnableDisableCalls, LastEnableDisableArg
 *                 what the library saw
 * Built in variants: OMIT_IS_ENABLED and OMIT_ENABLE_DISABLE leave that export
 * out; PLANTED makes a copy that counts PlantedLoads and always reports on,
 * standing for a library an attacker placed where it must not be loaded.
 */
#include <windows.h>

static const wchar_t ControlKey[] = L"Software\\Lindquell Tests\\Offline Files";
#define NetCacheKey L"Software\\Microsoft\\Windows\\CurrentVersion\\NetCache"
#define WinlogonKey L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"

/* Every key through the 64-bit view, as the product and the test bed open
 * them: a 32-bit copy on 64-bit Windows sees the same keys they do. */
static BOOL ReadDword(HKEY root, const wchar_t *path, const wchar_t *name, DWORD *value)
{
    HKEY key;
    DWORD type = 0, size = sizeof(*value);
    BOOL read;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return FALSE;
    read = RegQueryValueExW(key, name, NULL, &type, (BYTE *)value, &size) == ERROR_SUCCESS && type == REG_DWORD &&
           size == sizeof(*value);
    RegCloseKey(key);
    return read;
}

static void WriteDword(const wchar_t *path, const wchar_t *name, DWORD value)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
    RegCloseKey(key);
}

static DWORD ReadControl(const wchar_t *name)
{
    DWORD value = 0;
    ReadDword(HKEY_LOCAL_MACHINE, ControlKey, name, &value);
    return value;
}

static void WriteControl(const wchar_t *name, DWORD value)
{
    WriteDword(ControlKey, name, value);
}

static void Count(const wchar_t *name)
{
    WriteControl(name, ReadControl(name) + 1);
}

#ifndef PLANTED
static void LeaveLastError(void)
{
    DWORD error = ReadControl(L"LastError");
    if (error)
        SetLastError(error);
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
#ifdef PLANTED
        Count(L"PlantedLoads");
#else
        Count(L"Loads");
#endif
    }
    return TRUE;
}

#ifndef OMIT_IS_ENABLED
#ifdef PLANTED
__declspec(dllexport) DWORD WINAPI CSCIsCSCEnabled(void)
{
    return 1;
}
#else
/* Milliseconds since the NetCache key was last written. */
static BOOL NetCacheAge(ULONGLONG *age)
{
    HKEY key;
    FILETIME written, now;
    BOOL ok = FALSE;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NetCacheKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return FALSE;
    if (RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &written) ==
        ERROR_SUCCESS) {
        ULARGE_INTEGER from, to;
        GetSystemTimeAsFileTime(&now);
        from.LowPart = written.dwLowDateTime;
        from.HighPart = written.dwHighDateTime;
        to.LowPart = now.dwLowDateTime;
        to.HighPart = now.dwHighDateTime;
        *age = to.QuadPart > from.QuadPart ? (to.QuadPart - from.QuadPart) / 10000 : 0;
        ok = TRUE;
    }
    RegCloseKey(key);
    return ok;
}

__declspec(dllexport) DWORD WINAPI CSCIsCSCEnabled(void)
{
    DWORD lag, enabled, on;
    ULONGLONG age;
    Count(L"IsEnabledCalls");
    if (ReadControl(L"ChangeWinlogon")) {
        DWORD record = ReadControl(L"IsEnabledCalls");
        WriteDword(WinlogonKey, L"StandInRecord", record);
    }
    on = ReadControl(L"On");
    if (ReadDword(HKEY_LOCAL_MACHINE, ControlKey, L"LagMs", &lag) &&
        ReadDword(HKEY_LOCAL_MACHINE, NetCacheKey, L"Enabled", &enabled) && NetCacheAge(&age) && age >= lag)
        on = enabled != 0;
    LeaveLastError();
    return on;
}
#endif
#endif

#ifndef OMIT_ENABLE_DISABLE
__declspec(dllexport) DWORD WINAPI CSCDoEnableDisable(DWORD enable)
{
#ifdef PLANTED
    (void)enable;
    return TRUE;
#else
    Count(L"EnableDisableCalls");
    WriteControl(L"LastEnableDisableArg", enable);
    if (!ReadControl(L"FailDisable"))
        WriteControl(L"On", enable != 0);
    if (ReadControl(L"RecordInNetCache")) {
        DWORD record = ReadControl(L"EnableDisableCalls");
        WriteDword(NetCacheKey, L"StandInRecord", record);
    }
    LeaveLastError();
    return TRUE;
#endif
}
#endif
