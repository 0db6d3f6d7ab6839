// Service host: the process entry, the service lifecycle and the console
// status report.
#pragma once

#include <windows.h>

#include <cstdio>

extern const wchar_t ServiceName[];

// The service entry function that the dispatcher runs on its own thread.
void WINAPI ServiceMain(DWORD argc, wchar_t **argv);

const DWORD ServiceStateUnknown = static_cast<DWORD>(-1);

// The service's dwCurrentState, or ServiceStateUnknown when it cannot be obtained
// (the service is not installed, for one). With a stream, prints one line
// about it there.
DWORD QueryServiceState(FILE *out);
