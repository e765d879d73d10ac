#include "DeployPlatform.h"
#include "Installation.h"
#include "Logger.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace fs = boost::filesystem;
using CorvaneCommandLineScanner::DeployPlatformFromFile;
using CorvaneCommandLineScanner::Logger;
using testing::HasSubstr;

// Each case gets its own all-users data folder and log.
class DeployPlatform : public testing::Test
{
protected:
    DeployPlatform() { Logger::Instance().Init(folder.Path()); }

    void WriteSettings(const std::string& content)
    {
        fs::create_directories(settings.parent_path());
        std::ofstream(settings.string(), std::ios::binary) << content;
    }

    std::string LogText() const { return CorvaneTest::ReadTextFile(Logger::Instance().FilePath()); }

    CorvaneTest::TemporaryFolder folder;
    // The all-users data folder exists, as it does on every installed system.
    const fs::path programData = [this]
    {
        fs::create_directories(folder.Path() / "ProgramData");
        return folder.Path() / "ProgramData";
    }();
    const CorvaneTest::ProgramDataRedirection redirection{programData};
    const fs::path settings =
        programData / "Corvane" / "Corvane antivirus" / "Options" / "UpdateServer.txt";
};

TEST_F(DeployPlatform, ReadsThePlatformString)
{
    WriteSettings(R"({"server": "x", "platform": "beta"})");
    EXPECT_EQ(DeployPlatformFromFile(), L"beta");
    EXPECT_EQ(LogText(), "Info: reading platform from " + settings.string() + "\n");
}

TEST_F(DeployPlatform, NoFileIsEmptyAndSilent)
{
    EXPECT_EQ(DeployPlatformFromFile(), L"");
    EXPECT_EQ(LogText(), "");
}

TEST_F(DeployPlatform, UnusableFilesAreEmptyWithTheReasonLogged)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Error: couldn't read data from file\n"},
        {"{\"platform\": ", "Error: could't read json value\n"},
        {"[\"platform\", \"beta\"]", "Error: not an object\n"},
        {"{\"other\": 1}", "Error: couldn't find platform\n"},
        {"{\"platform\": 7}", "Error: not a string\n"},
    };
    for (const auto& [content, logged] : cases)
    {
        Logger::Instance().Init(folder.Path());
        WriteSettings(content);
        EXPECT_EQ(DeployPlatformFromFile(), L"") << content;
        EXPECT_THAT(LogText(), HasSubstr(logged)) << content;
    }
}
