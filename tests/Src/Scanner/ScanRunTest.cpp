#include "ScanFixture.h"

#include "FileSystemHelper/Drives.h"
#include "FileSystemHelper/Text.h"
#include "Matchers.h"
#include "ProcessHelper/Process.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

using namespace CorvaneTest;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::Not;
namespace fs = boost::filesystem;

namespace
{
const std::string failed = "3221225472";             // 0xC0000000, Failed
const std::string fileOpen = "3221225473";           // 0xC0000001, FileOpen
const std::string couldNotInitialize = "3221229580"; // 0xC000100C

struct DriveInfo
{
    std::string root;
    bool fixed;
};

std::vector<DriveInfo> MachineDrives()
{
    std::vector<DriveInfo> drives;
    for (const auto& drive : FileSystemHelper::Drives())
        drives.push_back(
            {FileSystemHelper::ToNarrow(drive->rootPath, FileSystemHelper::CodePageUtf8),
             FileSystemHelper::DriveTypeOf(drive->rootPath) == FileSystemHelper::DriveFixed});
    return drives;
}

// The options set on an instance, as "option=value", in order.
std::vector<std::string> Options(const EngineInstallation& installation)
{
    std::vector<std::string> options;
    for (const auto& call : installation.Calls("SetIntOption"))
        options.push_back(std::to_string(call.at("option").as_int64()) + "=" +
                          std::to_string(call.at("value").as_int64()));
    return options;
}

const std::vector<std::string> instanceOptions = {"6001=1", "6002=0", "4078=1", "87=1",
                                                  "4080=1", "110=1",  "80=1",   "79=1",
                                                  "78=1",   "4081=1", "106=1"};
} // namespace

TEST(ScanRun, QuickScanStartsTheEngineScansTheSystemAndShutsDown)
{
    EngineInstallation installation;
    fs::create_directories(installation.Folder() / "Plugins");
    const auto result = installation.Run({"--quick"});

    EXPECT_THAT(installation.CallNames(),
                ElementsAre("InitializeEx", "CreateInstance", "SetIntOption", "SetIntOption",
                            "SetScanCallback2", "SetIntOption", "SetIntOption", "SetIntOption",
                            "SetIntOption", "SetIntOption", "SetIntOption", "SetIntOption",
                            "SetIntOption", "SetIntOption", "ScanObject", "DestroyInstance",
                            "Uninitialize"));
    const fs::path& folder = installation.Folder();
    const auto init = installation.Calls("InitializeEx").at(0);
    EXPECT_EQ(Text(init.at("folder")), folder.string());
    EXPECT_EQ(Text(init.at("smartDbPath")), (folder / "SmartDB.dll").string());
    EXPECT_TRUE(init.at("second").is_string());
    const auto& params = init.at("params").as_object();
    EXPECT_EQ(params.at("size").as_int64(), 160);
    EXPECT_EQ(Text(params.at("programFolder")), folder.string());
    EXPECT_EQ(Text(params.at("quarantineFolder")), (folder / "Quarantine").string());
    // Each run has a Temp folder of its own, so that two runs never remove each other's files.
    EXPECT_TRUE(
        std::regex_match(Text(params.at("tempFolder")),
                         std::regex(RegexEscaped((folder / "Temp").string() + PathSeparator()) +
                                    "run-[0-9]+-[0-9a-f]{12}")))
        << Text(params.at("tempFolder"));
    EXPECT_EQ(params.at("value40").as_int64(), 0);
    EXPECT_EQ(params.at("value116").as_int64(), 1);
    EXPECT_TRUE(std::regex_match(
        Text(params.at("instanceGuid")),
        std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    EXPECT_TRUE(params.at("otherBytesZero").as_bool());

    EXPECT_THAT(Options(installation), ElementsAreArray(instanceOptions));
    const auto callback = installation.Calls("SetScanCallback2").at(0);
    EXPECT_FALSE(callback.at("callbackNull").as_bool());
    EXPECT_FALSE(callback.at("contextNull").as_bool());

    const auto scan = installation.Calls("ScanObject").at(0);
    EXPECT_EQ(scan.at("objectType").as_int64(), 0);
    EXPECT_EQ(Text(scan.at("path")), "<System>");
    EXPECT_EQ(Text(scan.at("name")), "<System>");
    EXPECT_EQ(scan.at("zero").as_int64(), 0);
    EXPECT_EQ(scan.at("out1").as_int64(), 0);
    EXPECT_EQ(scan.at("out2").as_int64(), 0);
    EXPECT_TRUE(scan.at("out3Null").as_bool());
    EXPECT_GT(scan.at("processId").as_int64(), 0);
    EXPECT_NE(scan.at("processId").as_int64(), ProcessHelper::Process::CurrentId());
    // The instance that scanned is the one destroyed.
    EXPECT_EQ(installation.Calls("DestroyInstance").at(0).at("instance"),
              installation.Calls("CreateInstance").at(0).at("instance"));

    const std::string report = ReportPathFromOutput(result.output);
    EXPECT_EQ(WithoutDuration(result.output),
              "Initializing engine, please wait...\nInitializing engine completed\nScan started\n"
              "\nScan complete.You can access scan result here: " +
                  report + "\n");
    EXPECT_TRUE(std::regex_match(
        report, std::regex(RegexEscaped((folder / "Scan Results").string() + PathSeparator()) +
                           "Quick-[0-9]{8}T[0-9]{6}(\\.[0-9]{6})?\\.xml")))
        << report;
    pugi::xml_document document;
    LoadReport(document, report);
    EXPECT_THAT(ReportedPaths(document), ElementsAre("<System>"));
    EXPECT_STREQ(document.child("Summary").child("ScanInfo").attribute("ScanType").value(),
                 "Quick");

    // The engine's folders: Temp goes with the engine, Quarantine stays, the cache file appears.
    EXPECT_FALSE(fs::exists(installation.Folder() / "Temp"));
    EXPECT_TRUE(fs::is_directory(installation.Folder() / "Quarantine"));
    EXPECT_TRUE(fs::is_regular_file(installation.Folder() / "Plugins" / "cache.000"));
    EXPECT_EQ(fs::file_size(installation.Folder() / "Plugins" / "cache.000"), 0u);
}

TEST(ScanRun, CacheFileIsKeptAndPluginsFolderNotCreated)
{
    EngineInstallation installation;
    installation.Run({"--quick"});
    EXPECT_FALSE(fs::exists(installation.Folder() / "Plugins"));

    installation.WriteFile("Plugins/cache.000", "engine data");
    installation.Run({"--quick"});
    EXPECT_EQ(ReadFile(installation.Folder() / "Plugins" / "cache.000"), "engine data");
}

TEST(ScanRun, FullScanWalksEveryDriveAndBootScanTheFixedOnes)
{
    const std::vector<DriveInfo> drives = MachineDrives();
    ASSERT_FALSE(drives.empty());

    EngineInstallation installation;
    auto result = installation.Run({"--full"});
    std::vector<std::string> expected = {"ScanObject 0 <System>"};
    std::vector<std::string> roots;
    for (const auto& drive : drives)
    {
        if (drive.fixed)
            expected.push_back("ScanObject 1 " + drive.root);
        expected.push_back("ScanPath " + drive.root);
        roots.push_back(drive.root);
    }
    std::vector<std::string> scans;
    for (const auto& call : installation.Calls())
    {
        const std::string name = Text(call.at("call"));
        if (name == "ScanObject")
        {
            scans.push_back(name + " " + std::to_string(call.at("objectType").as_int64()) + " " +
                            Text(call.at("path")));
            if (call.at("objectType").as_int64() == 1)
            {
                EXPECT_TRUE(call.at("name").is_null());
            }
        }
        else if (name == "ScanPath")
        {
            scans.push_back(name + " " + Text(call.at("path")));
            EXPECT_EQ(call.at("zero").as_int64(), 0);
        }
    }
    EXPECT_THAT(scans, ElementsAreArray(expected));
    pugi::xml_document document;
    LoadReport(document, ReportPathFromOutput(result.output));
    EXPECT_THAT(ReportedPaths(document), ElementsAreArray(roots));
    EXPECT_THAT(Options(installation), ElementsAreArray(instanceOptions));

    ScriptedEngine::ClearRecord(installation);
    result = installation.Run({"--boot"});
    std::vector<std::string> fixedRoots;
    for (const auto& drive : drives)
        if (drive.fixed)
            fixedRoots.push_back(drive.root);
    std::vector<std::string> bootSectors;
    for (const auto& call : installation.Calls("ScanObject"))
    {
        EXPECT_EQ(call.at("objectType").as_int64(), 1);
        bootSectors.push_back(Text(call.at("path")));
    }
    EXPECT_THAT(bootSectors, ElementsAreArray(fixedRoots));
    EXPECT_TRUE(installation.Calls("ScanPath").empty());
    LoadReport(document, ReportPathFromOutput(result.output));
    EXPECT_THAT(ReportedPaths(document), ElementsAreArray(fixedRoots));
}

TEST(ScanRun, CustomScanSetsArchivesOptionAndGoesOnAfterAFailingPath)
{
    EngineInstallation installation(R"({"scans": [{"export": "ScanPath", "path": "/missing",
                                                   "result": )" +
                                    fileOpen + "}]}");
    auto result = installation.Run({"--custom", "/first; /missing;/third", "--scan-archives"});
    std::vector<std::string> paths;
    for (const auto& call : installation.Calls("ScanPath"))
        paths.push_back(Text(call.at("path")));
    EXPECT_THAT(paths, ElementsAre("/first", "/missing", "/third"));
    std::vector<std::string> options = instanceOptions;
    options.push_back("26=1");
    EXPECT_THAT(Options(installation), ElementsAreArray(options));
    EXPECT_THAT(installation.LogLines(),
                ElementsAre("Error: Couldn't perform custom scan. Error: FileOpen"));
    pugi::xml_document document;
    LoadReport(document, ReportPathFromOutput(result.output));
    EXPECT_THAT(ReportedPaths(document), ElementsAre("/first", "/missing", "/third"));
    EXPECT_STREQ(document.child("Summary").child("ScanInfo").attribute("ScanType").value(),
                 "Custom");

    // Without --scan-archives the option is switched off; other scans leave it alone.
    ScriptedEngine::ClearRecord(installation);
    installation.Run({"--custom", "/first"});
    EXPECT_EQ(Options(installation).back(), "26=0");
    ScriptedEngine::ClearRecord(installation);
    installation.Run({"--quick", "--scan-archives"});
    EXPECT_THAT(Options(installation), ElementsAreArray(instanceOptions));
}

TEST(ScanRun, FailingScanCallsAreLoggedAndTheReportIsStillWritten)
{
    EngineInstallation installation(R"({"results": {"ScanObject": )" + failed +
                                    R"(, "DestroyInstance": 3221225490}})");
    const auto result = installation.Run({"--quick"});
    EXPECT_THAT(installation.LogLines(),
                ElementsAre("Error: Couldn't perform system scan. Error: Failed",
                            "Error: Couldn't destroy scanner instance. Error: InvalidHandle"));
    EXPECT_THAT(result.output, HasSubstr("\nScan complete.You can access scan result here: "));
    EXPECT_TRUE(fs::exists(ReportPathFromOutput(result.output)));
}

TEST(ScanRun, EngineThatRefusesToStartIsReportedWithoutShutDown)
{
    EngineInstallation installation(R"({"results": {"InitializeEx": )" + couldNotInitialize + "}}");
    const auto result = installation.Run({"--quick"});
    EXPECT_THAT(result.output, testing::StartsWith("Initializing engine, please wait...\n"
                                                   "Couldn't perform scan. Error: "));
    EXPECT_THAT(result.output, HasSubstr("Couldn't initialize scanner. Error: CouldNotInitialize"));
    EXPECT_THAT(result.output, HasSubstr("Scanner.cpp"));
    EXPECT_THAT(result.output, HasSubstr("InitEx"));
    EXPECT_THAT(result.output, Not(HasSubstr("Scan started")));
    EXPECT_THAT(installation.CallNames(), ElementsAre("InitializeEx"));
    EXPECT_FALSE(fs::exists(installation.Folder() / "Scan Results"));
    const auto log = installation.LogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_THAT(log.front(), testing::StartsWith("Error: "));
}

TEST(ScanRun, InstanceCreationFailureStopsTheScanButNotTheShutDown)
{
    EngineInstallation installation(R"({"results": {"CreateInstance": )" + failed + "}}");
    const auto result = installation.Run({"--custom", "/x"});
    EXPECT_THAT(result.output, HasSubstr("Scan started\nCouldn't perform scan. Error: "));
    EXPECT_THAT(result.output, HasSubstr("Couldn't create scanner. Error: -1073741824"));
    EXPECT_THAT(installation.CallNames(),
                ElementsAre("InitializeEx", "CreateInstance", "Uninitialize"));
    EXPECT_THAT(result.output, Not(HasSubstr("Scan complete.")));
}

TEST(ScanRun, MissingLibraryOrExportIsNamedInTheError)
{
    Installation noEngine;
    auto result = noEngine.Run({"--quick"});
    EXPECT_THAT(result.output, testing::StartsWith("Couldn't perform scan. Error: "));
    EXPECT_THAT(result.output, HasSubstr((noEngine.Folder() / "scan.dll").string()));
    EXPECT_FALSE(fs::exists(noEngine.Folder() / "Temp"));

    Installation incomplete;
    incomplete.Install(ScriptedEngine::LibraryWithoutExtCallback(), "scan.dll");
    result = incomplete.Run({"--quick"});
    EXPECT_THAT(result.output, HasSubstr("Couldn't perform scan. Error: "));
    EXPECT_THAT(result.output, HasSubstr("std::exception::what: ThreatScanner_SetExtCallback\n"));
    // The engine had started, so it is shut down; no instance was created.
    std::vector<std::string> names;
    for (const auto& call : ScriptedEngine::Calls(incomplete))
        names.push_back(Text(call.at("call")));
    EXPECT_THAT(names, ElementsAre("InitializeEx", "Uninitialize"));
}

TEST(ScanRun, ReadOnlyInstallationStartsInTheEnginesFolderAndWritesNothing)
{
    EngineInstallation installation;
    installation.WriteFile("config.ini", "read_only=true\nengines_folder=/opt/engines\n");
    const auto entries =
        std::distance(fs::directory_iterator(installation.Folder()), fs::directory_iterator());
    const fs::path report = installation.Folder() / "reports" / "out.xml";
    const auto result = installation.Run({"--quick", "--scan-result", report.string()});

    EXPECT_EQ(WithoutDuration(result.output),
              "Initializing engine, please wait...\nInitializing engine completed\nScan started\n"
              "\nScan complete.");
    const auto init = installation.Calls("Initialize");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(Text(init[0].at("folder")), "/opt/engines");
    EXPECT_TRUE(installation.Calls("InitializeEx").empty());
    EXPECT_EQ(installation.CallNames().back(), "Uninitialize");
    // Only the engine's own record appeared.
    EXPECT_EQ(
        std::distance(fs::directory_iterator(installation.Folder()), fs::directory_iterator()),
        entries + 1);
    EXPECT_TRUE(fs::exists(installation.Folder() / "scan.record.jsonl"));
}
