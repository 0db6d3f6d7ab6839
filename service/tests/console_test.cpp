// The console status report: one line on standard output and an exit code
// that a script can test.
#include <gtest/gtest.h>

#include "installed_service.h"
#include "service.h"
#include "testbed.h"

#include <lm.h>
#include <wincrypt.h>

using namespace testbed;

namespace {

class ConsoleStatus : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_STAND_IN();
        installed::Remove();
        InstallStandIn(L"standin");
        ResetStandIn();
    }
    void TearDown() override { installed::Remove(); }

    // A console run. Under Wine the dispatcher connects to the control pipe
    // named by ServiceCurrent; pointing that at a pipe nobody serves makes it
    // fail at once with 1063, as it does on Windows for a console process.
    // Windows' own ServiceCurrent belongs to its manager and is left alone.
    static CapturedRun Console(const std::wstring &arguments = L"", bool pointDispatcherNowhere = true)
    {
        if (pointDispatcherNowhere && UnderWine())
            SetDword(L"System\\CurrentControlSet\\Control\\ServiceCurrent", L"", 99999);
        return RunCaptured(installed::Program() + arguments);
    }
};

// A throwaway local account without administrative rights, with a random
// password that is never shown, and a copy of the program where it may run
// it; both are gone when this ends.
class StandardUser {
public:
    StandardUser()
    {
        BYTE random[24];
        HCRYPTPROV provider;
        if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
            return;
        const BOOL drawn = CryptGenRandom(provider, sizeof(random), random);
        CryptReleaseContext(provider, 0);
        if (!drawn)
            return;
        const wchar_t letters[] = L"abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
        name_ = L"lqkit";
        const size_t count = sizeof(letters) / sizeof(letters[0]) - 1;
        for (int i = 0; i < 6; ++i)
            name_ += letters[random[i] % count];
        // Every class of character, for any complexity policy.
        password_ = L"aA1!";
        for (int i = 6; i < 24; ++i)
            password_ += letters[random[i] % count];
        USER_INFO_1 info = {};
        info.usri1_name = name_.data();
        info.usri1_password = password_.data();
        info.usri1_priv = USER_PRIV_USER;
        info.usri1_comment = const_cast<wchar_t *>(ThrowawayAccountComment);
        info.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
        created_ = NetUserAdd(nullptr, 1, reinterpret_cast<BYTE *>(&info), nullptr) == NERR_Success;

        wchar_t data[MAX_PATH];
        ExpandEnvironmentStringsW(L"%ProgramData%\\lindquell-tests", data, MAX_PATH);
        folder_ = data;
        CreateDirectoryW(folder_.c_str(), nullptr);
        CopyFileW((ProgramDirectory() + L"\\lindquell.exe").c_str(), (folder_ + L"\\lindquell.exe").c_str(), FALSE);
    }
    ~StandardUser()
    {
        if (created_)
            NetUserDel(nullptr, name_.c_str());
        SecureZeroMemory(password_.data(), password_.size() * sizeof(wchar_t));
        DeleteFileW((folder_ + L"\\lindquell.exe").c_str());
        RemoveDirectoryW(folder_.c_str());
    }
    bool Created() const { return created_; }

    CapturedRun Console() const
    {
        return RunCapturedAs(name_.c_str(), password_.c_str(), L"\"" + folder_ + L"\\lindquell.exe\"", folder_.c_str());
    }

private:
    std::wstring name_, password_, folder_;
    bool created_ = false;
};

} // namespace

// A standard user may ask for the state: the report asks the manager for no
// more than it grants everyone, and tells a service it may not open from
// one that is not installed.
TEST_F(ConsoleStatus, StandardUserGetsTheSameAnswers)
{
    SKIP_UNDER_WINE("Wine has no user without administrative rights");
    if (RunningAsLocalSystem())
        GTEST_SKIP() << "CreateProcessWithLogonW cannot be called from LocalSystem";
    StandardUser user;
    ASSERT_TRUE(user.Created());
    struct {
        const char *what;
        bool installed, running;
        DWORD exitCode;
        const char *line;
    } cases[] = {
        {"not installed", false, false, 2, "The QORV-Lindquell service is not installed.\r\n"},
        {"stopped", true, false, 1, "The QORV-Lindquell service is not running.\r\n"},
        {"running", true, true, 0, "The QORV-Lindquell service is running.\r\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        installed::Remove();
        if (c.installed) {
            ASSERT_TRUE(installed::Install(installed::Program()));
        }
        if (c.running) {
            ASSERT_TRUE(installed::Start());
        }
        CapturedRun run = user.Console();
        if (run.startError == ERROR_SERVICE_DISABLED)
            GTEST_SKIP() << "the Secondary Logon service is disabled (1058): no program runs as another user";
        ASSERT_EQ(run.startError, static_cast<DWORD>(ERROR_SUCCESS)) << "CreateProcessWithLogonW failed";
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.out, c.line);
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(ConsoleStatus, NotInstalled)
{
    CapturedRun run = Console();
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.out, "The QORV-Lindquell service is not installed.\r\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(ConsoleStatus, StoppedWhateverTheArguments)
{
    ASSERT_TRUE(installed::Install(installed::Program()));
    for (const wchar_t *arguments : {L"", L" -c /i", L" x"}) {
        SCOPED_TRACE(arguments);
        CapturedRun run = Console(arguments);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, "The QORV-Lindquell service is not running.\r\n");
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(ConsoleStatus, RunningIsReportedWithoutTryingTheDispatcher)
{
    ASSERT_TRUE(installed::Install(installed::Program()));
    ASSERT_TRUE(installed::Start());
    // ServiceCurrent now names the running service's own control pipe: a run
    // that tried the dispatcher would wait there or attach to it.
    CapturedRun run = Console(L"", false);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, "The QORV-Lindquell service is running.\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run.milliseconds, 5000u);
    EXPECT_EQ(installed::Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

// States the product passes through too quickly to be seen, held by a
// stand-in service of the same name.
TEST_F(ConsoleStatus, StartingStoppingAndUnknownStates)
{
    struct {
        const wchar_t *mode;
        DWORD control;  // 0: none
        DWORD state;
        const char *line;
        DWORD exitCode;
    } cases[] = {
        {L"start-pending", 0, SERVICE_START_PENDING, "The QORV-Lindquell service is starting.\r\n", 0},
        {L"stop-pending", SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, "The QORV-Lindquell service is stopping.\r\n",
         1},
        {L"", SERVICE_CONTROL_PAUSE, SERVICE_PAUSED, "The QORV-Lindquell service is in an unknown state.\r\n", 1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(installed::Install(installed::Program(L"state_service.exe") + L" " + c.mode));
        ASSERT_TRUE(installed::WithService(SERVICE_START, [](SC_HANDLE service) { StartServiceW(service, 0, nullptr); }));
        if (c.control) {
            ASSERT_TRUE(installed::WaitForState(SERVICE_RUNNING));
            DWORD error = 0;
            installed::Control(c.control, &error);
            ASSERT_EQ(error, 0u);
        }
        ASSERT_TRUE(installed::WaitForState(c.state));
        CapturedRun run = Console();
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.out, c.line);
        EXPECT_EQ(run.err, "");
    }
}

// Under Wine the dispatcher asks the manager for a connection before it looks
// for its control pipe, so with the manager gone it fails with the manager's
// error, not 1063. That error is the exit code, and nothing is printed.
TEST_F(ConsoleStatus, DispatcherFailureIsTheExitCodeAndNothingIsPrinted)
{
    if (!UnderWine())
        GTEST_SKIP() << "only Wine's manager can be ended and started again; Windows stops when it ends";
    installed::ManagerOutage outage;
    ASSERT_TRUE(outage.Began());
    CapturedRun run = Console();
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");

    // The same outage is what the status report cannot get past; a console
    // run never gets that far here, so the report is asked directly.
    FILE *out = tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(QueryServiceState(out), ServiceStateUnknown);
    char line[128] = {};
    rewind(out);
    fgets(line, sizeof(line), out);
    fclose(out);
    EXPECT_STREQ(line, "Could not obtain the status of the QORV-Lindquell service.\n");
}
