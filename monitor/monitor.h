// Session-setting enforcement: keeps AllowMultipleTSSessions on under the
// Winlogon key whenever the Offline Files arbitration permits it.
#pragma once

#include <windows.h>

// How the monitor treats Offline Files (client-side caching), which cannot
// coexist with multiple sessions. Any value other than Normal and Disable
// acts as Ignore.
enum class OfflineFilesPolicy : DWORD {
    Normal = 0,   // option n: permit multiple sessions only while Offline Files are off
    Disable = 1,  // option d: switch Offline Files off, then permit
    Ignore = 2,   // option i: always permit; Offline Files are never looked at
};

// Watches the Winlogon and NetCache keys and enforces the setting until
// stopEvent is signalled or a call fails. Options are read from argv (the
// first entry, the program name, is skipped). stopEvent may be null; it is
// never closed or reset here.
// Returns 0 after an ordinary stop, otherwise the Win32 error code of the
// call that failed.
DWORD MonitorSessionSetting(int argc, wchar_t **argv, HANDLE stopEvent);

// True when AllowMultipleTSSessions may be on under the given policy.
// enabling is true before a write of 1 and false when the NetCache key
// changed; only then does it wait (at most 2 s) for Offline Files to catch
// up with the Enabled value. Call from one thread only.
bool MultipleSessionsPermitted(OfflineFilesPolicy policy, bool enabling);
