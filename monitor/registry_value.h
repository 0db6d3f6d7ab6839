// Registry keys and the one way this product reads and writes values.
#pragma once

#include <windows.h>

extern const wchar_t WinlogonKeyPath[];  // under HKEY_LOCAL_MACHINE
extern const wchar_t NetCacheKeyPath[];  // under HKEY_LOCAL_MACHINE

// Added to the access of every key this product opens. Both keys live under
// HKLM\Software, which a 32-bit process on 64-bit Windows otherwise sees
// through the registry redirector (Software\Wow6432Node): a copy Windows does
// not read. 32-bit Windows ignores the flag ("Accessing an Alternate Registry
// View", Microsoft Learn).
const REGSAM MachineView = KEY_WOW64_64KEY;

enum class DwordRead {
    Missing,    // the read failed: absent value, or no access
    Malformed,  // present, but not a REG_DWORD of exactly 4 bytes
    WellFormed, // *value holds the data
};

// Reads through a 4-byte buffer; a value longer than that is Malformed.
DwordRead ReadDwordValue(HKEY key, const wchar_t *name, DWORD *value);

// Writes a REG_DWORD of 4 bytes and returns the registry's own error code.
LSTATUS WriteDwordValue(HKEY key, const wchar_t *name, DWORD value);
