// The kit's runner: every test program of the kit, one test per process, on
// a machine that is there to be changed, with JUnit XML reports and the
// machine put back as it was found where that can be done.
//
//   run.cmd --disposable-machine [--filter=PATTERN]
//
// Exit code 0 only when no test failed and everything was put back; 1 when
// something failed; 2 when it refused to start.
#include "kit.h"

#include "testbed.h"

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace kit;

namespace {

struct Pass {
    std::wstring arch;       // x64 or x86
    std::wstring folder;     // the kit's folder of that architecture
    std::wstring reports;    // where its reports go
    std::wstring libraryDirectory;  // where its processes load system libraries from
};

// The test bed's reset ran and left it clean.
bool Reset(const Run &run)
{
    return run.started && !run.timedOut && run.exitCode == 0 &&
           run.output.find(testbed::ResetCleanLine) != std::string::npos;
}

std::vector<std::wstring> TestPrograms(const std::wstring &folder)
{
    std::vector<std::wstring> programs;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*_tests.exe").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return programs;
    do
        programs.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(programs.begin(), programs.end());
    return programs;
}

// Runs the pass: the reset, then each test. The machine is prepared once,
// after the first reset that ran: by then no service of the product is
// left running to write the value, and a Winlogon key that a killed run had
// moved aside is back. Preparing returns why it failed, or nothing.
Tally RunPass(const Pass &pass, const std::wstring &filter, const std::function<std::string()> &prepare,
              bool *prepared, bool *ranAnything)
{
    const std::string arch = Narrow(pass.arch);
    CreateDirectoryW(pass.reports.c_str(), nullptr);
    const std::wstring scratch = pass.reports + L"\\output.txt";
    Tally tally;
    Say("%s: %s\n", arch.c_str(), Narrow(pass.folder).c_str());

    // The reset comes first; a folder whose programs cannot run here (32-bit
    // programs where there is no 32-bit Windows) is one skipped row. Under
    // Wine, Wine says so before anything runs.
    const std::string without32 = pass.arch == L"x86" && sizeof(void *) == 8 ? WineWithout32BitPart() : "";
    Run reset;
    if (without32.empty())
        reset = RunProgram(L"\"" + pass.folder + L"\\reset_prefix.exe\"", pass.folder, scratch);
    Result resetResult = Judge("Testbed.Reset", reset);
    const bool endedWithZero = reset.started && !reset.timedOut && reset.exitCode == 0;
    if (!without32.empty()) {
        resetResult.verdict = Verdict::Skipped;
        resetResult.message = without32;
    } else if (Reset(reset)) {
        resetResult.verdict = Verdict::Passed;
    } else if (!reset.started &&
               (reset.error == ERROR_BAD_EXE_FORMAT || reset.error == ERROR_EXE_MACHINE_TYPE_MISMATCH)) {
        resetResult.verdict = Verdict::Skipped;
        resetResult.message =
            "this machine cannot start " + arch + " programs (" + Narrow(ErrorText(reset.error)) + ")";
    } else if (endedWithZero) {
        resetResult.message = "exit code 0 without saying the test bed is clean";
    }
    Show(resetResult);
    tally.Add(WriteReport(pass.reports + L"\\reset.xml", arch + ".reset", {resetResult}));
    if (resetResult.verdict == Verdict::Skipped) {
        DeleteFileW(scratch.c_str());
        return tally;
    }
    *ranAnything = true;
    if (!*prepared) {
        Result failed;
        failed.name = "Kit.PrepareTheMachine";
        failed.message = prepare();
        *prepared = failed.message.empty();
        if (!*prepared) {
            Show(failed);
            tally.Add(WriteReport(pass.reports + L"\\prepare.xml", arch + ".kit", {failed}));
            DeleteFileW(scratch.c_str());
            return tally;
        }
    }

    std::wstring why = L"Windows File Protection restores a system file that is renamed or replaced, so on Windows "
                       L"XP and Server 2003 the kit leaves the system's Offline Files library in place";
    const bool tried = !FileProtectionGuardsSystemFiles();
    const bool libraryAside = tried && SetLibraryAside(pass.libraryDirectory, &why);
    SetEnvironmentVariableW(L"LINDQUELL_KIT_STANDIN", libraryAside ? L"ready" : why.c_str());
    if (tried && !libraryAside) {
        // Tried means Vista or later, where a library the runner may not
        // rename is taken over first: one still in place keeps the rows
        // that need the stand-in from running, and a run without them must
        // not pass.
        Result failed;
        failed.name = "Kit.SetTheLibraryAside";
        failed.message = Narrow(why) + ": the tests that need the stand-in are skipped";
        Show(failed);
        tally.Add(WriteReport(pass.reports + L"\\library.xml", arch + ".kit", {failed}));
    } else if (!libraryAside) {
        Say("  %s: the tests that need the stand-in are skipped\n", Narrow(why).c_str());
    }

    for (const std::wstring &program : TestPrograms(pass.folder)) {
        const std::wstring path = L"\"" + pass.folder + L"\\" + program + L"\"";
        const std::wstring filterArgument = filter.empty() ? L"" : L" --gtest_filter=" + filter;
        const std::string suite = arch + "." + Narrow(program.substr(0, program.size() - 4));
        Say("%s\n", suite.c_str());
        Run list = RunProgram(path + L" --gtest_list_tests" + filterArgument, pass.folder, scratch);
        std::vector<Result> results;
        const std::vector<std::string> names = ParseTestList(list.output);
        if (!list.started || list.timedOut || list.exitCode != 0 || (names.empty() && filter.empty())) {
            Result failed = Judge("(list of tests)", list);
            failed.verdict = Verdict::Failed;
            if (names.empty() && list.started && !list.timedOut && list.exitCode == 0)
                failed.message = "lists no tests";
            failed.output = list.output;
            results.push_back(failed);
            Show(failed);
        }
        for (const std::string &name : names) {
            Run one = RunProgram(path + L" --gtest_color=no --gtest_filter=" + Wide(name), pass.folder, scratch);
            results.push_back(Judge(name, one));
            Show(results.back());
        }
        tally.Add(WriteReport(pass.reports + L"\\" + program.substr(0, program.size() - 4) + L".xml", suite, results));
    }
    DeleteFileW(scratch.c_str());
    return tally;
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

bool Is64BitProgram()
{
    return sizeof(void *) == 8;
}

// Empties the reports folder of an earlier run's files, so that a report
// left there is never taken for this run's.
void ClearReports(const std::wstring &folder)
{
    for (const wchar_t *pattern : {L"\\summary.txt", L"\\x64\\*.xml", L"\\x86\\*.xml"}) {
        const std::wstring search = folder + pattern;
        const std::wstring directory = search.substr(0, search.find_last_of(L'\\') + 1);
        WIN32_FIND_DATAW found;
        HANDLE listing = FindFirstFileW(search.c_str(), &found);
        if (listing == INVALID_HANDLE_VALUE)
            continue;
        do
            DeleteFileW((directory + found.cFileName).c_str());
        while (FindNextFileW(listing, &found));
        FindClose(listing);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    bool disposable = false;
    std::wstring filter;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--disposable-machine") {
            disposable = true;
        } else if (argument.compare(0, 9, L"--filter=") == 0 && argument.size() > 9) {
            filter = argument.substr(9);
        } else {
            Say("Unknown argument: %s\nUsage: run.cmd --disposable-machine [--filter=PATTERN]\n",
                Narrow(argument).c_str());
            return 2;
        }
    }
    if (!disposable) {
        Say("These tests rewrite values under HKLM, create and delete services, install and remove packages and "
            "replace the system's Offline Files library while they run. Run them only on a machine that is there to "
            "be thrown away (a test VM, a hosted CI runner), with: run.cmd --disposable-machine\n");
        return 2;
    }
    if (!IsAdministrator()) {
        Say("These tests need administrative rights: run run.cmd --disposable-machine from an elevated command "
            "prompt.\n");
        return 2;
    }
    EnablePrivileges();

    const std::wstring folder = ProgramFolder();
    const std::wstring kit = folder.substr(0, folder.find_last_of(L'\\'));
    const std::wstring reports = kit + L"\\reports";
    CreateDirectoryW(reports.c_str(), nullptr);
    ClearReports(reports);

    std::vector<Pass> passes;
    wchar_t system[MAX_PATH], wow64[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    if (Is64BitProgram()) {
        passes.push_back({L"x64", kit + L"\\x64", reports + L"\\x64", system});
        if (GetSystemWow64DirectoryW(wow64, MAX_PATH) &&
            GetFileAttributesW((kit + L"\\x86").c_str()) != INVALID_FILE_ATTRIBUTES)
            passes.push_back({L"x86", kit + L"\\x86", reports + L"\\x86", wow64});
    } else {
        passes.push_back({L"x86", kit + L"\\x86", reports + L"\\x86", system});
    }
    const std::vector<REGSAM> views = Views(passes.size() > 1);
    std::vector<std::string> facts;

    // What a run that was killed left behind is put back, then what the
    // tests change is saved.
    const auto prepare = [&]() -> std::string {
        bool restored = true;
        for (const Pass &pass : passes)
            restored = PutLibraryBack(pass.libraryDirectory) && restored;
        for (REGSAM view : views)
            restored = RestoreRegistry(view) && restored;
        if (!restored)
            return "what an earlier run changed could not all be put back: no test was run";
        for (REGSAM view : views)
            if (!SaveRegistry(view))
                return "the Winlogon values or the NetCache key could not be saved: no test was run";
        // The machine as it was found, before the library is set aside.
        facts = PlatformFacts(system, passes.size() > 1 ? wow64 : L"");
        for (const Pass &pass : passes)
            facts.push_back(LibrarySecurityFact(pass.libraryDirectory, "before the run"));
        for (const std::string &fact : facts)
            Say("fact: %s\n", fact.c_str());
        return "";
    };

    Tally total;
    std::vector<std::wstring> resets;
    bool prepared = false;
    for (const Pass &pass : passes) {
        bool ran = false;
        const Tally tally = RunPass(pass, filter, prepare, &prepared, &ran);
        if (ran)
            resets.push_back(pass.folder);
        Say("%s: %s\n", Narrow(pass.arch).c_str(), tally.Line().c_str());
        total.Add(tally);
        if (ran && !prepared)
            break;
    }

    // Put back: the test bed's reset removes packages and services, then
    // throwaway accounts go, and the saved values and the library return.
    bool restored = true;
    const std::wstring scratch = reports + L"\\output.txt";
    for (const std::wstring &pass : resets) {
        Run reset = RunProgram(L"\"" + pass + L"\\reset_prefix.exe\"", pass, scratch);
        if (!Reset(reset)) {
            Say("The final reset in %s failed:\n%s\n", Narrow(pass).c_str(), reset.output.c_str());
            restored = false;
        }
    }
    DeleteFileW(scratch.c_str());
    restored = RemoveThrowawayAccounts() && restored;
    for (const Pass &pass : passes) {
        restored = PutLibraryBack(pass.libraryDirectory) && restored;
        if (prepared) {
            facts.push_back(LibrarySecurityFact(pass.libraryDirectory, "after the run"));
            Say("fact: %s\n", facts.back().c_str());
        }
    }
    for (REGSAM view : views) {
        restored = RestoreRegistry(view) && restored;
        // The stand-in's controls, and the reset has put back any Winlogon
        // key a test had moved aside.
        DeleteTree(view, TestBedPath);
    }
    if (!restored)
        Say("The machine could not be put back as it was found: see the lines above.\n");

    FILE *summary = _wfopen((reports + L"\\summary.txt").c_str(), L"wb");
    if (summary) {
        for (const std::string &fact : facts)
            fprintf(summary, "fact: %s\n", fact.c_str());
        fprintf(summary, "%s\n", total.Line().c_str());
        fclose(summary);
    }
    Say("%s\n", total.Line().c_str());
    return total.failed == 0 && restored ? 0 : 1;
}
