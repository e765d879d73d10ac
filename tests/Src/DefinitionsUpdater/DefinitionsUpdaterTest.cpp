#include "Installation.h"
#include "Matchers.h"
#include "ScriptedEngine.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace fs = boost::filesystem;
namespace json = boost::json;
using CorvaneTest::Installation;
using testing::ElementsAre;
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
        {"code": 77}]}})");
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
                ElementsAre("Corvane command line scanner; switch-definitions; "
                            "engine-service=/run/corvane/engine.sock"));
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

TEST(DefinitionsUpdater, SetsTheSixOptionsInOrderWithTheirValues)
{
    const DefinitionsUpdate update("{}");
    // Nothing downloaded, nothing to install, nothing printed.
    EXPECT_EQ(update.Run(), "");
    json::array expected;
    expected.emplace_back(json::object{{"id", 600}, {"value", DEFINITIONS_SERVER_URL}});
    expected.emplace_back(json::object{{"id", 699}, {"value", update.Folder().string()}});
    for (const int id : {605, 615, 602, 603})
        expected.emplace_back(json::object{{"id", id}, {"value", true}});
    const json::object record = update.Record();
    EXPECT_EQ(record.at("options"), expected);
    EXPECT_THAT(DEFINITIONS_SERVER_URL, CorvaneTest::MatchesRegex("http://[^/]+/av64bit"));
    EXPECT_EQ(Calls(record, "install"), 0);
    EXPECT_EQ(record.at("destroyed"), 1);
}

TEST(DefinitionsUpdater, NothingPendingSkipsTheInstall)
{
    const DefinitionsUpdate update(R"({"update": {"events": [
        {"code": 0}, {"code": 90, "value": 1}, {"code": 30}, {"code": 90, "value": 0}]}})");
    EXPECT_EQ(update.Run(), "Checking for update...\nDefinitions up to date\n");
    EXPECT_EQ(Calls(update.Record(), "install"), 0);
    EXPECT_THAT(update.EngineCalls(), IsEmpty());
}

TEST(DefinitionsUpdater, ProgressShowsTheLatestSizeAndFileName)
{
    const DefinitionsUpdate update(R"({"update": {"events": [
        {"code": 70, "value": 5}, {"code": 40, "text": "a"}, {"code": 40, "text": "b"},
        {"code": 70, "value": 6}, {"code": 40, "text": ""}, {"code": 60, "value": 7},
        {"code": 70, "value": 7}, {"code": 40, "text": "c\u001b]0;x\u0007\n"},
        {"code": 70, "value": 7}]}})");
    EXPECT_EQ(update.Run(),
              "Downloading: 5 of 0 bytes. File: \n"
              "Downloading: 6 of 0 bytes. File: b\n"
              "Downloading: 7 of 7 bytes. File: \n"
              "Downloading: 7 of 7 bytes. File: c\xEF\xBF\xBD]0;x\xEF\xBF\xBD\xEF\xBF\xBD\n");
}

TEST(DefinitionsUpdater, RetryQueriesShareFiveYesAnswersPerRun)
{
    const DefinitionsUpdate update(R"({
        "update": {"events": [{"code": 80}, {"code": 82}, {"code": 81}, {"code": 80},
                              {"code": 90, "value": 1}]},
        "install": {"events": [{"code": 82}, {"code": 81}, {"code": 80}]}})");
    const std::string output = update.Run();
    EXPECT_THAT(output, StartsWith("Applying definitions started\n"));
    const json::object record = update.Record();
    EXPECT_EQ(Answers(record, "update"), json::parse("[1, 1, 1, 1, 0]"));
    EXPECT_EQ(Answers(record, "install"), json::parse("[1, 0, 0]"));
}

TEST(DefinitionsUpdater, ARefusedOptionStopsTheLaterOnes)
{
    const std::vector<std::pair<int, std::string>> options = {
        {600, "Couldn't set server option"},         {699, "Couldn't set local path option"},
        {605, "Couldn't set use version id option"}, {615, "Couldn't set use patches option"},
        {602, "Couldn't set update callback"},       {603, "Couldn't set update callback context"}};
    json::array idsSoFar;
    for (const auto& [id, message] : options)
    {
        idsSoFar.push_back(id);
        const DefinitionsUpdate update(R"({"refuse": [)" + std::to_string(id) + "]}");
        const std::string output = update.Run();
        EXPECT_THAT(output, StartsWith(failure));
        EXPECT_THAT(output, HasSubstr("\nstd::exception::what: " + message + "\n"));
        const json::object record = update.Record();
        json::array ids;
        for (const json::value& option : record.at("options").as_array())
            ids.push_back(option.at("id"));
        EXPECT_EQ(ids, idsSoFar) << message;
        EXPECT_EQ(Calls(record, "update"), 0);
        EXPECT_EQ(record.at("destroyed"), 1);
    }
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

TEST(DefinitionsUpdater, AFailedInstallStopsBeforeTheEngine)
{
    const DefinitionsUpdate update(
        R"({"update": {"events": [{"code": 90, "value": 1}]}, "install": {"result": 5}})");
    const std::string output = update.Run();
    EXPECT_THAT(output, StartsWith("Applying definitions started\n" + failure));
    EXPECT_THAT(output, HasSubstr("\nstd::exception::what: Couldn't perform install. Error: 5\n"));
    EXPECT_THAT(output, Not(HasSubstr("Applying definitions done")));
    EXPECT_THAT(update.EngineCalls(), IsEmpty());
    EXPECT_EQ(update.Record().at("destroyed"), 1);
}

TEST(DefinitionsUpdater, AnEngineThatCannotStartFailsTheJob)
{
    const DefinitionsUpdate update(R"({"update": {"events": [{"code": 90, "value": 1}]}})", true,
                                   R"({"results": {"InitializeEx": 3221229580}})");
    const std::string output = update.Run();
    EXPECT_THAT(output, StartsWith("Applying definitions started\n"
                                   "Initializing engine, please wait...\n" +
                                   failure));
    EXPECT_THAT(output, HasSubstr("\nstd::exception::what: Couldn't initialize scanner. Error: "));
    EXPECT_THAT(output, Not(HasSubstr("Applying definitions done")));
    EXPECT_EQ(update.Record().at("destroyed"), 1);
}

TEST(DefinitionsUpdater, NoServiceObjectIsAnError)
{
    const DefinitionsUpdate update(R"({"createFails": true})");
    const std::string output = update.Run();
    EXPECT_THAT(output, StartsWith(failure));
    EXPECT_THAT(output, HasSubstr("\nstd::exception::what: Couldn't create definitions updater\n"));
    const json::object record = update.Record();
    EXPECT_EQ(record.at("created"), 1);
    EXPECT_EQ(record.at("options"), json::array());
    EXPECT_EQ(record.at("destroyed"), 0);
    EXPECT_EQ(record.at("destroyedOther"), 0);
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

TEST(DefinitionsUpdater, CallsWithoutContextOrDataAreSurvived)
{
    // A call without the context cannot reach the updater: it is logged and answered with a
    // failure, and the update goes on. Events without their data read as empty or zero.
    const DefinitionsUpdate update(R"({"update": {"events": [
        {"code": 0, "nullContext": true}, {"code": 80, "nullContext": true}, {"code": 0},
        {"code": 40}, {"code": 60}, {"code": 90}, {"code": 70}]}})");
    EXPECT_EQ(update.Run(), "Checking for update...\nDownloading: 0 of 0 bytes. File: \n");
    EXPECT_EQ(Answers(update.Record(), "update"), json::parse("[-1, -1, 0, 0, 0, 0, 0]"));
    EXPECT_EQ(update.Log(), "Error: No self\nError: No self\n");
}
