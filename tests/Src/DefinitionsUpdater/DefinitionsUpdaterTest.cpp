#include "DefinitionsUpdater/DefinitionsUpdater.h"
#include "Installation.h"
#include "Matchers.h"
#include "ScanFixture.h"
#include "ScriptedEngine.h"

#include "ExceptionHelper/Exception.h"
#include "ScanProtocol/Channel.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/json.hpp>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = boost::filesystem;
namespace json = boost::json;
using CorvaneTest::Installation;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using testing::StartsWith;

namespace
{
const std::string failure = "Couldn't update definitions. Error: ";
const std::string engineStart =
    "Initializing engine, please wait...\nInitializing engine completed\n";

// An installation with the scripted engine and the scripted update library with its script;
// runs --updatedefs and reads what the libraries recorded and what the run logged.
class DefinitionsUpdate
{
public:
    explicit DefinitionsUpdate(const std::string& script, bool withLibrary = true,
                               const std::string& engineScript = "{}")
    {
        CorvaneTest::ScriptedEngine::Install(installation, json::parse(engineScript));
        if (!withLibrary)
            return;
        installation.Install(SCRIPTED_UPDATE_SERVICE, "UpdateServiceCom.dll");
        installation.WriteFile("UpdateServiceCom.script.json", script);
    }

    std::string Run() const
    {
        return CorvaneTest::WithoutDuration(installation.Run({"--updatedefs"}).output);
    }

    json::object Record() const
    {
        return json::parse(CorvaneTest::ReadFile(Folder() / "UpdateServiceCom.record.json"))
            .as_object();
    }

    // The second start-up string of each engine start.
    std::vector<std::string> EngineStartupTexts() const
    {
        std::vector<std::string> texts;
        for (const json::object& call : CorvaneTest::ScriptedEngine::Calls(installation))
            if (call.contains("second"))
                texts.emplace_back(call.at("second").as_string());
        return texts;
    }

    void WriteSettings(const std::string& content) const
    {
        installation.WriteFile("config.ini", content);
    }

    // The engine exports called, in order.
    std::vector<std::string> EngineCalls() const
    {
        std::vector<std::string> names;
        for (const json::object& call : CorvaneTest::ScriptedEngine::Calls(installation))
            names.emplace_back(call.at("call").as_string());
        return names;
    }

    std::string Log() const
    {
        std::string text;
        for (const auto& entry : fs::directory_iterator(Folder() / "Logs"))
            text += CorvaneTest::ReadTextFile(entry.path());
        return text;
    }

    // The folder as the running program sees it, links resolved.
    fs::path Folder() const { return fs::canonical(installation.Folder()); }

private:
    Installation installation;
};

json::value Answers(const json::object& record, const char* step)
{
    return record.at(step).at("answers");
}

int Calls(const json::object& record, const char* step)
{
    return record.at(step).at("calls").to_number<int>();
}
} // namespace

TEST(DefinitionsUpdater, PrintsProgressInstallsAndReturnsTheService)
{
    const DefinitionsUpdate update(R"({"update": {"events": [
        {"code": 0}, {"code": 40, "text": "daily.cvd"}, {"code": 60, "value": 18446744073709551615},
        {"code": 70, "value": 4294967296}, {"code": 40, "text": "main.cvd"},
        {"code": 70, "value": 18446744073709551615}, {"code": 10}, {"code": 90, "value": 2},
        {"code": 77}]}, "refuse": [701]})");
    EXPECT_EQ(update.Run(),
              "Checking for update...\n"
              "Downloading: 4294967296 of 18446744073709551615 bytes. File: daily.cvd\n"
              "Downloading: 18446744073709551615 of 18446744073709551615 bytes. "
              "File: main.cvd\n"
              "Downloading definitions done\n"
              "Applying definitions started\n" +
                  engineStart + "Applying definitions done\n");
    const json::object record = update.Record();
    EXPECT_EQ(Answers(record, "update"), json::parse("[0, 0, 0, 0, 0, 0, 0, 0, 0]"));
    EXPECT_EQ(Calls(record, "update"), 1);
    EXPECT_EQ(Calls(record, "install"), 1);
    EXPECT_EQ(record.at("created"), 1);
    EXPECT_EQ(record.at("destroyed"), 1);
    EXPECT_EQ(record.at("destroyedOther"), 0);
    EXPECT_THAT(update.EngineCalls(), ElementsAre("InitializeEx", "Uninitialize"));
    // The engine start after the install asks an engine service to switch to the new set.
    EXPECT_THAT(update.EngineStartupTexts(),
                ElementsAre(std::string("Corvane command line scanner; switch-definitions; "
                                        "engine-service=") +
                            ScanProtocol::defaultEndpoint));
    // The built-in server and the program folder reach the library.
    EXPECT_EQ(record.at("options").at(0),
              (json::object{{"id", 600}, {"value", DEFINITIONS_SERVER_URL}}));
    EXPECT_EQ(record.at("options").at(1),
              (json::object{{"id", 699}, {"value", update.Folder().string()}}));
    // The engine service's socket too; a library that refuses it installs all the same.
    EXPECT_EQ(record.at("options").as_array().back(),
              (json::object{{"id", 701}, {"value", ScanProtocol::defaultEndpoint}}));
    EXPECT_THAT(DEFINITIONS_SERVER_URL, CorvaneTest::MatchesRegex("http://[^/]+/av64bit"));
}

// Without an engine service the start-up string names none, and nothing changes for the engine.
TEST(DefinitionsUpdater, AnInstallWithTheServiceTurnedOffOnlyStartsTheEngine)
{
    const DefinitionsUpdate update(R"({"update": {"events": [
        {"code": 0}, {"code": 40, "text": "daily.cvd"}, {"code": 10}, {"code": 90, "value": 2},
        {"code": 77}]}})");
    update.WriteSettings("engine_service=off\n");
    update.Run();
    EXPECT_THAT(update.EngineCalls(), ElementsAre("InitializeEx", "Uninitialize"));
    EXPECT_THAT(update.EngineStartupTexts(), ElementsAre("Corvane command line scanner"));
}

TEST(DefinitionsUpdater, AFailedUpdateIsReportedAndLogged)
{
    const DefinitionsUpdate update(
        R"({"update": {"events": [{"code": 90, "value": 1}], "result": -1}})");
    const std::string output = update.Run();
    const auto diagnostic = CorvaneTest::MatchesRegex(
        ".*DefinitionsUpdater\\.cpp\\([0-9]+\\): Throw in function void "
        "CorvaneCommandLineScanner::DefinitionsUpdater::Start\\(\\)\n"
        "Dynamic exception type: boost::wrapexcept<ExceptionHelper::Exception>\n"
        "std::exception::what: Couldn't perform update. Error: -1\n");
    ASSERT_THAT(output, StartsWith(failure));
    EXPECT_THAT(output.substr(failure.size()), diagnostic);
    EXPECT_EQ(update.Log(), "Error: " + output.substr(failure.size()) + "\n");
    const json::object record = update.Record();
    EXPECT_EQ(Calls(record, "install"), 0);
    EXPECT_EQ(record.at("destroyed"), 1);
}

TEST(DefinitionsUpdater, AMissingLibraryNamesItsPath)
{
    const DefinitionsUpdate update("", false);
    const std::string output = update.Run();
    EXPECT_THAT(output, StartsWith(failure));
    EXPECT_THAT(output,
                HasSubstr("Dynamic exception type: boost::wrapexcept<ExceptionHelper::Windows>\n"
                          "std::exception::what: " +
                          (update.Folder() / "UpdateServiceCom.dll").string() + "\n"));
}

namespace
{
using CorvaneCommandLineScanner::DefinitionsUpdater;

// One event of the fake library: its code, the 64-bit value or the text it points to (or no
// data), and whether it comes without the callback's context.
struct Event
{
    int code;
    std::optional<std::uint64_t> value = std::nullopt;
    const char* text = nullptr;
    bool withoutContext = false;
};

// What Update or Install does: the events it reports, and its result.
struct Step
{
    std::vector<Event> events;
    int result = 0;
};

// How often Update or Install was called, and the callback's answers to its events.
struct StepRecord
{
    int calls = 0;
    std::vector<int> answers;
};

// What the fake update library does and was asked; one at a time.
struct FakeLibrary
{
    std::set<int> refused;
    bool createFails = false;
    Step update;
    Step install;
    StepRecord updated;
    StepRecord installed;
    std::vector<std::string> options; // "id=value"
    int created = 0;
    int destroyed = 0;
    int reloads = 0;
    UpdSdk::Callback* callback = nullptr;
    void* context = nullptr;
};
FakeLibrary* library = nullptr;

std::string OptionText(int option, void* value)
{
    if (!value)
        return "(null)";
    switch (option)
    {
    case UpdSdk::OptionServer:
        return static_cast<const char*>(value);
    case UpdSdk::OptionLocalPath:
    {
        const std::wstring path = static_cast<const wchar_t*>(value);
        return std::string(path.begin(), path.end());
    }
    case UpdSdk::OptionUseVersionId:
    case UpdSdk::OptionUsePatches:
        return *static_cast<const bool*>(value) ? "true" : "false";
    default:
        return "set";
    }
}

class FakeService : public UpdateServiceInterface
{
public:
    int SetOption(int option, void* value) override
    {
        library->options.push_back(std::to_string(option) + "=" + OptionText(option, value));
        if (option == UpdSdk::OptionUpdateCallback)
            library->callback = reinterpret_cast<UpdSdk::Callback*>(value);
        if (option == UpdSdk::OptionUpdateCallbackContext)
            library->context = value;
        return library->refused.count(option) ? 1 : 0;
    }
    int Update() override { return Run(library->update, library->updated); }
    int Install() override { return Run(library->install, library->installed); }

private:
    static int Run(const Step& step, StepRecord& record)
    {
        ++record.calls;
        for (const Event& event : step.events)
        {
            std::uint64_t value = event.value.value_or(0);
            void* data = event.value ? static_cast<void*>(&value) : const_cast<char*>(event.text);
            record.answers.push_back(library->callback(
                event.code, data, event.withoutContext ? nullptr : library->context));
        }
        return step.result;
    }
};
FakeService service;

UpdSdk::Exports FakeExports()
{
    UpdSdk::Exports exports;
    exports.Create = []() -> UpdateServiceInterface*
    {
        ++library->created;
        return library->createFails ? nullptr : &service;
    };
    exports.Destroy = [](UpdateServiceInterface* object)
    {
        library->destroyed += object == &service ? 1 : 100;
        return 0;
    };
    return exports;
}

// Runs one update against the fake library; returns the console output, and the error thrown
// after "Error: ".
std::string RunUpdate(FakeLibrary& fake, const CorvaneCommandLineScanner::JobEnvironment& base,
                      CorvaneTest::CapturedConsole& console, bool reloadFails = false)
{
    library = &fake;
    auto environment = base;
    environment.out = &console.narrow;
    environment.wideOut = &console.wide;
    try
    {
        DefinitionsUpdater updater(
            environment, [] { return CorvaneCommandLineScanner::UpdateLibrary(FakeExports()); },
            [&fake, reloadFails]
            {
                ++fake.reloads;
                if (reloadFails)
                    throw ExceptionHelper::Exception("Couldn't initialize scanner. Error: Failed");
            });
        updater.Start();
    }
    catch (const std::exception& error)
    {
        console.narrow << "Error: " << error.what();
    }
    library = nullptr;
    return console.Text();
}
} // namespace

// Events and answers of the library to what the job prints and does.
TEST(DefinitionsUpdater, EventsAndResultsGiveTheProgressTheInstallAndTheReload)
{
    struct Case
    {
        const char* name;
        Step update;
        Step install;
        bool reloadFails;
        std::string output;
        std::vector<int> updateAnswers;
        std::vector<int> installAnswers;
        int installs;
        int reloads;
    };
    const std::vector<Case> cases = {
        {"nothing pending skips the install",
         {{{0}, {90, 1}, {30}, {90, 0}}},
         {},
         false,
         "Checking for update...\nDefinitions up to date\n",
         {0, 0, 0, 0},
         {},
         0,
         0},
        {"progress shows the latest size and file name, printable",
         {{{70, 5},
           {40, std::nullopt, "a"},
           {40, std::nullopt, "b"},
           {70, 6},
           {40, std::nullopt, ""},
           {60, 7},
           {70, 7},
           {40, std::nullopt, "c\x1b]0;x\a\n"},
           {70, 7}}},
         {},
         false,
         "Downloading: 5 of 0 bytes. File: \nDownloading: 6 of 0 bytes. File: b\n"
         "Downloading: 7 of 7 bytes. File: \n"
         "Downloading: 7 of 7 bytes. File: c\xEF\xBF\xBD]0;x\xEF\xBF\xBD\xEF\xBF\xBD\n",
         {0, 0, 0, 0, 0, 0, 0, 0, 0},
         {},
         0,
         0},
        {"retry queries share five yes answers per run",
         {{{80}, {82}, {81}, {80}, {90, 1}}},
         {{{82}, {81}, {80}}},
         false,
         "Applying definitions started\nApplying definitions done\n",
         {1, 1, 1, 1, 0},
         {1, 0, 0},
         1,
         1},
        {"a failed update installs nothing",
         {{{90, 1}}, -1},
         {},
         false,
         "Error: Couldn't perform update. Error: -1",
         {0},
         {},
         0,
         0},
        {"a failed install stops before the engine",
         {{{90, 1}}},
         {{}, 5},
         false,
         "Applying definitions started\nError: Couldn't perform install. Error: 5",
         {0},
         {},
         1,
         0},
        {"an engine that cannot start fails the job",
         {{{90, 1}}},
         {},
         true,
         "Applying definitions started\nError: Couldn't initialize scanner. Error: Failed",
         {0},
         {},
         1,
         1},
        {"calls without context are answered with a failure; events without data read as zero",
         {{{0, std::nullopt, nullptr, true},
           {80, std::nullopt, nullptr, true},
           {0},
           {40},
           {60},
           {90},
           {70}}},
         {},
         false,
         "Checking for update...\nDownloading: 0 of 0 bytes. File: \n",
         {-1, -1, 0, 0, 0, 0, 0},
         {},
         0,
         0},
    };
    const CorvaneTest::TemporaryFolder folder;
    for (const Case& test : cases)
    {
        SCOPED_TRACE(test.name);
        FakeLibrary fake;
        fake.update = test.update;
        fake.install = test.install;
        CorvaneTest::CapturedConsole console;
        const CorvaneTest::LogCapture log;
        EXPECT_EQ(RunUpdate(fake, CorvaneTest::TestEnvironment(folder.Path(), console), console,
                            test.reloadFails),
                  test.output);
        EXPECT_THAT(fake.updated.answers, ElementsAreArray(test.updateAnswers));
        EXPECT_THAT(fake.installed.answers, ElementsAreArray(test.installAnswers));
        EXPECT_EQ(fake.installed.calls, test.installs);
        EXPECT_EQ(fake.reloads, test.reloads);
        EXPECT_EQ(fake.destroyed, 1);
        const std::size_t withoutContext =
            std::count_if(test.update.events.begin(), test.update.events.end(),
                          [](const Event& event) { return event.withoutContext; });
        EXPECT_EQ(log.Lines(), std::vector<std::string>(withoutContext, "Error: No self"));
    }
}

// The options in order, each refusal ending the set-up there, and where the definitions go.
TEST(DefinitionsUpdater, OptionsAreSetInOrderAndARefusalStopsTheLaterOnes)
{
    const CorvaneTest::TemporaryFolder folder;
    CorvaneTest::CapturedConsole console;
    const auto environment = CorvaneTest::TestEnvironment(folder.Path(), console);
    const std::vector<std::string> all = {"600=http://127.0.0.1:1/av64bit",
                                          "699=" + folder.Path().string(),
                                          "605=true",
                                          "615=true",
                                          "602=set",
                                          "603=set"};
    const std::vector<std::string> refusals = {
        "Couldn't set server option",         "Couldn't set local path option",
        "Couldn't set use version id option", "Couldn't set use patches option",
        "Couldn't set update callback",       "Couldn't set update callback context"};
    for (std::size_t refused = 0; refused <= all.size(); ++refused)
    {
        FakeLibrary fake;
        if (refused < all.size())
            fake.refused.insert(std::stoi(all[refused]));
        CorvaneTest::CapturedConsole output;
        const std::string text = RunUpdate(fake, environment, output);
        const std::size_t set = std::min(refused + 1, all.size());
        EXPECT_THAT(fake.options, ElementsAreArray(all.begin(), all.begin() + set));
        EXPECT_EQ(text, refused < all.size() ? "Error: " + refusals[refused] : "");
        EXPECT_EQ(fake.updated.calls, refused < all.size() ? 0 : 1);
        EXPECT_EQ(fake.destroyed, 1);
    }

    FakeLibrary noService;
    noService.createFails = true;
    CorvaneTest::CapturedConsole output;
    EXPECT_EQ(RunUpdate(noService, environment, output),
              "Error: Couldn't create definitions updater");
    EXPECT_TRUE(noService.options.empty());
    EXPECT_EQ(noService.destroyed, 0);
}

// A read-only installation updates the definitions in its engines folder, which must hold a
// Plugins folder and lie outside the program folder; otherwise nothing is loaded or written.
TEST(DefinitionsUpdater, AReadOnlyInstallationUpdatesItsEnginesFolderOnly)
{
    const CorvaneTest::TemporaryFolder folder;
    const fs::path program = folder.Path() / "program";
    const fs::path engines = folder.Path() / "engines";
    fs::create_directories(program / "engines" / "Plugins");
    fs::create_directories(engines / "Plugins");
    fs::create_directories(folder.Path() / "empty");
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {engines, ""},
        {folder.Path() / "empty",
         "Error: Couldn't find definitions in the engines folder of a read-only installation"},
        {program / "engines",
         "Error: Couldn't update definitions in the program folder of a read-only installation"},
    };
    for (const auto& [enginesFolder, output] : cases)
    {
        SCOPED_TRACE(enginesFolder.string());
        CorvaneTest::CapturedConsole console;
        auto environment = CorvaneTest::TestEnvironment(program, console);
        environment.readOnly = true;
        environment.enginesFolder = enginesFolder.wstring();
        FakeLibrary fake;
        EXPECT_EQ(RunUpdate(fake, environment, console), output);
        EXPECT_EQ(fake.created, output.empty() ? 1 : 0);
        if (output.empty())
        {
            EXPECT_EQ(fake.options.at(1), "699=" + enginesFolder.string());
        }
    }
}

// An installation for every user updates the machine's definitions: the starter set beside the
// executable is copied there once, without the engine's cache; a set already there is kept. Where
// this process may not write, a failure says that it needs an administrator.
TEST(DefinitionsUpdater, AnInstallationForEveryUserUpdatesTheMachinesDefinitions)
{
    const CorvaneTest::TemporaryFolder folder;
    const fs::path program = folder.Path() / "program";
    const fs::path machine = folder.Path() / "machine";
    fs::create_directories(program / "Plugins");
    fs::create_directories(machine);
    std::ofstream((program / "Plugins" / "starter.ndb").string()) << "starter";
    std::ofstream((program / "Plugins" / "cache.000").string()) << "cache";
    CorvaneTest::CapturedConsole console;
    auto environment = CorvaneTest::TestEnvironment(program, console);
    environment.folders = CorvaneCommandLineScanner::ChooseFolders(program, true, machine, {});

    for (const char* expected : {"starter", "updated"})
    {
        FakeLibrary fake;
        CorvaneTest::CapturedConsole output;
        EXPECT_EQ(RunUpdate(fake, environment, output), "");
        EXPECT_EQ(fake.options.at(1), "699=" + machine.string());
        EXPECT_EQ(CorvaneTest::ReadFile(machine / "Plugins" / "starter.ndb"), expected);
        EXPECT_FALSE(fs::exists(machine / "Plugins" / "cache.000"));
        std::ofstream((machine / "Plugins" / "starter.ndb").string()) << "updated";
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(machine), fs::directory_iterator()), 1);

#ifndef _WIN32
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write in any folder";
    const std::string needsAdministrator = "Updating the definitions of this installation needs "
                                           "an administrator: run it again as administrator\n";
    const fs::path locked = folder.Path() / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::owner_read | fs::owner_exe);
    environment.folders = CorvaneCommandLineScanner::ChooseFolders(program, true, locked, {});
    FakeLibrary unseeded;
    CorvaneTest::CapturedConsole first;
    EXPECT_EQ(RunUpdate(unseeded, environment, first),
              needsAdministrator + "Error: Couldn't copy the starter definitions");
    EXPECT_EQ(unseeded.created, 0);
    // With definitions there, the library's own refusal comes first.
    fs::permissions(locked, fs::owner_all);
    fs::create_directories(locked / "Plugins");
    fs::permissions(locked, fs::owner_read | fs::owner_exe);
    FakeLibrary refused;
    refused.update.result = 30;
    CorvaneTest::CapturedConsole second;
    EXPECT_EQ(RunUpdate(refused, environment, second),
              needsAdministrator + "Error: Couldn't perform update. Error: 30");
    fs::permissions(locked, fs::owner_all);
#endif
}
