#include "Matchers.h"
#include "ScanFixture.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace CorvaneTest;
using CorvaneTest::MatchesRegex;
using testing::ElementsAre;
namespace fs = boost::filesystem;

TEST(DefinitionsInfo, EngineValuesAndUpdateVersion)
{
    EngineInstallation installation(
        R"({"database": {"version": 4294967295, "releaseTime": 1600000000}})");
    // Official databases follow the version, each as its header describes it; other lines of
    // that form are not shown.
    installation.WriteFile(
        "Plugins/update.txt",
        "Version: \r\nProduct Version: 3.4 beta\r\nVersion: 9\n"
        "Official database: main.cvd version 62 built 2021-09-16T14:32:00Z\n"
        "Official database: evil.cvd version 1 built 2021-09-16T14:32:00Z\n"
        "Official database: daily.cvd version 6 built today\n"
        "Official database: daily.cld version 27100 built 2026-12-10T07:21:00Z\r\n");
    const auto result =
        installation.Run({"--definitions-info"}, {{"TZ", "UTC"}, {"LANG", "en_US.UTF-8"}});
    EXPECT_THAT(WithoutDuration(result.output),
                MatchesRegex(
                    "Initializing engine, please wait...\nInitializing engine completed\n"
                    "Definitions Info:\n"
                    "\tDatabase version: 4294967295\n"
                    "\tDatabase release date: [^\n]*13[^\n]*12:26:40[^\n]*\n"
                    "\tVersion: 3.4 beta\n"
                    "\tOfficial database: main.cvd, version 62, built 2021-09-16T14:32:00Z\n"
                    "\tOfficial database: daily.cld, version 27100, built 2026-12-10T07:21:00Z\n"));
    EXPECT_THAT(installation.CallNames(),
                ElementsAre("InitializeEx", "CreateInstance", "GetDatabaseInformation",
                            "DestroyInstance", "Uninitialize"));
    EXPECT_EQ(installation.Calls("GetDatabaseInformation").at(0).at("instance"),
              installation.Calls("DestroyInstance").at(0).at("instance"));
#ifndef _WIN32
    // The date follows the user's locale and time zone, which the environment names here.
    EXPECT_THAT(
        installation.Run({"--definitions-info"}, {{"TZ", "Asia/Kolkata"}, {"LANG", "de_DE.UTF-8"}})
            .output,
        testing::HasSubstr("\tDatabase release date: 13.09.2020, 17:56:40\n"));
#endif
}

TEST(DefinitionsInfo, WithoutEngineOrUpdateFile)
{
    Installation installation;
    const auto result = installation.Run({"--definitions-info"});
    EXPECT_EQ(WithoutDuration(result.output), "Definitions Info:\n"
                                              "\tDatabase version: 0\n"
                                              "\tDatabase release date: N/A\n"
                                              "\tVersion: N/A\n");
}

TEST(DefinitionsInfo, EngineErrorsAreLoggedAndLeaveTheValuesUnset)
{
    // The double writes its database values even though it reports a failure.
    EngineInstallation installation(R"({"results": {"GetDatabaseInformation": 3221229570},
                                       "database": {"version": 5, "releaseTime": 1600000000}})");
    installation.WriteFile("Plugins/update.txt", "no version here\nVersion: \n");
    auto result = installation.Run({"--definitions-info"});
    EXPECT_THAT(WithoutDuration(result.output),
                testing::EndsWith("Definitions Info:\n\tDatabase version: 0\n"
                                  "\tDatabase release date: \n\tVersion: N/A\n"));
    EXPECT_THAT(installation.LogLines(),
                ElementsAre("Error: Couldn't get database information. Error: DbinfoUnavailable"));

    installation.Script(R"({"results": {"CreateInstance": 3221225472}})");
    result = installation.Run({"--definitions-info"});
    EXPECT_THAT(installation.LogLines(),
                ElementsAre("Error: Couldn't create scanner. Error: Failed"));
    EXPECT_THAT(result.output, testing::HasSubstr("\tDatabase release date: \n"));

    installation.Script(R"({"results": {"InitializeEx": 3221229580}})");
    result = installation.Run({"--definitions-info"});
    EXPECT_THAT(result.output,
                testing::HasSubstr("\tDatabase version: 0\n\tDatabase release date: N/A\n"));
}
