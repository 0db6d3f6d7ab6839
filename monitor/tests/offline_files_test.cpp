// The arbitration with Offline Files, against the stand-in library.
#include <gtest/gtest.h>

#include "monitor.h"
#include "testbed.h"

using namespace testbed;

namespace {

const wchar_t Enabled[] = L"Enabled";

class OfflineFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseStandIn();
        ResetStandIn();
        DeleteValue(NetCachePath, Enabled);
    }

    // Milliseconds one call takes.
    static ULONGLONG Timed(OfflineFilesPolicy policy, bool enabling, bool *permitted)
    {
        ULONGLONG start = Milliseconds();
        *permitted = MultipleSessionsPermitted(policy, enabling);
        return Milliseconds() - start;
    }
};

} // namespace

TEST_F(OfflineFiles, IgnorePermitsWithoutAskingOfflineFiles)
{
    SetStandIn(L"On", 1);
    EXPECT_TRUE(MultipleSessionsPermitted(OfflineFilesPolicy::Ignore, true));
    EXPECT_TRUE(MultipleSessionsPermitted(OfflineFilesPolicy::Ignore, false));
    EXPECT_TRUE(MultipleSessionsPermitted(static_cast<OfflineFilesPolicy>(7), false));
    EXPECT_EQ(StandInCount(L"IsEnabledCalls"), 0u);
    EXPECT_EQ(StandInCount(L"EnableDisableCalls"), 0u);
}

TEST_F(OfflineFiles, NormalFollowsOfflineFilesAndChangesNothing)
{
    SetDword(NetCachePath, Enabled, 1);
    SetStandIn(L"On", 1);
    EXPECT_FALSE(MultipleSessionsPermitted(OfflineFilesPolicy::Normal, true));
    EXPECT_FALSE(MultipleSessionsPermitted(OfflineFilesPolicy::Normal, false));
    SetStandIn(L"On", 0);
    SetDword(NetCachePath, Enabled, 0);
    EXPECT_TRUE(MultipleSessionsPermitted(OfflineFilesPolicy::Normal, true));
    EXPECT_EQ(StandInCount(L"EnableDisableCalls"), 0u);
    EXPECT_EQ(ReadDword(NetCachePath, Enabled), 0u);
}

TEST_F(OfflineFiles, DisableSwitchesOfflineFilesOffAndRecordsIt)
{
    SetDword(NetCachePath, Enabled, 1);
    SetStandIn(L"On", 1);
    EXPECT_TRUE(MultipleSessionsPermitted(OfflineFilesPolicy::Disable, true));
    EXPECT_EQ(StandInCount(L"EnableDisableCalls"), 1u);
    EXPECT_EQ(StandInCount(L"LastEnableDisableArg"), 0u);
    EXPECT_EQ(ReadDword(NetCachePath, Enabled), 0u);

    // Already off: switched off again on every call, Enabled stays as it is.
    EXPECT_TRUE(MultipleSessionsPermitted(OfflineFilesPolicy::Disable, false));
    EXPECT_EQ(StandInCount(L"EnableDisableCalls"), 2u);
    EXPECT_EQ(ReadDword(NetCachePath, Enabled), 0u);
}

TEST_F(OfflineFiles, DisableThatFailsRefusesAndLeavesEnabledAlone)
{
    SetDword(NetCachePath, Enabled, 1);
    SetStandIn(L"On", 1);
    SetStandIn(L"FailDisable", 1);
    EXPECT_FALSE(MultipleSessionsPermitted(OfflineFilesPolicy::Disable, true));
    EXPECT_EQ(StandInCount(L"EnableDisableCalls"), 1u);
    EXPECT_EQ(ReadDword(NetCachePath, Enabled), 1u);
}

TEST_F(OfflineFiles, SettleWaitIsBoundedNearTwoSeconds)
{
    // The registry says on, Offline Files keep saying off.
    SetDword(NetCachePath, Enabled, 1);
    bool permitted = false;
    ULONGLONG took = Timed(OfflineFilesPolicy::Normal, false, &permitted);
    EXPECT_TRUE(permitted);
    EXPECT_GE(took, 1900u);
    EXPECT_LT(took, 2600u);
    // Ten polls, then the state is judged once more.
    EXPECT_EQ(StandInCount(L"IsEnabledCalls"), 11u);
}

TEST_F(OfflineFiles, SettleWaitEndsOnceOfflineFilesCatchUp)
{
    SetStandIn(L"On", 1);
    SetStandIn(L"LagMs", 600);
    SetDword(NetCachePath, Enabled, 0);
    bool permitted = false;
    ULONGLONG took = Timed(OfflineFilesPolicy::Normal, false, &permitted);
    EXPECT_TRUE(permitted);
    EXPECT_GE(took, 400u);
    EXPECT_LT(took, 1200u);
}

TEST_F(OfflineFiles, NoSettleWaitWhenEnablingOrWithoutAWellFormedEnabled)
{
    SetStandIn(L"On", 1);
    bool permitted = true;
    // Enabled absent, then stored as a string: Offline Files are judged at once.
    EXPECT_LT(Timed(OfflineFilesPolicy::Normal, false, &permitted), 150u);
    EXPECT_FALSE(permitted);
    const wchar_t zero[] = L"0";
    SetRaw(NetCachePath, Enabled, REG_SZ, zero, sizeof(zero));
    EXPECT_LT(Timed(OfflineFilesPolicy::Normal, false, &permitted), 150u);
    EXPECT_FALSE(permitted);
    // Before a write of 1 there is nothing to settle.
    SetDword(NetCachePath, Enabled, 0);
    EXPECT_LT(Timed(OfflineFilesPolicy::Normal, true, &permitted), 150u);
    EXPECT_FALSE(permitted);
}
