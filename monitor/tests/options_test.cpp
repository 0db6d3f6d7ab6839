// How the service's command line turns into monitor options.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "options.h"

namespace {

MonitorOptions Parse(std::initializer_list<const wchar_t *> arguments)
{
    std::vector<std::wstring> storage{L"lindquell.exe"};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<wchar_t *> argv;
    for (auto &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return ParseMonitorOptions(static_cast<int>(storage.size()), argv.data());
}

} // namespace

TEST(Options, NoArgumentsMeanNormalPolicyAndNothingCreatedOrRepaired)
{
    MonitorOptions options = Parse({});
    EXPECT_FALSE(options.createIfMissing);
    EXPECT_FALSE(options.repairWrongType);
    EXPECT_EQ(options.offlineFilesPolicy, OfflineFilesPolicy::Normal);
}

TEST(Options, LettersCombineInOneArgumentOrSpreadOverSeveral)
{
    MonitorOptions combined = Parse({L"-cd"});
    EXPECT_TRUE(combined.createIfMissing);
    EXPECT_FALSE(combined.repairWrongType);
    EXPECT_EQ(combined.offlineFilesPolicy, OfflineFilesPolicy::Disable);

    MonitorOptions spread = Parse({L"-c", L"/r", L"/i"});
    EXPECT_TRUE(spread.createIfMissing);
    EXPECT_TRUE(spread.repairWrongType);
    EXPECT_EQ(spread.offlineFilesPolicy, OfflineFilesPolicy::Ignore);
}

TEST(Options, LaterPolicyLetterOverridesEarlierOne)
{
    EXPECT_EQ(Parse({L"-di"}).offlineFilesPolicy, OfflineFilesPolicy::Ignore);
    EXPECT_EQ(Parse({L"-i", L"-n"}).offlineFilesPolicy, OfflineFilesPolicy::Normal);
    EXPECT_EQ(Parse({L"/n", L"/d"}).offlineFilesPolicy, OfflineFilesPolicy::Disable);
}

TEST(Options, LoneDashOrSlashIsAnEmptyGroupAndParsingGoesOn)
{
    MonitorOptions options = Parse({L"-", L"/", L"-c"});
    EXPECT_TRUE(options.createIfMissing);
}

TEST(Options, ParsingStopsAtFirstPlainArgument)
{
    MonitorOptions options = Parse({L"x", L"-c"});
    EXPECT_FALSE(options.createIfMissing);

    options = Parse({L"-r", L"", L"-c"});
    EXPECT_TRUE(options.repairWrongType);
    EXPECT_FALSE(options.createIfMissing);
}

TEST(Options, UnknownAndUpperCaseLettersAreIgnored)
{
    MonitorOptions options = Parse({L"-qC", L"-D", L"-xr"});
    EXPECT_FALSE(options.createIfMissing);
    EXPECT_TRUE(options.repairWrongType);
    EXPECT_EQ(options.offlineFilesPolicy, OfflineFilesPolicy::Normal);
}
