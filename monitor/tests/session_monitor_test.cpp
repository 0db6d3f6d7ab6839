// What the monitor promises an administrator: AllowMultipleTSSessions is kept
// on, yields to Offline Files where the classic logon needs it, and the
// monitor stops when told to.
#include <gtest/gtest.h>

#include <atomic>

#include "monitor_run.h"
#include "testbed.h"

using namespace testbed;

namespace {

// Long enough for the monitor to react to a change under Wine (it takes a
// few milliseconds), short enough to keep the suite quick.
const DWORD Reaction = 300;
const DWORD Patience = 5000;
const wchar_t LogonType[] = L"LogonType";
const wchar_t Enabled[] = L"Enabled";
class SessionMonitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_STAND_IN();
        UseStandIn();
        RestoreWinlogonKey();
        ResetStandIn();
        // Library calls may leave a stale last-error value behind: an
        // ordinary stop must still return 0.
        SetStandIn(L"LastError", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        DeleteValue(WinlogonPath, MultipleSessions);
        DeleteValue(WinlogonPath, LogonType);
        // A machine that has never had Offline Files configured: the
        // monitor must create the key it watches.
        DeleteKey(NetCachePath);
    }
    void TearDown() override { RestoreWinlogonKey(); }

    static Value Setting() { return ReadValue(WinlogonPath, MultipleSessions); }
    static void SetSetting(DWORD value) { SetDword(WinlogonPath, MultipleSessions, value); }
    static bool SettingBecomes(DWORD value) { return WaitForDword(WinlogonPath, MultipleSessions, value, Patience); }
};

} // namespace

// --- Keeping the setting on ---

TEST_F(SessionMonitor, AbsentValueIsLeftAbsentUnlessCreateIsGivenAndPermitted)
{
    struct {
        const wchar_t *option;
        DWORD offlineFilesOn;
    } cases[] = {{L"-n", 0}, {L"-c", 1}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.option);
        SCOPED_TRACE(c.offlineFilesOn ? "Offline Files on" : "Offline Files off");
        SetStandIn(L"On", c.offlineFilesOn);
        DeleteValue(NetCachePath, Enabled);
        MonitorRun monitor({c.option});
        EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
        // Believed off, so a NetCache change only leads to another Winlogon
        // pass: Offline Files coming on are no reason to write 0 here.
        SetStandIn(L"On", 1);
        SetDword(NetCachePath, Enabled, 1);
        EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
        EXPECT_EQ(monitor.Stop(), 0u);
        EXPECT_FALSE(Setting().present);
    }
}

TEST_F(SessionMonitor, AbsentValueIsCreatedWithCreateOption)
{
    MonitorRun monitor({L"-c"});
    ASSERT_TRUE(SettingBecomes(1));
    EXPECT_EQ(Setting().type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(Setting().data.size(), 4u);
}

TEST_F(SessionMonitor, DwordOtherThanOneIsRewrittenAsOne)
{
    for (DWORD value : {0u, 2u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(value);
        SetSetting(value);
        MonitorRun monitor({});
        EXPECT_TRUE(SettingBecomes(1));
    }
}

TEST_F(SessionMonitor, ValueOfWrongTypeOrSizeIsRepairedOnlyWithRepairOption)
{
    const wchar_t text[] = L"1";
    const BYTE eightBytes[8] = {1};
    const BYTE twoBytes[2] = {1};
    const BYTE fourBytes[4] = {1};
    struct {
        DWORD type;
        const void *data;
        DWORD size;
    } wrong[] = {{REG_SZ, text, sizeof(text)},
                 {REG_BINARY, eightBytes, 8},
                 {REG_DWORD, twoBytes, 2},
                 {REG_BINARY, fourBytes, 4}};

    for (auto &value : wrong) {
        SCOPED_TRACE(value.type);
        SCOPED_TRACE(value.size);
        SetRaw(WinlogonPath, MultipleSessions, value.type, value.data, value.size);
        {
            MonitorRun monitor({});
            EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
            EXPECT_EQ(monitor.Stop(), 0u);
        }
        // Counted as off, so not even the classic logon's exit step touches it.
        EXPECT_EQ(Setting().type, value.type);
        EXPECT_EQ(Setting().data.size(), value.size);

        MonitorRun monitor({L"-r"});
        EXPECT_TRUE(SettingBecomes(1));
    }
}

// Wine sends no notification for a write that leaves a value as it was, so
// a loop rewriting 1 would not show as a change: it would show as CPU time.
TEST_F(SessionMonitor, DwordOneIsNotWrittenAgain)
{
    SetSetting(1);
    MonitorRun monitor({});
    Sleep(Reaction);
    ULONGLONG cpu = monitor.CpuMilliseconds();
    EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
    EXPECT_LT(monitor.CpuMilliseconds() - cpu, MonitorRun::RestingCpuBound());
    EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 1u);
    EXPECT_EQ(StandInCount(L"IsEnabledCalls"), 0u);
}

TEST_F(SessionMonitor, OwnWriteIsFollowedByOneQuietPass)
{
    SetSetting(0);
    MonitorRun monitor({});
    ASSERT_TRUE(SettingBecomes(1));
    Sleep(Reaction);
    ULONGLONG cpu = monitor.CpuMilliseconds();
    EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, 2 * Reaction));
    EXPECT_LT(monitor.CpuMilliseconds() - cpu, MonitorRun::RestingCpuBound());
    // Only the pass that wrote asked Offline Files: the pass after it read 1
    // and wrote nothing (a write of 1 over 1 would not show under Wine).
    EXPECT_EQ(StandInCount(L"IsEnabledCalls"), 1u);
}

TEST_F(SessionMonitor, OutsideWriteOfZeroIsUndoneEveryTime)
{
    SetSetting(1);
    MonitorRun monitor({});
    Sleep(Reaction);
    for (int i = 0; i < 5; ++i) {
        SetSetting(0);
        ASSERT_TRUE(SettingBecomes(1)) << "write " << i;
    }
    EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
}

// --- Stopping ---

TEST_F(SessionMonitor, StopUnderClassicLogonSwitchesSettingOff)
{
    // Classic unless LogonType is a non-zero REG_DWORD of 4 bytes.
    const BYTE zero[4] = {0};
    const BYTE one[4] = {1};
    // Whatever the policy: with -i only one key is watched.
    struct {
        const char *what;
        DWORD type;
        const BYTE *data;
        const wchar_t *policy;
    } logonTypes[] = {{"absent", REG_NONE, nullptr, L"-n"},
                      {"0", REG_DWORD, zero, L"-n"},
                      {"REG_BINARY 01 00 00 00", REG_BINARY, one, L"-n"},
                      {"absent, -i", REG_NONE, nullptr, L"-i"}};
    for (auto &logonType : logonTypes) {
        SCOPED_TRACE(logonType.what);
        DeleteValue(WinlogonPath, LogonType);
        if (logonType.data)
            SetRaw(WinlogonPath, LogonType, logonType.type, logonType.data, 4);
        SetSetting(1);
        MonitorRun monitor({logonType.policy});
        Sleep(Reaction);
        EXPECT_EQ(monitor.Stop(), 0u);
        EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 0u);
    }
}

TEST_F(SessionMonitor, StopUnderWelcomeScreenLogonLeavesSettingOn)
{
    SetDword(WinlogonPath, LogonType, 1);
    SetSetting(0);
    MonitorRun monitor({});
    ASSERT_TRUE(SettingBecomes(1));
    EXPECT_EQ(monitor.Stop(), 0u);
    EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 1u);
}

TEST_F(SessionMonitor, LogonTypeIsReadAgainOnEveryWinlogonPass)
{
    // The administrator switches the logon while the monitor runs: the stop
    // follows the logon in force by then.
    for (DWORD before : {0u, 1u}) {
        SCOPED_TRACE(before);
        SetDword(WinlogonPath, LogonType, before);
        SetSetting(1);
        MonitorRun monitor({});
        Sleep(Reaction);
        SetDword(WinlogonPath, LogonType, before ? 0 : 1);
        Sleep(Reaction);
        EXPECT_EQ(monitor.Stop(), 0u);
        EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), before ? 0u : 1u);
    }
}

TEST_F(SessionMonitor, ExitBeforeTheFirstReadSwitchesOffOnlyADwordThatIsOn)
{
    // Whatever the logon: before its first read the monitor has only
    // assumed the value on. A REG_SZ "1" and an absent value are no one's
    // to change without c or r.
    const wchar_t text[] = L"1";
    const DWORD one = 1;
    struct {
        const char *what;
        DWORD type;
        const void *data;
        DWORD size;
        bool switchedOff;
    } values[] = {{"REG_DWORD 1", REG_DWORD, &one, 4, true},
                  {"REG_SZ \"1\"", REG_SZ, text, sizeof(text), false},
                  {"absent", REG_NONE, nullptr, 0, false}};
    // A stop already signalled; and a set-up that fails once the Winlogon
    // key is open: in this process's own machine key, a volatile parent
    // refuses the NetCache key a stable child (ERROR_CHILD_MUST_BE_VOLATILE).
    for (bool setupFails : {false, true}) {
        for (auto &value : values) {
            SCOPED_TRACE(std::string(value.what) + (setupFails ? ", set-up failed" : ", stop already signalled"));
            if (setupFails) {
                ASSERT_EQ(MapMachineKeyToEmptyKey(), static_cast<DWORD>(ERROR_SUCCESS));
                // The stable keys first: RegCreateKeyEx makes every missing
                // key on the path with the options it is given.
                SetDword(WinlogonPath, LogonType, 1);
                HKEY parent;
                ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion", 0,
                                          nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS | MachineView, nullptr,
                                          &parent, nullptr),
                          ERROR_SUCCESS);
                RegCloseKey(parent);
            }
            SetDword(WinlogonPath, LogonType, 1);
            DeleteValue(WinlogonPath, MultipleSessions);
            if (value.data)
                SetRaw(WinlogonPath, MultipleSessions, value.type, value.data, value.size);
            const Value before = Setting();
            MonitorRun monitor({}, !setupFails);
            DWORD result = STILL_ACTIVE;
            const bool finished = monitor.Finished(Patience, &result);
            const Value after = Setting();
            if (setupFails)
                UnmapMachineKey();
            ASSERT_TRUE(finished);
            EXPECT_EQ(result, setupFails ? static_cast<DWORD>(ERROR_CHILD_MUST_BE_VOLATILE) : 0u);
            if (value.switchedOff) {
                EXPECT_EQ(after.type, static_cast<DWORD>(REG_DWORD));
                EXPECT_EQ(after.data, std::vector<BYTE>(4, 0));
            } else {
                EXPECT_EQ(after.present, before.present);
                EXPECT_EQ(after.type, before.type);
                EXPECT_EQ(after.data, before.data);
            }
        }
    }
}

namespace {

// Writes 0 as fast as it can while *flag (a std::atomic<bool>) holds, for
// ten seconds at most.
DWORD WINAPI WriteZeroWhile(void *flag)
{
    HKEY winlogon;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WinlogonPath, 0, KEY_SET_VALUE | MachineView, &winlogon) != ERROR_SUCCESS)
        return 1;
    const DWORD off = 0;
    const DWORD start = Milliseconds();
    while (static_cast<std::atomic<bool> *>(flag)->load() && Milliseconds() - start < 10000)
        RegSetValueExW(winlogon, MultipleSessions, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&off), 4);
    RegCloseKey(winlogon);
    return 0;
}

} // namespace

TEST_F(SessionMonitor, StopWinsOverAKeyThatNeverStopsChanging)
{
    // Outside writers leave gaps between their changes that a stop may slip
    // through; a library that changes the key whenever it is asked (while
    // Offline Files refuse) leaves none: every pass signals the next.
    for (bool byTheMonitorsOwnPasses : {false, true}) {
        SCOPED_TRACE(byTheMonitorsOwnPasses ? "a library that changes the key" : "two outside writers");
        SetSetting(byTheMonitorsOwnPasses ? 0 : 1);
        SetStandIn(L"On", byTheMonitorsOwnPasses);
        SetStandIn(L"ChangeWinlogon", byTheMonitorsOwnPasses);
        SetStandIn(L"IsEnabledCalls", 0);
        MonitorRun monitor({});
        Sleep(Reaction);

        // Two writers switch the setting off as fast as the registry lets them.
        std::atomic<bool> hammering{!byTheMonitorsOwnPasses};
        HANDLE writers[2];
        for (HANDLE &writer : writers)
            writer = CreateThread(nullptr, 0, WriteZeroWhile, &hammering, 0, nullptr);
        Sleep(Reaction);
        // The passes come as fast as the machine runs them: a loaded one, or
        // one that emulates the x86 build, takes longer to reach the count.
        DWORD asked = StandInCount(L"IsEnabledCalls");
        for (ULONGLONG until = Milliseconds() + 10000; byTheMonitorsOwnPasses && asked <= 100 && Milliseconds() < until;
             asked = StandInCount(L"IsEnabledCalls"))
            Sleep(50);

        DWORD stopAsked = Milliseconds();
        DWORD result = monitor.Stop();
        DWORD took = Milliseconds() - stopAsked;
        hammering = false;
        SetStandIn(L"ChangeWinlogon", 0);
        WaitForMultipleObjects(2, writers, TRUE, INFINITE);
        for (HANDLE writer : writers)
            CloseHandle(writer);
        DeleteValue(WinlogonPath, L"StandInRecord");

        EXPECT_EQ(result, 0u);
        EXPECT_LT(took, 1000u);
        if (byTheMonitorsOwnPasses) {
            EXPECT_GT(asked, 100u) << "the storm never started";
        }
    }
}

namespace {

struct Writes {
    const wchar_t *name;
    DWORD count, everyMs;
};

// Writes 0, 1, 0, ... to the Winlogon value, count times, everyMs apart.
DWORD WINAPI WriteWinlogon(void *context)
{
    auto writes = static_cast<const Writes *>(context);
    for (DWORD i = 0; i < writes->count; ++i) {
        Sleep(writes->everyMs);
        SetDword(WinlogonPath, writes->name, i % 2);
    }
    return 0;
}

} // namespace

// The check behind every "no loop" above: on Windows other software writes
// under Winlogon now and then, which must not count against the monitor; a
// key that never rests, or a change of the setting itself (here switched
// off and back on), must.
TEST(QuietKeyCheck, BlamesALoopOrTheSettingNotOneForeignWrite)
{
    struct {
        Writes writes;
        bool quiet;
    } cases[] = {{{L"Foreign", 0, 0}, true},
                 {{L"Foreign", 1, 100}, true},
                 {{L"Foreign", 100, 5}, false},
                 {{MultipleSessions, 2, 100}, false}};
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.writes.count << " writes of " << c.writes.name);
        SetDword(WinlogonPath, MultipleSessions, 1);
        HANDLE writer = CreateThread(nullptr, 0, WriteWinlogon, &c.writes, 0, nullptr);
        ASSERT_NE(writer, nullptr);
        EXPECT_EQ(KeyStaysQuiet(WinlogonPath, Reaction), c.quiet);
        WaitForSingleObject(writer, INFINITE);
        CloseHandle(writer);
        DeleteValue(WinlogonPath, L"Foreign");
        DeleteValue(WinlogonPath, MultipleSessions);
    }
}

TEST_F(SessionMonitor, MissingWinlogonKeyIsReportedAsFileNotFound)
{
    // The system's Winlogon key stays where it is: this process alone sees
    // an empty machine key instead.
    ASSERT_EQ(MapMachineKeyToEmptyKey(), static_cast<DWORD>(ERROR_SUCCESS));

    // Whatever the thread's last-error value holds, the registry's own code counts.
    DWORD results[2] = {STILL_ACTIVE, STILL_ACTIVE};
    bool finished[2] = {};
    for (DWORD stale : {0u, 1063u}) {
        MonitorRun monitor({}, false, stale);
        finished[stale != 0] = monitor.Finished(Patience, &results[stale != 0]);
    }
    UnmapMachineKey();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i ? "stale 1063" : "stale 0");
        ASSERT_TRUE(finished[i]);
        EXPECT_EQ(results[i], static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_TRUE(KeyExists(WinlogonPath));
}

// --- Offline Files ---

TEST_F(SessionMonitor, OfflineFilesComingOnSwitchSettingOffUnderClassicLogon)
{
    SetSetting(1);
    MonitorRun monitor({});
    Sleep(Reaction);

    SetStandIn(L"On", 1);
    SetDword(NetCachePath, Enabled, 1);
    ASSERT_TRUE(SettingBecomes(0));
    // The pass that follows the write of 0 asks again and is refused: no loop.
    EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));

    // Offline Files going off again bring the setting back.
    SetStandIn(L"On", 0);
    SetDword(NetCachePath, Enabled, 0);
    EXPECT_TRUE(SettingBecomes(1));
}

// Offline Files are given time to catch up with Enabled only after a change
// of the NetCache key, never before a write of 1.
TEST_F(SessionMonitor, SettleWaitFollowsNetCacheChangesOnly)
{
    // Enabled asks for Offline Files; the library keeps reporting them off.
    SetDword(NetCachePath, Enabled, 1);
    SetSetting(1);
    MonitorRun monitor({});
    Sleep(Reaction);

    const DWORD written = Milliseconds();
    SetSetting(0);
    ASSERT_TRUE(SettingBecomes(1));
    EXPECT_LT(Milliseconds() - written, 1000u);
    EXPECT_EQ(StandInCount(L"IsEnabledCalls"), 1u);

    // Believed on under the classic logon: ten polls 200 ms apart, then the
    // judgement, which permits.
    SetStandIn(L"IsEnabledCalls", 0);
    SetDword(NetCachePath, L"Other", 1);
    const DWORD asked = Milliseconds();
    while (StandInCount(L"IsEnabledCalls") < 11 && Milliseconds() - asked < Patience)
        Sleep(10);
    EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
    EXPECT_EQ(StandInCount(L"IsEnabledCalls"), 11u);
    EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 1u);
}

TEST_F(SessionMonitor, OfflineFilesComingOnLeaveSettingAloneUnderWelcomeScreenLogon)
{
    SetDword(WinlogonPath, LogonType, 1);
    SetSetting(1);
    MonitorRun monitor({});
    Sleep(Reaction);

    SetStandIn(L"On", 1);
    SetDword(NetCachePath, Enabled, 1);
    EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
    EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 1u);
}

TEST_F(SessionMonitor, RefusedValueOfTwoIsLeftAndCountedAsOn)
{
    SetStandIn(L"On", 1);
    SetSetting(2);
    MonitorRun monitor({});
    EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
    EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 2u);
    EXPECT_EQ(monitor.Stop(), 0u);
    EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 0u);
}

// Also with a library that records its switch in the NetCache key, and so
// wakes the monitor with every switch-off: the monitor must come to rest.
TEST_F(SessionMonitor, DisablePolicySwitchesOfflineFilesOffAndKeepsSettingOn)
{
    for (DWORD recordsInNetCache : {0u, 1u}) {
        SCOPED_TRACE(recordsInNetCache ? "library records in NetCache" : "library keeps to itself");
        ResetStandIn();
        DeleteKey(NetCachePath);
        SetStandIn(L"RecordInNetCache", recordsInNetCache);
        SetSetting(1);
        MonitorRun monitor({L"-d"});
        Sleep(Reaction);

        SetStandIn(L"On", 1);
        SetDword(NetCachePath, Enabled, 1);
        ASSERT_TRUE(WaitForDword(NetCachePath, Enabled, 0, Patience));
        EXPECT_TRUE(KeyStaysQuiet(WinlogonPath, Reaction));
        const DWORD calls = StandInCount(L"EnableDisableCalls");
        const ULONGLONG cpu = monitor.CpuMilliseconds();
        Sleep(1000);
        EXPECT_GE(calls, 1u);
        EXPECT_LE(calls, 2u);
        EXPECT_EQ(StandInCount(L"EnableDisableCalls"), calls);
        EXPECT_LT(monitor.CpuMilliseconds() - cpu, MonitorRun::RestingCpuBound());
        EXPECT_EQ(StandInCount(L"On"), 0u);
        EXPECT_EQ(StandInCount(L"LastEnableDisableArg"), 0u);
        EXPECT_EQ(ReadDword(WinlogonPath, MultipleSessions), 1u);
    }
}

TEST_F(SessionMonitor, NetCacheKeyIsCreatedUnlessOfflineFilesAreIgnored)
{
    for (const wchar_t *policy : {L"-n", L"-d"}) {
        SCOPED_TRACE(policy);
        DeleteKey(NetCachePath);
        SetSetting(0);
        MonitorRun monitor({policy});
        EXPECT_TRUE(SettingBecomes(1));
        EXPECT_TRUE(KeyExists(NetCachePath));
        EXPECT_EQ(monitor.Stop(), 0u);
    }
}

TEST_F(SessionMonitor, IgnorePolicyWatchesOnlyWinlogonAndNeverAsks)
{
    SetStandIn(L"On", 1);
    SetSetting(0);
    MonitorRun monitor({L"/i"});
    ASSERT_TRUE(SettingBecomes(1));
    EXPECT_FALSE(KeyExists(NetCachePath));
    EXPECT_EQ(StandInCount(L"IsEnabledCalls"), 0u);
}
