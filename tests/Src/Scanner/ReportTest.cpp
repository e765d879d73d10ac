#include "Matchers.h"
#include "ScanFixture.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace CorvaneTest;
using CorvaneTest::MatchesRegex;
using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;
namespace fs = boost::filesystem;

namespace
{
const std::string saveError = "\nError: Couldn't save scan result. Please check scan result path\n";
const std::string defaultName = "Custom-[0-9]{8}T[0-9]{6}(\\.[0-9]{6})?\\.xml";
} // namespace

TEST(Report, LayoutOfAnEmptyScan)
{
    EngineInstallation installation;
    const fs::path path = installation.Folder() / "out";
    const auto result = installation.Run({"--custom", "", "--scan-result", path.string()});
    EXPECT_EQ(ReportPathFromOutput(result.output), path.string());
    const std::string report = ReadFile(path);
    EXPECT_THAT(
        report,
        MatchesRegex(
            "<\\?xml version=\"1.0\"\\?>\n"
            "<Summary>\n"
            "\t<ScanInfo ScanType=\"Custom\" StartTime=\"[0-9T.]+\" EndTime=\"[0-9T.]+\" />\n"
            "\t<ScanPaths />\n"
            "\t<InfectedObjects />\n"
            "</Summary>\n"));
    pugi::xml_document document;
    LoadReport(document, path);
    const pugi::xml_node info = document.child("Summary").child("ScanInfo");
    const std::regex time("[0-9]{8}T[0-9]{6}(\\.[0-9]{6})?");
    EXPECT_TRUE(std::regex_match(info.attribute("StartTime").value(), time));
    EXPECT_TRUE(std::regex_match(info.attribute("EndTime").value(), time));
    EXPECT_LE(std::string(info.attribute("StartTime").value()),
              std::string(info.attribute("EndTime").value()));
}

TEST(Report, PathsThatNameNoFileGetTheDefaultNameBelowThem)
{
    EngineInstallation installation;
    const fs::path base = installation.Folder() / "reports";
    std::vector<std::string> names = {"trailing."};
#ifndef _WIN32
    // Windows file names hold no colon, and Wine keeps a trailing space when it looks a folder
    // up but drops it when it makes one, so neither folder can be made there.
    names.push_back("trailing ");
    names.push_back("co:lon");
#endif
    for (const std::string& last : names)
    {
        const auto result =
            installation.Run({"--custom", "/x", "--scan-result", (base / last).string()});
        const std::string report = ReportPathFromOutput(result.output);
        EXPECT_THAT(report, MatchesRegex(RegexEscaped((base / last).string() + PathSeparator()) +
                                         defaultName))
            << last;
        EXPECT_TRUE(fs::is_regular_file(report)) << report;
    }
}

TEST(Report, MissingFoldersAreCreatedAndExistingFilesOverwritten)
{
    EngineInstallation installation;
    const fs::path path = installation.Folder() / "a" / "b" / "c" / "report.xml";
    auto result = installation.Run({"--quick", "--scan-result", path.string()});
    EXPECT_THAT(result.output,
                HasSubstr("You can access scan result here: " + path.string() + "\n"));
    EXPECT_THAT(ReadFile(path), HasSubstr("<Path Value=\"&lt;System>\" />"));

    installation.WriteFile("a/b/c/report.xml", std::string(100000, 'x'));
    result = installation.Run({"--custom", "/y", "--scan-result", path.string()});
    EXPECT_THAT(ReadFile(path), EndsWith("</Summary>\n"));
    EXPECT_THAT(ReadFile(path), HasSubstr("<Path Value=\"/y\" />"));
}

TEST(Report, FoldersAndUnwritablePathsGiveTheSaveError)
{
    EngineInstallation installation;
    fs::create_directories(installation.Folder() / "existing");
    std::vector<fs::path> paths = {installation.Folder() / "existing" / "",
                                   installation.Folder() / "existing",
                                   installation.Executable() / "report.xml"};
#ifndef _WIN32
    paths.emplace_back("/proc/corvane-report.xml");
    // Whoever owns the result folder may plant a link (to a file, or to a name to be created
    // outside) or a FIFO at the result path: nothing is written through it, nothing waits.
    const fs::path outside = installation.Folder() / "outside" / "file";
    installation.WriteFile("outside/file", "untouched");
    fs::create_symlink(outside, installation.Folder() / "link.xml");
    fs::create_symlink(outside.parent_path() / "new", installation.Folder() / "dangling.xml");
    ASSERT_EQ(::mkfifo((installation.Folder() / "fifo.xml").c_str(), 0600), 0);
    for (const char* name : {"link.xml", "dangling.xml", "fifo.xml"})
        paths.push_back(installation.Folder() / name);
#endif
    for (const fs::path& path : paths)
    {
        const auto result = installation.Run({"--quick", "--scan-result", path.string()});
        EXPECT_THAT(WithoutDuration(result.output), EndsWith("Scan started\n" + saveError)) << path;
        EXPECT_THAT(result.output, Not(HasSubstr("Scan complete.")));
    }
#ifndef _WIN32
    EXPECT_EQ(ReadFile(outside), "untouched");
    EXPECT_FALSE(fs::exists(outside.parent_path() / "new"));
    EXPECT_TRUE(fs::is_symlink(installation.Folder() / "link.xml"));
    // No temporary file is left behind either.
    for (const auto& entry : fs::directory_iterator(installation.Folder()))
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
#endif
}

// The in-process job tests check what is printed; this one, that the real console writer gives a
// pipe the saved bytes of a document with characters outside ASCII.
TEST(Report, StandardOutputGetsTheSavedBytesOfANonAsciiDocument)
{
    EngineInstallation installation(R"({"scans": [{"callbacks": [
        {"objectPath": "/ä€", "scanStatus": 4, "threatName": "T"}]}]})");
    const fs::path path = installation.Folder() / "report.xml";
    auto result =
        installation.Run({"--quick", "--scan-result-stdout", "--scan-result", path.string()});
    const std::string document = ReadFile(path);
    ASSERT_THAT(document, HasSubstr("ThreatName=\"T\""));
    ASSERT_THAT(document, HasSubstr("/ä€"));
    // Printed through the wide writer, the document reaches a pipe as the saved bytes.
    EXPECT_THAT(
        WithoutDuration(result.output),
        EndsWith("Scan started\nObject Path: /ä€. Parent Containers: (null). Inner Object: (null)\n"
                 "\n" +
                 document +
                 "\n"
                 "\nScan complete.You can access scan result here: " +
                 path.string() + "\n"));

}

TEST(Report, ReadOnlyPrintsTheDocumentButSavesNothing)
{
    EngineInstallation installation;
    installation.WriteFile("config.ini", "read_only=1\n");
    const auto result = installation.Run({"--quick", "--scan-result-stdout"});
    EXPECT_THAT(
        WithoutDuration(result.output),
        MatchesRegex("(.|\n)*Scan started\n\n<\\?xml(.|\n)*</Summary>\n\n\nScan complete."));
    EXPECT_FALSE(fs::exists(installation.Folder() / "Scan Results"));
    EXPECT_FALSE(fs::exists(installation.Folder() / "Logs"));
    EXPECT_FALSE(fs::exists(installation.Folder() / "Temp"));
    EXPECT_FALSE(fs::exists(installation.Folder() / "Quarantine"));
}
