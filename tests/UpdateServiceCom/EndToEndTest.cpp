// The program with the shipped update library, against a loopback definitions server.
#include "FileSystemHelper/Text.h"
#include "Installation.h"
#include "ScriptedEngine.h"
#include "UpdateServiceCom/UpdateServiceCom.h"
#include "UpdateServiceHarness.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>
#ifndef _WIN32
#include <unistd.h>
#endif

using namespace UpdateLibraryTesting;
using testing::AllOf;
using testing::HasSubstr;
using testing::Not;

namespace
{
// Every file below a folder with its content, and every folder; the scripted engine's record
// of calls aside.
std::map<std::string, std::string> Snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
    {
        if (entry.path().filename() != "scan.record.jsonl")
            entries[entry.path().string()] = fs::is_directory(entry.path())
                                                 ? std::string("(folder)")
                                                 : CorvaneTest::ReadFile(entry.path());
    }
    return entries;
}

// The shipped update library (or another build of it) and engine with the starter definitions,
// as the build installs them.
void InstallWithTheEngine(const CorvaneTest::Installation& installation,
                          const fs::path& library = ShippedLibrary())
{
    installation.Install(library, "UpdateServiceCom.dll");
    installation.Install(PublisherKeys().publicKey, "UpdateServiceCom.pub");
    installation.Install(ENGINE_LIBRARY_PATH, "scan.dll");
    fs::create_directories(installation.Folder() / "Plugins");
    for (const std::string name :
         {"corvane-starter.hdb", "corvane-starter.ldb", "corvane-starter.ndb", "update.txt"})
        installation.Install(fs::path(PROGRAM_FOLDER) / "Plugins" / name, "Plugins/" + name);
}

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

    std::string Run(const char* option) const { return installation.Run({option}).output; }

    DefinitionsServer server{LOOPBACK_PORT};
    CorvaneTest::Installation installation{LOOPBACK_PROGRAM_PATH};
    const Files release = {{"daily.ndb", Signatures("daily")},
                           {"main.ndb", Signatures("main", 3000)}};
};

TEST_F(DefinitionsUpdateEndToEndTest, UpdateInstallsTheReleaseThatDefinitionsInfoThenShows)
{
    server.Publish(release, "2024.6.2", 1, PublisherKeys().privateKey);
    EXPECT_THAT(Run("--definitions-info"), HasSubstr("\tVersion: starter\n"));

    const std::string update = Run("--updatedefs");
    EXPECT_THAT(update, HasSubstr("Checking for update...\n"));
    const std::string total = std::to_string(Bytes(release));
    EXPECT_THAT(update,
                HasSubstr("Downloading: " + total + " of " + total + " bytes. File: main.ndb\n"));
    EXPECT_THAT(update, HasSubstr("Downloading definitions done\nApplying definitions started\n"));
    EXPECT_THAT(update, HasSubstr("Applying definitions done\n"));
    EXPECT_THAT(update, Not(HasSubstr("Couldn't")));
    EXPECT_EQ(CorvaneTest::ReadFile(installation.Folder() / "Plugins" / "daily.ndb"),
              release.at("daily.ndb"));
    EXPECT_FALSE(boost::filesystem::exists(installation.Folder() / "Plugins" / "starter.ndb"));
    EXPECT_THAT(Run("--definitions-info"), HasSubstr("\tVersion: 2024.6.2\n"));

    const std::string again = Run("--updatedefs");
    EXPECT_THAT(again, HasSubstr("Checking for update...\nDefinitions up to date\n"));
    EXPECT_THAT(again, Not(HasSubstr("Applying")));
}

// The update library starts OpenSSL without reading a configuration, also when the environment
// names one: this one would leave it unable to check any signature or digest.
TEST_F(DefinitionsUpdateEndToEndTest, AnOpenSslConfigurationInTheEnvironmentIsNotRead)
{
    server.Publish(release, "2024.6.2", 1, PublisherKeys().privateKey);
    installation.WriteFile("openssl.cnf", CorvaneTest::OpenSslConfigurationWithoutAlgorithms());
    const auto result = installation.Run(
        {"--updatedefs"}, {{"OPENSSL_CONF", (installation.Folder() / "openssl.cnf").string()}});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_THAT(result.output, HasSubstr("Applying definitions done\n"));
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

// A read-only installation writes nothing beside the executable: the update goes to the engines
// folder when that is a folder of its own with definitions, and is refused otherwise.
TEST_F(DefinitionsUpdateEndToEndTest, ReadOnlyInstallationUpdatesOnlyItsOwnEnginesFolder)
{
    server.Publish(release, "2024.6.2", 1, PublisherKeys().privateKey);
    const fs::path engines = installation.Folder().parent_path() / "Engines";
    const fs::path inside = installation.Folder() / "Engines";
    fs::create_directories(engines);
    WriteText(inside / "Plugins" / "update.txt", "Version: starter\n");
    const std::pair<std::string, std::string> refusals[] = {
        {"", "Couldn't update definitions in the program folder of a read-only installation"},
        {engines.string(),
         "Couldn't find definitions in the engines folder of a read-only installation"},
        {inside.string(),
         "Couldn't update definitions in the program folder of a read-only installation"},
    };
    for (const auto& [folder, message] : refusals)
    {
        SCOPED_TRACE(folder);
        installation.WriteFile("config.ini",
                               "read_only=1\n" +
                                   (folder.empty() ? "" : "engines_folder=" + folder + "\n"));
        const auto before = Snapshot(installation.Folder());
        const std::string refused = Run("--updatedefs");
        EXPECT_THAT(refused, HasSubstr("Couldn't update definitions. Error: "));
        EXPECT_THAT(refused, HasSubstr(message));
        EXPECT_EQ(Snapshot(installation.Folder()), before);
        EXPECT_TRUE(server.Requests().empty());
    }

    WriteText(engines / "Plugins" / "update.txt", "Version: starter\n");
    installation.WriteFile("config.ini", "read_only=1\nengines_folder=" + engines.string() + "\n");
    const auto before = Snapshot(installation.Folder());
    const std::string update = Run("--updatedefs");
    EXPECT_THAT(update, HasSubstr("Applying definitions done\n"));
    EXPECT_THAT(update, Not(HasSubstr("Couldn't")));
    EXPECT_EQ(CorvaneTest::ReadFile(engines / "Plugins" / "daily.ndb"), release.at("daily.ndb"));
    EXPECT_EQ(Snapshot(installation.Folder()), before);
}

#ifndef _WIN32
// An engines folder the scanner's user may not write to: the library's own failure, code 30.
TEST_F(DefinitionsUpdateEndToEndTest, AnEnginesFolderThatCannotBeWrittenFailsTheUpdate)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write into any folder";
    server.Publish(release, "2024.6.2", 1, PublisherKeys().privateKey);
    const fs::path engines = installation.Folder().parent_path() / "Engines";
    WriteText(engines / "Plugins" / "update.txt", "Version: starter\n");
    installation.WriteFile("config.ini", "read_only=1\nengines_folder=" + engines.string() + "\n");
    fs::permissions(engines, fs::perms::owner_read | fs::perms::owner_exe);
    fs::permissions(engines / "Plugins", fs::perms::owner_read | fs::perms::owner_exe);
    const std::string update = Run("--updatedefs");
    fs::permissions(engines, fs::perms::owner_all);
    fs::permissions(engines / "Plugins", fs::perms::owner_all);
    EXPECT_THAT(update, HasSubstr("Couldn't update definitions. Error: "));
    EXPECT_THAT(update, HasSubstr("Error: 30"));
    EXPECT_EQ(CorvaneTest::ReadFile(engines / "Plugins" / "update.txt"), "Version: starter\n");
}
#endif

// The shipped engine goes on scanning with the definitions it has when a signed release holds a
// file that it cannot load; the failure is reported and logged.
TEST(DefinitionsUpdateWithTheEngine, ReleaseTheEngineCannotLoadLeavesThePreviousDefinitions)
{
    DefinitionsServer server{LOOPBACK_PORT};
    CorvaneTest::Installation installation{LOOPBACK_PROGRAM_PATH};
    InstallWithTheEngine(installation);
    const auto plugins = Snapshot(installation.Folder() / "Plugins");
    server.PublishUnchecked(
        {{"daily.ndb", Signatures("daily")}, {"broken.ndb", "not a signature\n"}}, "2024.6.2", 1,
        PublisherKeys().privateKey);

    const std::string update = installation.Run({"--updatedefs"}).output;
    EXPECT_THAT(update, HasSubstr("Applying definitions started\n"));
    EXPECT_THAT(update, HasSubstr("Couldn't update definitions. Error: "));
    EXPECT_THAT(update, HasSubstr("Couldn't perform install. Error: 16"));
    EXPECT_THAT(update, Not(HasSubstr("Applying definitions done")));
    std::string log;
    for (const auto& entry : fs::directory_iterator(installation.Folder() / "Logs"))
        log += CorvaneTest::ReadTextFile(entry.path());
    EXPECT_THAT(log, HasSubstr("Couldn't perform install. Error: 16"));
    EXPECT_EQ(Snapshot(installation.Folder() / "Plugins"), plugins);

    // The shipped sample, under a path of the system the program runs on.
    const fs::path data = installation.Folder().parent_path() / "Data";
    fs::create_directories(data);
    fs::copy_file(fs::path(PROGRAM_FOLDER) / "Samples" / "eicar.com", data / "eicar.com");
    const std::string sample = (data / "eicar.com").string();
    std::string scan = installation.Run({"--custom", sample}).output;
    EXPECT_THAT(scan, HasSubstr("Object Path: " + sample + ". "));
    EXPECT_THAT(scan, HasSubstr("Scan complete."));

    // The next good release goes in, and the engine starts on it.
    Files good = {{"daily.ndb", Signatures("daily")}};
    for (const std::string name :
         {"corvane-starter.hdb", "corvane-starter.ldb", "corvane-starter.ndb"})
        good[name] = CorvaneTest::ReadFile(fs::path(PROGRAM_FOLDER) / "Plugins" / name);
    server.Publish(good, "2024.6.3", 2, PublisherKeys().privateKey);
    const fs::path daily = data / "daily.txt";
    WriteText(daily, "corvane:daily");
    EXPECT_THAT(installation.Run({"--custom", daily.string()}).output,
                Not(HasSubstr("Object Path: " + daily.string() + ". ")));
    EXPECT_THAT(installation.Run({"--updatedefs"}).output,
                HasSubstr("Initializing engine completed\nApplying definitions done\n"));
    scan = installation.Run({"--custom", sample}).output;
    EXPECT_THAT(scan, HasSubstr("Object Path: " + sample + ". "));
    EXPECT_THAT(installation.Run({"--custom", daily.string()}).output,
                HasSubstr("Object Path: " + daily.string() + ". "));
    EXPECT_THAT(installation.Run({"--definitions-info"}).output, HasSubstr("2024.6.3"));
}

// A scan that starts while an update switches the definitions, with the live set moved aside and
// the new one not yet in its place, waits for the switch to end and starts on the new set.
TEST(DefinitionsUpdateWithTheEngine, ScanStartedDuringASwitchStartsOnTheNewSet)
{
    DefinitionsServer server;
    CorvaneTest::Installation installation{LOOPBACK_PROGRAM_PATH};
    InstallWithTheEngine(installation, HooksLibrary());
    server.Publish({{"switch.ndb", Signatures("switch")}}, "2024.6.4", 1,
                   PublisherKeys().privateKey);
    const fs::path data = installation.Folder().parent_path() / "Data";
    fs::create_directories(data);
    const fs::path sample = data / "switch.txt";
    WriteText(sample, "corvane:switch");

    LoadedService service(installation.Folder() / "UpdateServiceCom.dll");
    service.Configure(server.BaseUrl(), installation.Folder());
    // Folders are moved one after the other, and the install stops between the two moves.
    reinterpret_cast<void (*)(int, int)>(service.Symbol("UpdSdkTestHooks"))(0, 0);
    reinterpret_cast<void (*)(int, int)>(service.Symbol("UpdSdkTestPause"))(5, 4000);
    ASSERT_EQ(service.Service().Update(), UpdateServiceCom::Ok);
    int installed = -1;
    std::thread install([&] { installed = service.Service().Install(); });
    const fs::path plugins = installation.Folder() / "Plugins";
    for (int waited = 0; fs::exists(plugins) && waited < 600; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool midSwitch = !fs::exists(plugins);
    const std::string scan = installation.Run({"--custom", sample.string()}).output;
    install.join();
    ASSERT_TRUE(midSwitch);
    EXPECT_EQ(installed, UpdateServiceCom::Ok);
    EXPECT_THAT(scan, HasSubstr("Initializing engine completed\n"));
    EXPECT_THAT(scan, HasSubstr("Object Path: " + sample.string() + ". "));
}

// Real signatures through each source, end to end: libclamav's signed test database test-6
// (standing in for daily.cvd) makes the engine find clam.exe, and the starter set still finds
// EICAR, also inside a zip (extracted in the program folder's Temp). One installation is in a
// folder named in letters of several scripts (outside the ANSI code page on Windows), where the
// engine must read, extract and update through wide names.
TEST(DefinitionsUpdateWithTheEngine, OfficialDatabasesFromEachSourceReachTheEngine)
{
    DefinitionsServer server{LOOPBACK_PORT};
    const CorvaneTest::TemporaryFolder scratch;
    const fs::path local = scratch.Path() / "clamav";
    fs::create_directories(local);
    fs::create_directories(server.MirrorFolder());
    for (const fs::path& folder : {server.MirrorFolder(), local})
        WriteText(folder / "daily.cvd", TestDatabase(6));
    fs::permissions(local / "daily.cvd", fs::owner_read | fs::owner_write | fs::others_read);
    const fs::path starter = fs::path(PROGRAM_FOLDER) / "Plugins";
    const fs::path own = scratch.Path() / "own";
    fs::create_directories(own);
    for (const std::string name :
         {"corvane-starter.hdb", "corvane-starter.ldb", "corvane-starter.ndb"})
        fs::copy_file(starter / name, own / name);
    ASSERT_EQ(RunPublisher({"import", "--key", Platform::ToolPath(PublisherKeys().privateKey),
                            "--version", "2026.1", "--sequence", "1", "--with",
                            Platform::ToolPath(own), Platform::ToolPath(server.MirrorFolder()),
                            Platform::ToolPath(scratch.Path() / "release")}),
              0);
    fs::rename(scratch.Path() / "release", server.ReleaseFolder());

    const fs::path anyLetters =
        FileSystemHelper::PathFromWide(L"Corvane \u00e9t\u00e9 \u4e2d\u6587 \u0394");
    const struct
    {
        const char* source;
        std::string config;
        fs::path folderName;
        // The engine's number: the release's version where it starts with one (update.txt),
        // else the newest official database's.
        const char* databaseVersion;
    } sources[] = {{"private mirror", "definitions_server=" + server.MirrorUrl() + "\n",
                    "Corvane Scanner", "6"},
                   {"local folder", "definitions_server=file:" + local.string() + "\n",
                    "Corvane Scanner", "6"},
                   {"signed release", "", "Corvane Scanner", "2026"},
                   {"signed release, folder named in any letters", "", anyLetters, "2026"}};
    for (const auto& source : sources)
    {
        SCOPED_TRACE(source.source);
        CorvaneTest::Installation installation{LOOPBACK_PROGRAM_PATH, source.folderName};
        InstallWithTheEngine(installation);
        if (!source.config.empty())
            installation.WriteFile("config.ini", source.config);
        const fs::path data = installation.Folder().parent_path() / "Data";
        fs::create_directories(data);
        fs::copy_file(ClamavTestFile("clam.exe"), data / "clam.exe");
        fs::copy_file(fs::path(PROGRAM_FOLDER) / "Samples" / "eicar.com", data / "eicar.com");
        fs::copy_file(fs::path(PROGRAM_FOLDER) / "Samples" / "Archives" / "eicar.zip",
                      data / "eicar.zip");
        const auto scan = [&](const char* name)
        {
            const auto result = installation.Run(
                {"--custom", (data / name).string(), "--scan-archives", "--scan-result-stdout"});
            EXPECT_EQ(result.exitCode, 0);
            return result.output;
        };
        EXPECT_THAT(scan("clam.exe"), Not(HasSubstr("Object Path: ")));

        const auto update = installation.Run({"--updatedefs"});
        EXPECT_EQ(update.exitCode, 0);
        EXPECT_THAT(update.output, HasSubstr("Applying definitions done\n"));
        EXPECT_THAT(update.output, Not(HasSubstr("Couldn't")));
        EXPECT_THAT(scan("clam.exe"), HasSubstr("Clamav.Test.File-6"));
        EXPECT_THAT(scan("eicar.com"), HasSubstr("Object Path: " + (data / "eicar.com").string()));
        EXPECT_THAT(scan("eicar.zip"), HasSubstr("Object Path: " + (data / "eicar.zip").string()));
        EXPECT_THAT(
            installation.Run({"--definitions-info"}).output,
            AllOf(HasSubstr("\tDatabase version: " + std::string(source.databaseVersion) + "\n"),
                  HasSubstr("\tOfficial database: daily.cvd, version 6, built "
                            "2021-06-23T01:34:05Z\n")));
    }
}
} // namespace
