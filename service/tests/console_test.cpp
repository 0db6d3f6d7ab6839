// The console status report: one line on standard output and an exit code
// that a script can test.
#include <gtest/gtest.h>

#include "installed_service.h"
#include "testbed.h"

using namespace testbed;

namespace {

class ConsoleStatus : public ::testing::Test {
protected:
    void SetUp() override
    {
        installed::Remove();
        InstallStandIn(L"standin");
        ResetStandIn();
    }
    void TearDown() override { installed::Remove(); }

    // A console run. Under Wine the dispatcher connects to the control pipe
    // named by ServiceCurrent; pointing that at a pipe nobody serves makes it
    // fail at once with 1063, as it does on Windows for a console process.
    static CapturedRun Console(const std::wstring &arguments = L"", bool pointDispatcherNowhere = true)
    {
        if (pointDispatcherNowhere)
            SetDword(L"System\\CurrentControlSet\\Control\\ServiceCurrent", L"", 99999);
        return RunCaptured(installed::Program() + arguments);
    }
};

} // namespace

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

TEST_F(ConsoleStatus, StateOutsideTheKnownOnesIsUnknown)
{
    ASSERT_TRUE(installed::Install(installed::Program(L"paused_service.exe")));
    ASSERT_TRUE(installed::Start());
    DWORD error = 0;
    installed::Control(SERVICE_CONTROL_PAUSE, &error);
    ASSERT_EQ(error, 0u);
    ASSERT_TRUE(installed::WaitForState(SERVICE_PAUSED));
    CapturedRun run = Console();
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "The QORV-Lindquell service is in an unknown state.\r\n");
    EXPECT_EQ(run.err, "");
}
