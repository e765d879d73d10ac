#include "DeployPlatform.h"
#include "Installation.h"
#include "Logger.h"

#include <boost/filesystem/operations.hpp>
#include <cstdlib>
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
    DeployPlatform()
    {
        ::setenv("PROGRAMDATA", (folder.Path() / "ProgramData").string().c_str(), 1);
        Logger::Instance().Init(folder.Path());
    }
    ~DeployPlatform() override { ::unsetenv("PROGRAMDATA"); }

    void WriteSettings(const std::string& content)
    {
        const fs::path options =
            folder.Path() / "ProgramData" / "Corvane" / "Corvane antivirus" / "Options";
        fs::create_directories(options);
        std::ofstream((options / "UpdateServer.txt").string(), std::ios::binary) << content;
    }

    std::string LogText() const { return CorvaneTest::ReadFile(Logger::Instance().FilePath()); }

    CorvaneTest::TemporaryFolder folder;
};

TEST_F(DeployPlatform, ReadsThePlatformString)
{
    WriteSettings(R"({"server": "x", "platform": "beta"})");
    EXPECT_EQ(DeployPlatformFromFile(), L"beta");
    EXPECT_THAT(LogText(),
                testing::MatchesRegex("Info: reading platform from .*/Options/UpdateServer.txt\n"));
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
