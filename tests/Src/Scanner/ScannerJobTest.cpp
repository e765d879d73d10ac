// The scan job in process, against a fake export table that records every call.
#include "ScanFixture.h"
#include "Scanner/Scanner.h"

#include "ExceptionHelper/Exception.h"

#include <boost/filesystem/operations.hpp>
#include <cwchar>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#ifndef _WIN32
#include <unistd.h>
#endif

using namespace CorvaneTest;
using CorvaneCommandLineScanner::ScanRequest;
using CorvaneCommandLineScanner::ScanType;
using testing::ElementsAreArray;
namespace fs = boost::filesystem;

namespace
{
constexpr int failed = ThreatScanner::Failed;

// What the fake engine answers and what it was asked; one at a time.
struct FakeEngine
{
    std::map<std::string, int> results;      // by export, 0 when not named
    std::map<std::wstring, int> scanResults; // by scanned path, 0 when not named
    std::vector<_ScanCbkParams> reports;     // delivered by the first scan call
    std::function<void()> whileScanning;     // called by each scan call
    std::vector<std::string> calls;          // "Name arguments"
    int deniedProcesses = 0;                 // answered by a system scan
    ThreatScanner::ScanCallback* callback = nullptr;
    void* context = nullptr;
};
FakeEngine* fake = nullptr;
CThreatScannerStruct* const fakeInstance = reinterpret_cast<CThreatScannerStruct*>(0x1000);

std::string Narrow(const wchar_t* text)
{
    return text ? std::string(text, text + std::wcslen(text)) : "(null)";
}

int Answer(const std::string& name, const std::string& arguments = "")
{
    fake->calls.push_back(arguments.empty() ? name : name + " " + arguments);
    const auto found = fake->results.find(name);
    return found == fake->results.end() ? 0 : found->second;
}

int Scan(const std::string& name, const std::string& arguments, const wchar_t* path)
{
    const int result = Answer(name, arguments);
    if (fake->whileScanning)
        fake->whileScanning();
    for (_ScanCbkParams& report : fake->reports)
    {
        int action = ThreatScanner::ActionDefault;
        fake->callback(&report, &action, fake->context);
    }
    fake->reports.clear();
    const auto found = fake->scanResults.find(path);
    return found == fake->scanResults.end() ? result : found->second;
}

ThreatScanner::Exports FakeExports()
{
    ThreatScanner::Exports exports;
    exports.Initialize = [](const wchar_t* folder, const wchar_t*)
    { return Answer("Initialize", Narrow(folder)); };
    exports.InitializeEx =
        [](const wchar_t* folder, const wchar_t*, wchar_t*, _InitializeParams* params)
    {
        return Answer("InitializeEx",
                      Narrow(folder) +
                          " temp=" + (fs::is_directory(Narrow(params->tempFolder)) ? "yes" : "no"));
    };
    exports.Uninitialize = [] { return Answer("Uninitialize"); };
    exports.CreateInstance = [](CThreatScannerStruct** instance)
    {
        const int result = Answer("CreateInstance");
        *instance = result == 0 ? fakeInstance : nullptr;
        return result;
    };
    exports.DestroyInstance = [](CThreatScannerStruct* instance)
    { return Answer("DestroyInstance", instance == fakeInstance ? "" : "(other)"); };
    exports.SetIntOption = [](CThreatScannerStruct*, int option, int value)
    { return Answer("Option", std::to_string(option) + "=" + std::to_string(value)); };
    exports.SetScanCallback2 =
        [](CThreatScannerStruct*, ThreatScanner::ScanCallback* callback, void* context)
    {
        fake->callback = callback;
        fake->context = context;
        return Answer("SetScanCallback2");
    };
    exports.SetExtCallback = [](CThreatScannerStruct*, ThreatScanner::ExtCallback*, void*)
    { return Answer("SetExtCallback"); };
    exports.ScanObject = [](CThreatScannerStruct*, int type, const wchar_t* path, int, int* denied,
                            int*, const wchar_t**, int, const wchar_t*)
    {
        if (type == ThreatScanner::SystemObjectType)
            *denied = fake->deniedProcesses;
        return Scan("ScanObject", std::to_string(type) + " " + Narrow(path), path);
    };
    exports.ScanPath = [](CThreatScannerStruct*, int, const wchar_t* path, int)
    { return Scan("ScanPath", Narrow(path), path); };
    exports.GetDatabaseInformation =
        [](CThreatScannerStruct*, std::uint32_t* version, std::uint32_t* releaseTime)
    {
        *version = 27100;
        *releaseTime = 0;
        return Answer("GetDatabaseInformation");
    };
    return exports;
}

// The calls that make a new instance ready to scan.
std::vector<std::string> NewInstance()
{
    std::vector<std::string> calls = {"CreateInstance", "Option 6001=1", "Option 6002=0",
                                      "SetScanCallback2"};
    for (const int option : ThreatScanner::InstanceEnabledOptions)
        calls.push_back("Option " + std::to_string(option) + "=1");
    return calls;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

ScanRequest Request(ScanType type, std::vector<std::wstring> paths = {}, bool archives = true)
{
    ScanRequest request;
    request.scanType = type;
    request.paths = std::move(paths);
    request.scanArchives = archives;
    return request;
}

// One scan job: the installation, the request, the fake's answers; what it must call, log and
// print.
struct Case
{
    const char* name;
    ScanRequest request;
    std::map<std::string, int> results;
    std::map<std::wstring, int> scanResults;
    bool readOnly = false;
    bool stopBeforeScan = false;
    std::vector<std::string> calls;
    std::vector<std::string> log;
    std::string ending; // the console output ends so, with <report> for the report's path
    std::vector<std::string> reportedPaths;
    int deniedProcesses = 0; // processes the system scan had no right to examine
    std::vector<_ScanCbkParams> reports = {};
};

// A detection of the path, then the failure of its action for want of rights.
std::vector<_ScanCbkParams> RefusedDetection(const wchar_t* path)
{
    _ScanCbkParams detection = {};
    detection.size = sizeof detection;
    detection.objectPath = path;
    detection.scanStatus = ThreatScanner::StatusInfected;
    detection.threatName = L"T";
    _ScanCbkParams refusal = detection;
    refusal.scanStatus = ThreatScanner::StatusScanFailed;
    refusal.scanStatusFlags = ThreatScanner::PathAccess;
    refusal.threatName = nullptr;
    return {detection, refusal};
}

// The Value attributes of the ScanPaths of a saved report.
std::vector<std::string> SavedPaths(const std::string& output)
{
    const std::string path = ReportPathFromOutput(output);
    if (path.empty())
        return {};
    pugi::xml_document document;
    LoadReport(document, path);
    return ReportedPaths(document);
}
} // namespace

TEST(ScannerJob, RequestsAndEngineAnswersGiveTheCallsTheLogAndTheReport)
{
    const std::string complete = "\nScan complete.You can access scan result here: <report>\n";
    const std::string incomplete = "\nScan incomplete.You can access scan result here: <report>\n";
    const std::vector<Case> cases = {
        {"quick scan: the system objects",
         Request(ScanType::Quick),
         {},
         {},
         false,
         false,
         Join({{"InitializeEx <folder> temp=yes"},
               NewInstance(),
               {"ScanObject 0 <System>", "DestroyInstance", "Uninitialize"}}),
         {},
         "Scan started\n" + complete,
         {"<System>"}},
        {"quick scan: processes the user may not examine and refused actions are counted at the "
         "end",
         Request(ScanType::Quick),
         {},
         {},
         false,
         false,
         Join({{"InitializeEx <folder> temp=yes"},
               NewInstance(),
               {"ScanObject 0 <System>", "DestroyInstance", "Uninitialize"}}),
         {"Error: Couldn't scan or act on object. Path: /a. Error: PathAccess",
          "Info: Running processes not examined: 3"},
         "Running processes not examined (they need an administrator): 3\n"
         "Detected objects not acted on (they need an administrator): 1\n" +
             complete,
         {"<System>"},
         3,
         RefusedDetection(L"/a")},
        {"custom scan: archives on, every path scanned after a failing one",
         Request(ScanType::Custom, {L"/first", L"/missing", L"/third"}),
         {},
         {{L"/missing", ThreatScanner::FileOpen}},
         false,
         false,
         Join({{"InitializeEx <folder> temp=yes"},
               NewInstance(),
               {"Option 26=1", "ScanPath /first", "ScanPath /missing", "ScanPath /third",
                "DestroyInstance", "Uninitialize"}}),
         {"Error: Couldn't perform custom scan. Error: FileOpen"},
         incomplete,
         {"/first", "/missing", "/third"}},
        {"custom scan: archives off",
         Request(ScanType::Custom, {L"/first"}, false),
         {},
         {},
         false,
         false,
         Join({{"InitializeEx <folder> temp=yes"},
               NewInstance(),
               {"Option 26=0", "ScanPath /first", "DestroyInstance", "Uninitialize"}}),
         {},
         complete,
         {"/first"}},
        {"failing scan and destruction are logged; the report is still written",
         Request(ScanType::Quick),
         {{"ScanObject", failed}, {"DestroyInstance", ThreatScanner::InvalidHandle}},
         {},
         false,
         false,
         Join({{"InitializeEx <folder> temp=yes"},
               NewInstance(),
               {"ScanObject 0 <System>", "DestroyInstance", "Uninitialize"}}),
         {"Error: Couldn't perform system scan. Error: Failed",
          "Error: Couldn't destroy scanner instance. Error: InvalidHandle"},
         incomplete,
         {"<System>"}},
        {"an interrupted scan lists and scans nothing more",
         Request(ScanType::Custom, {L"/first", L"/second"}),
         {},
         {},
         false,
         true,
         // The stop reaches the engine as soon as the instance exists.
         Join({{"InitializeEx <folder> temp=yes"},
               NewInstance(),
               {"Option 4090=1", "Option 26=1", "DestroyInstance", "Uninitialize"}}),
         {"Info: Scan interrupted"},
         "\nScan interrupted.You can access scan result here: <report>\n",
         {}},
        {"read-only: started in the engines folder, nothing saved",
         Request(ScanType::Quick),
         {},
         {},
         true,
         false,
         Join({{"Initialize /opt/engines"},
               NewInstance(),
               {"ScanObject 0 <System>", "DestroyInstance", "Uninitialize"}}),
         {},
         "Scan started\n\nScan complete.",
         {}},
    };
    for (const Case& test : cases)
    {
        SCOPED_TRACE(test.name);
        FakeEngine engine;
        engine.results = test.results;
        engine.scanResults = test.scanResults;
        engine.deniedProcesses = test.deniedProcesses;
        engine.reports = test.reports;
        fake = &engine;
        const TemporaryFolder folder;
        CapturedConsole console;
        auto environment = TestEnvironment(folder.Path(), console);
        environment.readOnly = test.readOnly;
        const auto stop = std::make_shared<CorvaneCommandLineScanner::StopSwitch>();
        if (test.stopBeforeScan)
            stop->Request();
        const LogCapture log;
        {
            CorvaneCommandLineScanner::Scanner scanner(
                CorvaneCommandLineScanner::EngineLibrary(FakeExports()), environment, stop);
            scanner.Scan(test.request);
        }
        std::vector<std::string> expectedCalls = test.calls;
        expectedCalls.front() = std::regex_replace(expectedCalls.front(), std::regex("<folder>"),
                                                   folder.Path().string());
        EXPECT_THAT(engine.calls, ElementsAreArray(expectedCalls));
        EXPECT_THAT(log.Lines(), ElementsAreArray(test.log));
        const std::string output = console.Text();
        const std::string ending =
            std::regex_replace(test.ending, std::regex("<report>"), ReportPathFromOutput(output));
        EXPECT_THAT(output, testing::StartsWith("Initializing engine, please wait...\n"
                                                "Initializing engine completed\nScan started\n"));
        EXPECT_THAT(output, testing::EndsWith(ending));
        EXPECT_THAT(SavedPaths(output), ElementsAreArray(test.reportedPaths));
        // The run's temporary folder goes with the engine.
        EXPECT_TRUE(!fs::exists(folder.Path() / "Temp") || fs::is_empty(folder.Path() / "Temp"));
        fake = nullptr;
    }
}

TEST(ScannerJob, AnEngineThatRefusesToStartOrToMakeAnInstanceIsReported)
{
    struct Failure
    {
        std::map<std::string, int> results;
        std::string message;
        std::vector<std::string> calls;
    };
    const std::vector<Failure> failures = {
        {{{"InitializeEx", ThreatScanner::CouldNotInitialize}},
         "Couldn't initialize scanner. Error: CouldNotInitialize",
         {"InitializeEx"}},
        {{{"CreateInstance", failed}},
         "Couldn't create scanner. Error: -1073741824",
         {"InitializeEx", "CreateInstance", "Uninitialize"}},
    };
    for (const Failure& failure : failures)
    {
        SCOPED_TRACE(failure.message);
        FakeEngine engine;
        engine.results = failure.results;
        fake = &engine;
        const TemporaryFolder folder;
        CapturedConsole console;
        const auto environment = TestEnvironment(folder.Path(), console);
        try
        {
            CorvaneCommandLineScanner::Scanner scanner(
                CorvaneCommandLineScanner::EngineLibrary(FakeExports()), environment);
            scanner.Scan(Request(ScanType::Quick));
            ADD_FAILURE() << "nothing thrown";
        }
        catch (const ExceptionHelper::Exception& error)
        {
            EXPECT_STREQ(error.what(), failure.message.c_str());
        }
        std::vector<std::string> names;
        for (const std::string& call : engine.calls)
            names.push_back(call.substr(0, call.find(' ')));
        EXPECT_THAT(names, ElementsAreArray(failure.calls));
        // The folder made for the engine's files goes with the engine, also a refused one.
        EXPECT_FALSE(fs::exists(folder.Path() / "Temp"));
        fake = nullptr;
    }
}

TEST(ScannerJob, ReportGoesToStandardOutputWhenAsked)
{
    FakeEngine engine;
    fake = &engine;
    _ScanCbkParams report = {};
    report.size = sizeof report;
    report.objectPath = L"/a";
    report.scanStatus = ThreatScanner::StatusSuspicious;
    report.threatName = L"T";
    engine.reports.push_back(report);
    const TemporaryFolder folder;
    CapturedConsole console;
    auto environment = TestEnvironment(folder.Path(), console);
    environment.resultToStdout = true;
    ScanRequest request = Request(ScanType::Quick);
    request.resultPath = (folder.Path() / "report.xml").wstring();
    {
        CorvaneCommandLineScanner::Scanner scanner(
            CorvaneCommandLineScanner::EngineLibrary(FakeExports()), environment);
        scanner.Scan(request);
    }
    const std::string document = ReadFile(folder.Path() / "report.xml");
    ASSERT_THAT(document, testing::HasSubstr("ThreatName=\"T\""));
    EXPECT_THAT(
        console.Text(),
        testing::EndsWith("Scan started\nObject Path: /a. Parent Containers: (null). Inner Object: "
                          "(null)\n\n" +
                          document + "\n\nScan complete.You can access scan result here: " +
                          (folder.Path() / "report.xml").string() + "\n"));

    // A report that cannot be saved is still printed.
    CapturedConsole second;
    environment = TestEnvironment(folder.Path(), second);
    environment.resultToStdout = true;
    fs::create_directories(folder.Path() / "folder");
    request.resultPath = (folder.Path() / "folder").wstring();
    {
        CorvaneCommandLineScanner::Scanner scanner(
            CorvaneCommandLineScanner::EngineLibrary(FakeExports()), environment);
        scanner.Scan(request);
    }
    EXPECT_THAT(second.Text(),
                testing::EndsWith("</Summary>\n\n"
                                  "\nError: Couldn't save scan result. Please check scan result "
                                  "path\n"));
    fake = nullptr;
}

#ifndef _WIN32
// The quarantine of an installation for every user is the administrators': a user who may not
// write it is told so before the scan starts; other actions and writable quarantines say nothing.
TEST(ScannerJob, QuarantineWhereTheUserMayNotWriteNeedsAnAdministrator)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write in any folder";
    const TemporaryFolder folder;
    const fs::path machine = folder.Path() / "machine";
    fs::create_directories(machine);
    const std::string notice = "Quarantine of this installation needs an administrator: run it "
                               "again as administrator to quarantine what is found\n";
    const struct
    {
        ThreatScanner::Action action;
        bool locked;
        bool told;
    } cases[] = {{ThreatScanner::ActionQuarMove, true, true},
                 {ThreatScanner::ActionQuarMove, false, false},
                 {ThreatScanner::ActionDelete, true, false}};
    for (const auto& c : cases)
    {
        FakeEngine engine;
        fake = &engine;
        fs::permissions(machine, c.locked ? fs::owner_read | fs::owner_exe : fs::owner_all);
        CapturedConsole console;
        auto environment = TestEnvironment(folder.Path(), console);
        environment.folders =
            CorvaneCommandLineScanner::ChooseFolders(folder.Path(), true, machine, {});
        ScanRequest request = Request(ScanType::Quick);
        request.action = c.action;
        {
            CorvaneCommandLineScanner::Scanner scanner(
                CorvaneCommandLineScanner::EngineLibrary(FakeExports()), environment);
            scanner.Scan(request);
        }
        EXPECT_EQ(console.Text().find(notice + "Scan started\n") != std::string::npos, c.told)
            << console.Text();
        fake = nullptr;
    }
    fs::permissions(machine, fs::owner_all);
}
#endif
