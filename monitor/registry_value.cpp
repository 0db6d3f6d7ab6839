#include "registry_value.h"

const wchar_t WinlogonKeyPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t NetCacheKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\NetCache";

DwordRead ReadDwordValue(HKEY key, const wchar_t *name, DWORD *value)
{
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&data), &size);
    // ERROR_MORE_DATA means the value exists but is longer than a DWORD.
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
        return DwordRead::Missing;
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(data))
        return DwordRead::Malformed;
    *value = data;
    return DwordRead::WellFormed;
}

LSTATUS WriteDwordValue(HKEY key, const wchar_t *name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
}
