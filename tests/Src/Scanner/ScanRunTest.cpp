#include "ScanFixture.h"

#include "FileSystemHelper/Drives.h"
#include "FileSystemHelper/Text.h"
#include "Folders.h"
#include "Matchers.h"
#include "ProcessHelper/Process.h"
#include "Settings.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <thread>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace CorvaneTest;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::Not;
namespace fs = boost::filesystem;

namespace
{

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
    // The engine is told where an engine service would answer (the platform's default socket or
    // pipe).
    EXPECT_EQ(Text(init.at("second")),
              std::string("Corvane command line scanner; engine-service=") +
                  CorvaneCommandLineScanner::Settings::defaultEngineService);
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
    // Every export is bound before anything is called: an incomplete engine is never started.
    EXPECT_THAT(result.output, Not(HasSubstr("Initializing engine")));
    EXPECT_TRUE(ScriptedEngine::Calls(incomplete).empty());
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

// An installation marked as one for every user: the log, the engine's temporary files and the
// scan result are the user's, the quarantine and the updated definitions the machine's; until an
// update has placed definitions there, the engine loads the starter set beside the executable.
TEST(ScanRun, AnInstallationForEveryUserKeepsItsStateWhereUsersMayWrite)
{
    EngineInstallation installation;
    installation.WriteFile("installation.ini", "scope=machine\n");
    fs::create_directories(installation.Folder() / "Plugins");
    std::map<std::string, std::string> environment;
#ifdef _WIN32
    // Wine keeps the user's folder inside its prefix; only this test's runs use it.
    const fs::path user = CorvaneCommandLineScanner::UserStateFolder();
#else
    const TemporaryFolder userHome;
    environment["XDG_STATE_HOME"] = userHome.Path().string();
    const fs::path user = userHome.Path() / "Corvane";
#endif
    const fs::path machine = installation.ProgramData() / "Corvane" / "Corvane antivirus";
    const auto entries =
        std::distance(fs::directory_iterator(installation.Folder()), fs::directory_iterator());

    for (const fs::path& definitions : {installation.Folder(), machine})
    {
        SCOPED_TRACE(definitions.string());
        fs::create_directories(definitions / "Plugins");
        const auto result = installation.Run({"--custom", "clean"}, environment);
        const auto init = installation.Calls("InitializeEx").back();
        EXPECT_EQ(Text(init.at("folder")), definitions.string());
        const auto& params = init.at("params").as_object();
        EXPECT_EQ(Text(params.at("quarantineFolder")), (machine / "Quarantine").string());
        EXPECT_EQ(Text(params.at("tempFolder")).rfind((user / "Temp").string(), 0), 0u)
            << Text(params.at("tempFolder"));
        const fs::path report = ReportPathFromOutput(result.output);
        EXPECT_EQ(report.parent_path(), user / "Scan Results");
        EXPECT_TRUE(fs::is_regular_file(report));
        fs::remove(report);
        EXPECT_TRUE(fs::is_directory(user / "Logs"));
        // Beside the executable only the engine's own record and the starter set appeared.
        EXPECT_EQ(
            std::distance(fs::directory_iterator(installation.Folder()), fs::directory_iterator()),
            entries + 1);
    }
}

namespace
{
// Waits (at most a minute) until the file exists.
bool AppearsSoon(const fs::path& file)
{
    for (int waited = 0; waited < 6000; ++waited)
    {
        if (fs::exists(file))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Touch(const fs::path& file)
{
    std::ofstream(std::filesystem::path(file.native())) << "go";
}

// A custom scan of "paused" logs a line, then waits in the engine until the file "go" appears
// beside "reached", which it creates; its scan call then fails, which logs a second line.
std::string PausingScript(const fs::path& signals)
{
    boost::json::object paused{
        {"path", "paused"},
        {"callbacks",
         boost::json::array{boost::json::object{
             {"objectPath", "early"}, {"scanStatus", 0}, {"scanStatusFlags", 3221225473u}}}},
        {"signal", (signals / "reached").string()},
        {"waitFor", (signals / "go").string()},
        {"result", 3221225472u}};
    return boost::json::serialize(
        boost::json::object{{"scans", boost::json::array{std::move(paused)}}});
}
} // namespace

// A second run of the installation empties Logs while the first still runs: the first run's log,
// written before and after, stays whole. The overlap is forced by a pause in the engine.
TEST(ScanRun, ASecondRunKeepsTheLogOfARunningScan)
{
    TemporaryFolder signals;
    EngineInstallation installation(PausingScript(signals.Path()));
    for (int round = 0; round < 20; ++round)
    {
        fs::remove(signals.Path() / "reached");
        fs::remove(signals.Path() / "go");
        RunResult first;
        std::thread running([&] { first = installation.Run({"--custom", "paused"}); });
        const bool paused = AppearsSoon(signals.Path() / "reached");
        const RunResult second = installation.Run({"--custom", "other"});
        Touch(signals.Path() / "go");
        running.join();
        ASSERT_TRUE(paused) << "round " << round;
        EXPECT_EQ(first.exitCode, 0);
        EXPECT_EQ(second.exitCode, 0);
        EXPECT_THAT(
            installation.LogLines(),
            ElementsAre("Error: Couldn't scan or act on object. Path: early. Error: FileOpen",
                        "Error: Couldn't perform custom scan. Error: Failed"))
            << "round " << round;
    }
}

// Every line of the log is whole in a program folder named in letters of any script (outside the
// ANSI code page on Windows), and the settings and definitions files there are read.
TEST(ScanRun, AProgramFolderNamedInAnyLettersKeepsItsLogAndSettings)
{
    const fs::path name = FileSystemHelper::PathFromWide(L"Corvane \u00e9t\u00e9 \u4e2d\u6587");
    Installation noEngine({}, name);
    auto result = noEngine.Run({"--quick"});
    EXPECT_THAT(result.output, HasSubstr("Couldn't perform scan. Error: "));
    std::string log;
    for (const auto& entry : fs::directory_iterator(noEngine.Folder() / "Logs"))
        log += ReadTextFile(entry.path());
    EXPECT_THAT(log, testing::StartsWith("Error: "));
    EXPECT_THAT(log, HasSubstr("scan.dll"));
#ifndef _WIN32
    // (On Windows the error text names the path in the ANSI code page, which lacks these
    // letters.)
    EXPECT_THAT(log, HasSubstr((noEngine.Folder() / "scan.dll").string()));
#endif

    EngineInstallation installation(
        R"({"results": {"ScanPath": 3221225472}, "database": {"version": 7}})", name);
    installation.WriteFile("Plugins/update.txt", "Version: 7.1\n");
    result = installation.Run({"--custom", "x"});
    EXPECT_THAT(installation.LogLines(),
                ElementsAre("Error: Couldn't perform custom scan. Error: Failed"));
    EXPECT_THAT(installation.Run({"--definitions-info"}).output, HasSubstr("Version: 7.1"));

    installation.WriteFile("config.ini", "read_only=1\n");
    fs::remove_all(installation.Folder() / "Logs");
    installation.Run({"--custom", "x"});
    EXPECT_FALSE(fs::exists(installation.Folder() / "Logs"));
}

#ifndef _WIN32
// Under a umask that takes nothing away, what a run creates is still writable by its owner only,
// and the folders of what the scan found are private; checked while the run is paused (its Temp
// folder exists) and after.
TEST(ScanRun, WhatARunCreatesIsWritableByItsOwnerOnlyWhateverTheUmask)
{
    TemporaryFolder signals;
    EngineInstallation installation(PausingScript(signals.Path()));
    fs::create_directories(installation.Folder() / "Plugins");
    const auto mode = [](const fs::path& path)
    {
        struct stat status
        {
        };
        return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 01000000u;
    };
    const auto expectOwnerWritesOnly = [&](const std::string& when)
    {
        // (The engine double's own record aside.)
        for (fs::recursive_directory_iterator it(installation.Folder()), end; it != end; ++it)
        {
            if (it->path().filename() != "scan.record.jsonl")
            {
                EXPECT_EQ(mode(it->path()) & 022, 0u) << it->path() << " " << when;
            }
        }
    };
    const mode_t previous = ::umask(0);
    RunResult result;
    std::thread running([&] { result = installation.Run({"--custom", "paused", "--quarantine"}); });
    const bool paused = AppearsSoon(signals.Path() / "reached");
    ::umask(previous);
    if (paused)
    {
        expectOwnerWritesOnly("while running");
        EXPECT_EQ(mode(installation.Folder() / "Temp"), 0700u);
    }
    Touch(signals.Path() / "go");
    running.join();
    ASSERT_TRUE(paused);
    EXPECT_EQ(result.exitCode, 0);
    expectOwnerWritesOnly("after the run");
    EXPECT_EQ(mode(installation.Folder() / "Logs"), 0700u);
    EXPECT_EQ(mode(installation.Folder() / "Quarantine"), 0700u);
    EXPECT_EQ(mode(installation.Folder() / "Scan Results"), 0755u);
    EXPECT_EQ(mode(ReportPathFromOutput(result.output)), 0644u);
    EXPECT_EQ(mode(installation.Folder() / "Plugins" / "cache.000"), 0644u);
    ASSERT_EQ(installation.LogLines().size(), 2u);
    for (const auto& entry : fs::directory_iterator(installation.Folder() / "Logs"))
        EXPECT_EQ(mode(entry.path()), 0600u);
}
#endif
