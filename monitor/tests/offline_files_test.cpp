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
        SKIP_WITHOUT_STAND_IN();
        UseStandIn();
        ResetStandIn();
        DeleteKey(NetCachePath);
    }

    // Milliseconds one call takes.
    static DWORD Timed(OfflineFilesPolicy policy, bool enabling, bool *permitted)
    {
        DWORD start = Milliseconds();
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

// Switched off whenever Offline Files report on or Enabled asks for them;
// left alone when both already say off. Enabled is cleared only where it
// counted as on.
TEST_F(OfflineFiles, DisableSwitchesOfflineFilesOffAndRecordsIt)
{
    const BYTE one[4] = {1};
    const DWORD Absent = REG_NONE;
    const DWORD NoKey = ~0u;  // no NetCache key at all
    struct {
        const char *what;
        DWORD on;
        DWORD enabledType;  // Absent: no Enabled value; NoKey: no NetCache key
        DWORD calls;
        DWORD enabledAfter;  // the first byte of Enabled afterwards
    } cases[] = {
        {"on, Enabled 1", 1, REG_DWORD, 1, 0},
        {"off, Enabled 1", 0, REG_DWORD, 1, 0},
        {"on, Enabled absent", 1, Absent, 1, 0},
        {"off, Enabled absent", 0, Absent, 0, 0},
        {"on, Enabled REG_BINARY 01 00 00 00", 1, REG_BINARY, 1, 1},
        {"off, Enabled REG_BINARY 01 00 00 00", 0, REG_BINARY, 0, 1},
        {"on, no NetCache key", 1, NoKey, 1, 0},
        {"off, no NetCache key", 0, NoKey, 0, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        ResetStandIn();
        SetStandIn(L"On", c.on);
        DeleteKey(NetCachePath);
        if (c.enabledType != NoKey)
            SetRaw(NetCachePath, Enabled, REG_DWORD, one, sizeof(one));
        DeleteValue(NetCachePath, Enabled);
        if (c.enabledType != Absent && c.enabledType != NoKey)
            SetRaw(NetCachePath, Enabled, c.enabledType, one, sizeof(one));

        EXPECT_TRUE(MultipleSessionsPermitted(OfflineFilesPolicy::Disable, true));
        EXPECT_EQ(StandInCount(L"EnableDisableCalls"), c.calls);
        EXPECT_EQ(StandInCount(L"LastEnableDisableArg"), 0u);
        EXPECT_EQ(StandInCount(L"On"), 0u);
        Value enabled = ReadValue(NetCachePath, Enabled);
        EXPECT_EQ(enabled.present, c.enabledType != Absent && c.enabledType != NoKey);
        EXPECT_EQ(KeyExists(NetCachePath), c.enabledType != NoKey);
        if (enabled.present) {
            EXPECT_EQ(enabled.type, c.enabledType);
            EXPECT_EQ(enabled.data, std::vector<BYTE>({static_cast<BYTE>(c.enabledAfter), 0, 0, 0}));
        }
    }
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
