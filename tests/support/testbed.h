// Helpers the tests share: the prefix's registry, the Offline Files stand-in,
// and child processes. They talk to the real platform inside Wine.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace testbed {

inline const wchar_t WinlogonPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
inline const wchar_t NetCachePath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\NetCache";
inline const wchar_t MultipleSessions[] = L"AllowMultipleTSSessions";
// What the test bed's reset prints when it leaves the test bed clean: the
// kit's runner tells a reset that ran from one that did not by it.
inline const char ResetCleanLine[] = "The test bed is clean.";
// The comment of a throwaway local account a test makes; the kit's runner
// deletes any such account a killed test left behind.
inline const wchar_t ThrowawayAccountComment[] = L"Throwaway account of the QORV-Lindquell tests";

// Values under HKEY_LOCAL_MACHINE, always through the 64-bit view: the keys
// Windows reads, also from a 32-bit test on 64-bit Windows (the product opens
// them so too). Setters create the key when needed.
inline const REGSAM MachineView = KEY_WOW64_64KEY;
void SetDword(const wchar_t *path, const wchar_t *name, DWORD value);
void SetRaw(const wchar_t *path, const wchar_t *name, DWORD type, const void *data, DWORD size);
void DeleteValue(const wchar_t *path, const wchar_t *name);
void DeleteKey(const wchar_t *path);
bool KeyExists(const wchar_t *path);
// A key's tree under HKEY_LOCAL_MACHINE, each key opened through the view
// (KEY_WOW64_64KEY or KEY_WOW64_32KEY), with the calls Windows XP has:
// deleted, or copied into a key created when missing. The registry's code of
// the call that stopped it, or 0.
LSTATUS DeleteTree(REGSAM view, const std::wstring &path);
LSTATUS CopyTree(REGSAM view, const std::wstring &from, const std::wstring &to);

struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};
Value ReadValue(const wchar_t *path, const wchar_t *name);
// The value when it is a REG_DWORD of 4 bytes.
std::optional<DWORD> ReadDword(const wchar_t *path, const wchar_t *name);

// Polls until the value is a REG_DWORD equal to expected; false on time-out.
bool WaitForDword(const wchar_t *path, const wchar_t *name, DWORD expected, DWORD timeoutMs);
// True when, for the given time, neither AllowMultipleTSSessions nor
// Enabled under the key changes and the key does not keep changing.
bool KeyStaysQuiet(const wchar_t *path, DWORD ms);

// Moves the Winlogon key aside, for the cases where it is missing, and puts
// it back: under Wine only. On Windows that key holds subkeys the system
// manages, with their own security, that a copy would not bring back; there
// it refuses with ERROR_NOT_SUPPORTED. Returns the code of the call that
// stopped it, or 0 when the key is gone. Restoring is harmless when nothing
// was moved.
DWORD HideWinlogonKey();
void RestoreWinlogonKey();
// For this process only, HKEY_LOCAL_MACHINE becomes an empty key of the
// test bed's own (RegOverridePredefKey): the system's keys are not touched,
// and code of this process finds no Winlogon key. Returns the registry's code.
DWORD MapMachineKeyToEmptyKey();
void UnmapMachineKey();

// True under Wine (its ntdll exports wine_get_version), false on Windows.
bool UnderWine();
// The version Windows really is: GetVersionEx answers what the program's
// manifest lets it know, RtlGetVersion the truth ("RtlGetVersion function",
// Microsoft Learn). All zero when it cannot be read.
OSVERSIONINFOW WindowsVersion();

// Skips the current test under Wine: for what only Windows does.
#define SKIP_UNDER_WINE(what) \
    if (::testbed::UnderWine()) \
    GTEST_SKIP() << "only Windows shows this (" what ")"

// Skips the current test on Windows: for what only Wine may be put through.
#define SKIP_UNDER_WINDOWS(why) \
    if (!::testbed::UnderWine()) \
    GTEST_SKIP() << "only under Wine: " why

// The Offline Files stand-in (tests/cscdll): its control values and counters.
void ResetStandIn();
void SetStandIn(const wchar_t *name, DWORD value);
void ClearStandIn(const wchar_t *name);
DWORD StandInCount(const wchar_t *name);
// Why the stand-in may not take the system's own library's place, or
// nothing when it may: always under Wine, which has no library of its own;
// on Windows only once the kit's runner has set the system's library aside
// and said so in LINDQUELL_KIT_STANDIN ("ready", or why it could not).
std::optional<std::string> StandInRefusal();
// In a fixture's SetUp: skips the test where the stand-in may not be used.
#define SKIP_WITHOUT_STAND_IN() \
    if (auto refusal = ::testbed::StandInRefusal()) \
    GTEST_SKIP() << *refusal
// Installs the full stand-in once per process, before anything loads it.
void UseStandIn();
// Puts the stand-in variant cscdll_<variant>.dll from beside this test program
// into the system directory as cscdll.dll; a null variant removes it. Does
// nothing where the stand-in is refused.
void InstallStandIn(const wchar_t *variant);

std::wstring ProgramDirectory();
std::wstring SystemDirectory();

// A program run with its standard output and error captured.
struct CapturedRun {
    std::optional<DWORD> exitCode;  // nothing when it did not start or end in time
    DWORD startError = ERROR_SUCCESS;  // why it did not start
    std::string out;
    std::string err;
    DWORD milliseconds = 0;
};
CapturedRun RunCaptured(const std::wstring &commandLine, const wchar_t *currentDirectory = nullptr,
                        DWORD timeoutMs = 30000);
// Starts a program that inherits the handles in passed and no other, with
// input and output as its standard input and its standard output and error
// (both among passed). A process that outlives its starter, as Wine's
// background processes do, then holds no pipe or file of the starter's.
// application and directory may be null; flags are CreateProcess's. The
// handles are made inheritable only for the start, and every start of the
// test bed in this process waits for the one before: handles the caller
// makes must be uninheritable, or another start may pass them on.
bool StartPassingOnly(const wchar_t *application, const std::wstring &commandLine, const wchar_t *directory,
                      DWORD flags, HANDLE input, HANDLE output, const std::vector<HANDLE> &passed,
                      PROCESS_INFORMATION *process);
// The same under another local account, through the Secondary Logon
// service. CreateProcessWithLogonW refuses a caller running as LocalSystem,
// whose token lacks the logon SID it uses, and fails with 1058 where that
// service is disabled ("CreateProcessWithLogonW function", Microsoft Learn).
CapturedRun RunCapturedAs(const wchar_t *user, const wchar_t *password, const std::wstring &commandLine,
                          const wchar_t *currentDirectory = nullptr, DWORD timeoutMs = 30000);

// True when this process runs as LocalSystem.
bool RunningAsLocalSystem();

// GetTickCount: it wraps after 49.7 days, so compare elapsed times (the
// DWORD difference of two readings), never a deadline.
DWORD Milliseconds();

} // namespace testbed
