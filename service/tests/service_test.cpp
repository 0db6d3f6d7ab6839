// The service as the service control manager and an administrator see it:
// started, stopped, interrogated, restarted, and what it leaves behind.
#include <gtest/gtest.h>

#include "installed_service.h"
#include "testbed.h"

using namespace testbed;

namespace {

const DWORD Patience = 5000;
const wchar_t Enabled[] = L"Enabled";

class LindquellService : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_STAND_IN();
        installed::Remove();
        RestoreWinlogonKey();
        InstallStandIn(L"standin");
        ResetStandIn();
        // A stale last-error value left by the library must not become
        // the exit code of an ordinary stop.
        SetStandIn(L"LastError", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        DeleteValue(WinlogonPath, MultipleSessions);
        DeleteValue(WinlogonPath, L"LogonType");
        DeleteKey(NetCachePath);
    }
    void TearDown() override
    {
        installed::Remove();
        RestoreWinlogonKey();
    }

    static bool SettingBecomes(DWORD value) { return WaitForDword(WinlogonPath, MultipleSessions, value, Patience); }
};

// Ending a process of LocalSystem's takes SeDebugPrivilege, which an
// elevated administrator holds but has not enabled ("OpenProcess function",
// Microsoft Learn). The error when it cannot be enabled, or 0: on success
// too AdjustTokenPrivileges sets the last error, ERROR_NOT_ALL_ASSIGNED when
// the token lacks the privilege ("AdjustTokenPrivileges function").
DWORD EnableDebugPrivilege()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return GetLastError();
    TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    DWORD error = ERROR_SUCCESS;
    if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
        GetLastError() == ERROR_NOT_ALL_ASSIGNED)
        error = GetLastError();
    CloseHandle(token);
    return error;
}

} // namespace

TEST_F(LindquellService, StartReportsRunningAndEnforcesConfiguredOptions)
{
    ASSERT_TRUE(installed::Install(installed::Program() + L" -c"));
    ASSERT_TRUE(installed::Start());
    SERVICE_STATUS_PROCESS status = installed::Status();
    EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    // -c on the service's command line: the missing value is created.
    EXPECT_TRUE(SettingBecomes(1));
}

TEST_F(LindquellService, InterrogationReportsRunning)
{
    ASSERT_TRUE(installed::Install(installed::Program()));
    ASSERT_TRUE(installed::Start());
    DWORD error = 0;
    SERVICE_STATUS status = installed::Control(SERVICE_CONTROL_INTERROGATE, &error);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(LindquellService, StopPassesThroughStopPendingToStoppedWithExitCodeZero)
{
    ASSERT_TRUE(installed::Install(installed::Program()));
    SetDword(WinlogonPath, MultipleSessions, 1);
    ASSERT_TRUE(installed::Start());
    Sleep(300);
    // Keep the monitor busy for two seconds: the registry says Offline Files
    // are on while the library keeps saying off, so it waits for them.
    SetDword(NetCachePath, Enabled, 1);
    Sleep(300);

    DWORD error = 0;
    SERVICE_STATUS first = installed::Control(SERVICE_CONTROL_STOP, &error);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(first.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(first.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));

    // Asked again while stopping: the manager itself refuses the control and
    // answers with the status the service reported; the stop under way goes
    // on to its end and its exit step below.
    SERVICE_STATUS second = installed::Control(SERVICE_CONTROL_STOP, &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(second.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(installed::Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));

    ASSERT_TRUE(installed::WaitForState(SERVICE_STOPPED));
    EXPECT_EQ(installed::Status().dwWin32ExitCode, 0u);
    // Classic logon: the setting does not outlive the service.
    EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 0u);
}

TEST_F(LindquellService, MonitorFailingAtSetupStopsWithItsErrorWithoutStopPending)
{
    // The service runs in a process of its own, so only a Winlogon key that
    // is really gone shows this, and no test takes the system's key away.
    SKIP_UNDER_WINDOWS("it would take the system's own Winlogon key away");
    ASSERT_TRUE(installed::Install(installed::Program()));
    ASSERT_EQ(HideWinlogonKey(), static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<DWORD> seen;
    bool started = installed::WithService(SERVICE_START, [](SC_HANDLE service) { StartServiceW(service, 0, nullptr); });
    ASSERT_TRUE(started);
    ASSERT_TRUE(installed::WaitForState(SERVICE_STOPPED, 10000, &seen));
    // A start that ends at once may be seen as stopped straight away; it must
    // never pass through stop-pending.
    for (DWORD state : seen)
        EXPECT_NE(state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(installed::Status().dwWin32ExitCode, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(LindquellService, DescriptionIsSetOnlyWhenThereIsNone)
{
    ASSERT_TRUE(installed::Install(installed::Program()));
    EXPECT_EQ(installed::Description(), L"");
    ASSERT_TRUE(installed::Start());
    const std::wstring ours = L"Monitors the registry setting that permits multiple terminal services sessions "
                              L"and ensures that it is enabled whenever possible";
    const DWORD started = Milliseconds();
    while (installed::Description().empty() && Milliseconds() - started < Patience)
        Sleep(10);
    EXPECT_EQ(installed::Description(), ours);
    ASSERT_TRUE(installed::Stop());

    installed::SetDescription(L"Kept by the administrator");
    ASSERT_TRUE(installed::Start());
    Sleep(300);
    EXPECT_EQ(installed::Description(), L"Kept by the administrator");
}

TEST_F(LindquellService, TwentyStartStopCyclesAllEndStoppedWithExitCodeZero)
{
    ASSERT_TRUE(installed::Install(installed::Program()));
    SetDword(WinlogonPath, MultipleSessions, 0);
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(installed::Start());
        ASSERT_TRUE(SettingBecomes(1));
        ASSERT_TRUE(installed::Stop());
        EXPECT_EQ(installed::Status().dwWin32ExitCode, 0u);
        EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 0u);
    }
}

TEST_F(LindquellService, ServiceKilledOutrightEnforcesAgainWhenStarted)
{
    if (const DWORD error = EnableDebugPrivilege())
        GTEST_SKIP() << "SeDebugPrivilege, which ending a process of LocalSystem's takes, could not be enabled (error "
                     << error << ")";
    ASSERT_TRUE(installed::Install(installed::Program()));
    SetDword(WinlogonPath, L"LogonType", 1);
    ASSERT_TRUE(installed::Start());
    const DWORD killed = installed::Status().dwProcessId;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, killed);
    ASSERT_NE(process, nullptr);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, Patience);
    CloseHandle(process);

    // Windows learns of the death on its own, a moment later, and refuses a
    // start before then with 1056; Wine's manager notices the dead process
    // only when asked to start the service again. Either way a start must
    // bring enforcement back.
    if (!UnderWine()) {
        ASSERT_TRUE(installed::WaitForState(SERVICE_STOPPED));
    }
    SetDword(WinlogonPath, MultipleSessions, 0);
    DWORD startError = 0;
    ASSERT_TRUE(installed::WithService(SERVICE_START, [&](SC_HANDLE service) {
        startError = StartServiceW(service, 0, nullptr) ? ERROR_SUCCESS : GetLastError();
    }));
    ASSERT_EQ(startError, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(installed::WaitForState(SERVICE_RUNNING));
    EXPECT_NE(installed::Status().dwProcessId, killed);
    EXPECT_TRUE(SettingBecomes(1));
    SetDword(WinlogonPath, MultipleSessions, 0);
    EXPECT_TRUE(SettingBecomes(1));
}

namespace {

// The service under n, the default, beside XP's and Server 2003's own
// Offline Files library, which the kit leaves in place there. Nothing is
// switched: CSCDoEnableDisable is never called, and the value is put back.
class WithTheSystemsOfflineFiles : public ::testing::Test {
protected:
    typedef BOOL(WINAPI *IsCscEnabledFunction)(void);

    void SetUp() override
    {
        const char *only = "only XP's and Server 2003's own Offline Files library shows this";
        if (UnderWine() || WindowsVersion().dwMajorVersion != 5)
            GTEST_SKIP() << only;
        if (!StandInRefusal())
            GTEST_SKIP() << only << ": the stand-in has taken its place";
        library_ = LoadLibraryW((SystemDirectory() + L"\\cscdll.dll").c_str());
        isEnabled_ = reinterpret_cast<IsCscEnabledFunction>(
            reinterpret_cast<void *>(library_ ? GetProcAddress(library_, "CSCIsCSCEnabled") : nullptr));
        if (!isEnabled_)
            GTEST_SKIP() << only << ": this system's cscdll.dll has no CSCIsCSCEnabled";
        installed::Remove();
        saved_ = ReadValue(WinlogonPath, MultipleSessions);
    }
    void TearDown() override
    {
        if (isEnabled_) {
            installed::Remove();
            if (saved_.present)
                SetRaw(WinlogonPath, MultipleSessions, saved_.type, saved_.data.data(),
                       static_cast<DWORD>(saved_.data.size()));
            else
                DeleteValue(WinlogonPath, MultipleSessions);
        }
        if (library_)
            FreeLibrary(library_);
    }

    HMODULE library_ = nullptr;
    IsCscEnabledFunction isEnabled_ = nullptr;
    Value saved_;
};

} // namespace

TEST_F(WithTheSystemsOfflineFiles, ValueFollowsWhatTheyReport)
{
    const bool on = isEnabled_() != FALSE;
    SetDword(WinlogonPath, MultipleSessions, 0);
    ASSERT_TRUE(installed::Install(installed::Program()));
    ASSERT_TRUE(installed::Start());
    const bool asExpected =
        on ? KeyStaysQuiet(WinlogonPath, Patience) : WaitForDword(WinlogonPath, MultipleSessions, 1, Patience);
    const std::optional<DWORD> value = ReadDword(WinlogonPath, MultipleSessions);
    if ((isEnabled_() != FALSE) != on)
        GTEST_SKIP() << "Offline Files changed state while the row ran: no verdict";
    EXPECT_TRUE(asExpected) << "Offline Files report " << (on ? "on: the value is left alone" : "off");
    EXPECT_EQ(value, on ? 0u : 1u);
}
