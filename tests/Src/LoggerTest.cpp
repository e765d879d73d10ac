#include "Logger.h"
#include "Installation.h"
#include "Matchers.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace fs = boost::filesystem;
using CorvaneCommandLineScanner::Log;
using CorvaneCommandLineScanner::Logger;

namespace
{
std::vector<fs::path> FilesIn(const fs::path& folder)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        files.push_back(entry.path());
    return files;
}
} // namespace

TEST(Logger, EachLineIsInTheFileWhenWriteReturns)
{
    CorvaneTest::TemporaryFolder folder;
    fs::create_directories(folder.Path() / "Logs");
    std::ofstream((folder.Path() / "Logs" / "old.txt").string()) << "previous run";

    Logger& logger = Logger::Instance();
    logger.Init(folder.Path());
    EXPECT_TRUE(FilesIn(folder.Path() / "Logs").empty()) << "the folder is emptied";
    EXPECT_THAT(logger.FilePath().filename().string(),
                CorvaneTest::MatchesRegex("[0-9]{8}T[0-9]{6}(\\.[0-9]{6})?\\.txt"));

    Log(L"Error", "Couldn't create scanner. Error: ", -1073741824);
    EXPECT_EQ(CorvaneTest::ReadTextFile(logger.FilePath()),
              "Error: Couldn't create scanner. Error: -1073741824\n");
    Log(L"Debug", "tellmark digital signature is valid. path=", std::wstring(L"/srv/\u00e9.exe"));
    EXPECT_EQ(CorvaneTest::ReadTextFile(logger.FilePath()),
              "Error: Couldn't create scanner. Error: -1073741824\n"
              "Debug: tellmark digital signature is valid. path=/srv/\xc3\xa9.exe\n");

    // A lone surrogate, and (where narrow text is UTF-8) bytes that are not UTF-8 in a narrow
    // piece, show as U+FFFD and cost no line; a description that spans lines keeps its breaks.
    const std::string before = CorvaneTest::ReadTextFile(logger.FilePath());
    logger.Write(L"Info: " + std::wstring(1, static_cast<wchar_t>(0xD800)) + L"!");
#ifndef _WIN32
    Log(L"Error", "Couldn't open /srv/caf\xe9\x1b[2J\nDynamic exception type: x");
    EXPECT_EQ(CorvaneTest::ReadTextFile(logger.FilePath()),
              before + "Info: \xEF\xBF\xBD!\n"
                       "Error: Couldn't open /srv/caf\xEF\xBF\xBD\xEF\xBF\xBD[2J\n"
                       "Dynamic exception type: x\n");
#else
    EXPECT_EQ(CorvaneTest::ReadTextFile(logger.FilePath()), before + "Info: \xEF\xBF\xBD!\n");
#endif
}

TEST(Logger, EachRunStartsWithAnEmptyLogsFolder)
{
    CorvaneTest::Installation installation;
    installation.WriteFile("Logs/20200101T000000.txt", "Error: old\n");
    installation.WriteFile("Logs/nested/file.txt", "x");
    installation.Run({"--help"});
    ASSERT_TRUE(fs::is_directory(installation.Folder() / "Logs"));
    EXPECT_TRUE(FilesIn(installation.Folder() / "Logs").empty());
}
