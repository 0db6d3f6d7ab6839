// How the Offline Files library is found and bound. Binding happens once per
// process, so every case asks a probe process of its own.
#include <gtest/gtest.h>

#include <string>

#include "testbed.h"

using namespace testbed;

namespace {

const DWORD Permitted = 1;
const DWORD Refused = 0;

class OfflineFilesBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_STAND_IN();
        ResetStandIn();
        DeleteKey(NetCachePath);
        InstallStandIn(L"standin");
    }
    void TearDown() override { InstallStandIn(L"standin"); }

    static std::wstring ProbeDirectory() { return ProgramDirectory() + L"\\probe"; }

    // Answers of the probe for the calls given as "policy enabling" pairs,
    // one bit each, or a value above 0xFF when the probe did not run.
    static DWORD Ask(const std::wstring &calls, const wchar_t *currentDirectory = nullptr)
    {
        std::wstring command = L"\"" + ProbeDirectory() + L"\\arbitration_probe.exe\" " + calls;
        return RunCaptured(command, currentDirectory).exitCode.value_or(0x100);
    }
};

} // namespace

TEST_F(OfflineFilesBinding, IgnoreNeverLoadsTheLibrary)
{
    SetStandIn(L"On", 1);
    EXPECT_EQ(Ask(L"2 1 2 0"), 0b11u);
    EXPECT_EQ(StandInCount(L"Loads"), 0u);
}

TEST_F(OfflineFilesBinding, LibraryIsLoadedOncePerProcess)
{
    SetStandIn(L"On", 1);
    EXPECT_EQ(Ask(L"0 1 0 1 0 1"), Refused);
    EXPECT_EQ(StandInCount(L"Loads"), 1u);
    EXPECT_EQ(StandInCount(L"IsEnabledCalls"), 3u);

    // Bound at the first call and not sought again: a library that appears
    // later in the same process is not taken up.
    ResetStandIn();
    SetStandIn(L"On", 1);
    InstallStandIn(nullptr);
    EXPECT_EQ(Ask(L"0 1 + 0 1 0 0"), 0b111u);
    EXPECT_EQ(StandInCount(L"Loads"), 0u);
}

TEST_F(OfflineFilesBinding, MissingLibraryPermitsEverything)
{
    InstallStandIn(nullptr);
    EXPECT_EQ(Ask(L"0 1 0 0 1 1 1 0"), 0b1111u);
}

TEST_F(OfflineFilesBinding, WithoutIsEnabledOfflineFilesCannotRefuse)
{
    InstallStandIn(L"no_is_enabled");
    SetStandIn(L"On", 1);
    SetDword(NetCachePath, L"Enabled", 1);
    EXPECT_EQ(Ask(L"0 0 1 0"), 0b11u);
    // Disable still switches Offline Files off.
    EXPECT_EQ(StandInCount(L"EnableDisableCalls"), 1u);
    EXPECT_EQ(ReadDword(NetCachePath, L"Enabled"), 0u);
}

TEST_F(OfflineFilesBinding, WithoutEnableDisableDisableActsAsNormal)
{
    InstallStandIn(L"no_enable_disable");
    SetStandIn(L"On", 1);
    EXPECT_EQ(Ask(L"1 1"), Refused);
    SetStandIn(L"On", 0);
    EXPECT_EQ(Ask(L"1 1"), Permitted);
}

TEST_F(OfflineFilesBinding, CopiesPlantedOutsideTheSystemDirectoryAreNeverLoaded)
{
    // A planted copy would report Offline Files on and refuse.
    const std::wstring planted = ProgramDirectory() + L"\\cscdll_planted.dll";
    const std::wstring besideProbe = ProbeDirectory() + L"\\cscdll.dll";
    const std::wstring workDirectory = ProgramDirectory() + L"\\planted-cwd";
    CreateDirectoryW(workDirectory.c_str(), nullptr);
    const std::wstring inWorkDirectory = workDirectory + L"\\cscdll.dll";
    ASSERT_TRUE(CopyFileW(planted.c_str(), besideProbe.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(planted.c_str(), inWorkDirectory.c_str(), FALSE));

    DWORD answer = Ask(L"0 1", workDirectory.c_str());
    DWORD answerWithoutSystemCopy = (InstallStandIn(nullptr), Ask(L"0 1", workDirectory.c_str()));

    DeleteFileW(besideProbe.c_str());
    DeleteFileW(inWorkDirectory.c_str());
    RemoveDirectoryW(workDirectory.c_str());

    EXPECT_EQ(answer, Permitted);
    EXPECT_EQ(answerWithoutSystemCopy, Permitted);
    EXPECT_EQ(StandInCount(L"Loads"), 1u);
    EXPECT_EQ(StandInCount(L"PlantedLoads"), 0u);
}
