// Writes AllowMultipleTSSessions = 0, as another program would, and prints
// how long it takes until the running service has written 1 back.
// Exit code 0 when it was undone, 1 when not within five seconds.
#include <windows.h>

#include <cstdio>

int wmain()
{
    const wchar_t *const winlogonPath = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
    const wchar_t *const name = L"AllowMultipleTSSessions";
    HKEY winlogon;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, winlogonPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY,
                      &winlogon) != ERROR_SUCCESS)
        return 2;
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    const DWORD off = 0;
    RegSetValueExW(winlogon, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&off), sizeof(off));
    QueryPerformanceCounter(&start);

    bool undone = false;
    const ULONGLONG deadline = GetTickCount64() + 5000;
    for (;;) {
        // Armed before the read, so a write between the two is not missed.
        RegNotifyChangeKeyValue(winlogon, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE);
        DWORD value = 0, type = 0, size = sizeof(value);
        if (RegQueryValueExW(winlogon, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && value == 1) {
            undone = true;
            break;
        }
        ULONGLONG left = GetTickCount64();
        if (left >= deadline || WaitForSingleObject(changed, static_cast<DWORD>(deadline - left)) != WAIT_OBJECT_0)
            break;
    }
    QueryPerformanceCounter(&now);

    if (undone)
        printf("undone in %.1f ms\n", 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
                                          static_cast<double>(frequency.QuadPart));
    else
        printf("not undone within 5 s\n");
    CloseHandle(changed);
    RegCloseKey(winlogon);
    return undone ? 0 : 1;
}
