// The program with the shipped update library, against a loopback definitions server.
#include "Installation.h"
#include "ScriptedEngine.h"
#include "UpdateServiceHarness.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace UpdateLibraryTesting;
using testing::HasSubstr;
using testing::Not;

namespace
{
class DefinitionsUpdateEndToEndTest : public ::testing::Test
{
protected:
    DefinitionsUpdateEndToEndTest()
    {
        installation.Install(ShippedLibrary(), "UpdateServiceCom.dll");
        installation.Install(PublisherKeys().publicKey, "UpdateServiceCom.pub");
        CorvaneTest::ScriptedEngine::Install(installation);
        installation.WriteFile("Plugins/starter.ndb", "starter definitions");
        installation.WriteFile("Plugins/update.txt", "Version: starter\n");
    }

    std::string Run(const char* option) const
    {
        const auto result = installation.Run({option});
        EXPECT_EQ(result.exitCode, 0);
        return result.output;
    }

    DefinitionsServer server{LOOPBACK_PORT};
    CorvaneTest::Installation installation{LOOPBACK_PROGRAM_PATH};
    const Files release = {{"daily.ndb", "daily"}, {"main.hdb", std::string(3000, 'm')}};
};

TEST_F(DefinitionsUpdateEndToEndTest, UpdateInstallsTheReleaseThatDefinitionsInfoThenShows)
{
    server.Publish(release, "2024.6.2", 1, PublisherKeys().privateKey);
    EXPECT_THAT(Run("--definitions-info"), HasSubstr("\tVersion: starter\n"));

    const std::string update = Run("--updatedefs");
    EXPECT_THAT(update, HasSubstr("Checking for update...\n"));
    EXPECT_THAT(update, HasSubstr("Downloading: 3005 of 3005 bytes. File: main.hdb\n"));
    EXPECT_THAT(update, HasSubstr("Downloading definitions done\nApplying definitions started\n"));
    EXPECT_THAT(update, HasSubstr("Applying definitions done\n"));
    EXPECT_THAT(update, Not(HasSubstr("Couldn't")));
    EXPECT_EQ(CorvaneTest::ReadFile(installation.Folder() / "Plugins" / "daily.ndb"), "daily");
    EXPECT_FALSE(boost::filesystem::exists(installation.Folder() / "Plugins" / "starter.ndb"));
    EXPECT_THAT(Run("--definitions-info"), HasSubstr("\tVersion: 2024.6.2\n"));

    const std::string again = Run("--updatedefs");
    EXPECT_THAT(again, HasSubstr("Checking for update...\nDefinitions up to date\n"));
    EXPECT_THAT(again, Not(HasSubstr("Applying")));
}

TEST_F(DefinitionsUpdateEndToEndTest, CorruptedDownloadIsRetriedFiveTimesThenReportedWithItsCode)
{
    server.Publish(release, "2024.6.2", 1, PublisherKeys().privateKey);
    server.SetFaults(R"({"@daily.ndb": {"always": {"corrupt": true}}})");
    const std::string update = Run("--updatedefs");
    EXPECT_THAT(update, HasSubstr("Couldn't update definitions. Error: "));
    EXPECT_THAT(update, HasSubstr("Couldn't perform update. Error: 15"));
    const auto requests = server.Requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "daily.ndb"), 6);
    EXPECT_THAT(Run("--definitions-info"), HasSubstr("\tVersion: starter\n"));
}
} // namespace
