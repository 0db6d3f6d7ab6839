// The kit's runner, in three parts: what it changes on the machine and puts
// back (machine.cpp), running the test programs and reporting on them
// (programs.cpp), and the passes over each architecture's folder
// (runner.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kit {

// The test bed's own key (the stand-in's controls, a Winlogon key moved aside).
inline const wchar_t TestBedPath[] = L"Software\\Lindquell Tests";
// How long one test may run.
const DWORD TestTimeoutMs = 300000;

// Prints at once: the runner's output is read while it runs.
void Say(const char *format, ...);
std::string Narrow(const std::wstring &text);
std::wstring Wide(const std::string &text);
// "error N: the system's message".
std::wstring ErrorText(DWORD error);

// ---- machine.cpp: what the tests change, saved and put back

bool IsAdministrator();
// Taking ownership of a file, and giving it back to its owner.
void EnablePrivileges();
// The registry views the passes write to: the 64-bit one, and the 32-bit
// one when a 32-bit pass runs on 64-bit Windows.
std::vector<REGSAM> Views(bool withWow64);
void DeleteTree(REGSAM view, const std::wstring &path);
// The Winlogon values and the NetCache key, saved in the registry itself so
// that a run that was killed is undone by the next one.
bool SaveRegistry(REGSAM view);
bool RestoreRegistry(REGSAM view);
// True on Windows NT 5.x (XP, Server 2003), where Windows File Protection
// puts back a protected system file that is renamed or replaced: there the
// system's Offline Files library is never set aside.
bool FileProtectionGuardsSystemFiles();
// Sets the system's Offline Files library aside so that the tests may put
// the stand-in in its place; the reason in *why when it cannot be done.
bool SetLibraryAside(const std::wstring &directory, std::wstring *why);
// Puts back what SetLibraryAside found: the stand-in goes, the library and
// its security come back.
bool PutLibraryBack(const std::wstring &directory);
// What SetLibraryAside does to a library it may not rename, on any file:
// the owner and DACL in SDDL ("P" when the DACL is protected; empty, with
// the error, when they cannot be read); the administrators made owner, with
// full control and nothing inherited; the SDDL put back, protected when it
// was and inheriting again when it was not. The two return the error, or 0.
std::wstring FileSecurity(const std::wstring &file, DWORD *error);
DWORD TakeOver(const std::wstring &file);
DWORD PutFileSecurityBack(const std::wstring &file, const std::wstring &sddl);
// Deletes the throwaway accounts that tests made and, killed, could not
// delete themselves.
bool RemoveThrowawayAccounts();

// ---- facts.cpp: what the machine is, before anything is changed

// The Windows version, whether each directory's cscdll.dll exports the two
// entry points (and, for the system directory's, what CSCIsCSCEnabled
// returns), and which of AllowMultipleTSSessions and LogonType exist under
// Winlogon and Policies\System. wow64Directory may be empty.
std::vector<std::string> PlatformFacts(const std::wstring &systemDirectory, const std::wstring &wow64Directory);
// The directory's cscdll.dll as icacls would show it, at the moment named
// by when: its owner, whether its DACL is protected, and its entries.
std::string LibrarySecurityFact(const std::wstring &directory, const char *when);
// Under Wine, why its 64-bit processes cannot start 32-bit programs; empty
// on Windows, and where Wine does not say. Wine 8 starts one through the
// loader WINELOADER names, less its "64" (get_alternate_wineloader in Wine's
// dlls/ntdll/unix/loader.c), which Debian's wine32 package installs. How
// such a start fails without it is no answer: the program ends at once
// with 0, or (where qemu-user is registered for i386 programs) does not
// start, with error 1359.
std::string WineWithout32BitPart();

// ---- programs.cpp: running a test program, judging and reporting

struct Run {
    bool started = false;
    DWORD error = 0;  // when it did not start
    bool timedOut = false;
    DWORD exitCode = 0;
    double seconds = 0;
    std::string output;  // standard output and error together
};

// Runs a program in the directory, for TestTimeoutMs at most, with its
// output going to a file, handing it no handle but that file and the null
// device.
Run RunProgram(const std::wstring &commandLine, const std::wstring &directory, const std::wstring &outputFile);

enum class Verdict { Passed, Failed, Skipped };

struct Result {
    std::string name;  // Suite.Test
    Verdict verdict = Verdict::Failed;
    std::string message;
    std::string output;
    double seconds = 0;
};

struct Tally {
    int passed = 0, failed = 0, skipped = 0;
    void Add(const Tally &other)
    {
        passed += other.passed;
        failed += other.failed;
        skipped += other.skipped;
    }
    void Count(Verdict verdict)
    {
        (verdict == Verdict::Passed ? passed : verdict == Verdict::Failed ? failed : skipped)++;
    }
    std::string Line() const
    {
        return std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " + std::to_string(skipped) +
               " skipped";
    }
};

// GoogleTest's list: "Suite." lines, each followed by "  Test" lines.
std::vector<std::string> ParseTestList(const std::string &output);
// The verdict from a one-test run: passed only with GoogleTest's own line for
// it and exit code 0; skipped only with its skip line; failed otherwise.
Result Judge(const std::string &name, const Run &run);
// One JUnit XML file for a program's results; returns their tally.
Tally WriteReport(const std::wstring &file, const std::string &suite, const std::vector<Result> &results);
// One line for a result, with the output of a failure.
void Show(const Result &result);

} // namespace kit
