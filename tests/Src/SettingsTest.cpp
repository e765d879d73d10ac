#include "Settings.h"
#include "Folders.h"
#include "Installation.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using CorvaneCommandLineScanner::Settings;

class SettingsFile : public testing::Test
{
protected:
    Settings Read(const std::string& content)
    {
        const auto path = folder.Path() / "config.ini";
        std::ofstream(path.string()) << content;
        return Settings(path, L"/opt/corvane");
    }

    CorvaneTest::TemporaryFolder folder;
};

TEST_F(SettingsFile, ReadsBothKeysAtTheTopLevel)
{
    const Settings settings = Read("; installation\nread_only=true\nengines_folder=/srv/engines\n");
    EXPECT_TRUE(settings.readOnly);
    EXPECT_EQ(settings.enginesFolder, L"/srv/engines");
}

TEST_F(SettingsFile, ReadOnlyAloneKeepsTheProgramFolderForEngines)
{
    const Settings settings = Read("read_only=1\n");
    EXPECT_TRUE(settings.readOnly);
    EXPECT_EQ(settings.enginesFolder, L"/opt/corvane");
    EXPECT_FALSE(Read("read_only=false\n").readOnly);
    EXPECT_FALSE(Read("read_only=0\nengines_folder=/srv/e\n").readOnly);
}

TEST_F(SettingsFile, ReadingStopsAtTheFirstBadValue)
{
    // Without a usable read_only the engines folder is never read.
    for (const char* content :
         {"engines_folder=/srv/engines\n", "read_only=yes\nengines_folder=/srv/e\n",
          "[scanner]\nread_only=1\nengines_folder=/srv/e\n", "read_only=1\n[broken\n", "=\n"})
    {
        const Settings settings = Read(content);
        EXPECT_FALSE(settings.readOnly) << content;
        EXPECT_EQ(settings.enginesFolder, L"/opt/corvane") << content;
    }
}

// The definitions source is read on its own: it needs no read_only, and a bad read_only does
// not hide it.
TEST_F(SettingsFile, DefinitionsServerStandsAlone)
{
    EXPECT_EQ(Read("definitions_server=file:/var/lib/clamav\n").definitionsServer,
              "file:/var/lib/clamav");
    const Settings settings = Read("read_only=yes\ndefinitions_server=http://mirror:8000\n");
    EXPECT_EQ(settings.definitionsServer, "http://mirror:8000");
    EXPECT_FALSE(settings.readOnly);
    EXPECT_EQ(Read("[updates]\ndefinitions_server=http://mirror\n").definitionsServer, "");
}

// The engine service's socket has a default that the key changes or turns off, on its own.
TEST_F(SettingsFile, EngineServiceStandsAloneAndCanBeTurnedOff)
{
    const struct
    {
        const char* content;
        const char* service;
    } cases[] = {
        {"read_only=1\n", Settings::defaultEngineService},
        {"read_only=yes\nengine_service=/srv/engine.sock\n", "/srv/engine.sock"},
        {"engine_service=off\n", ""},
        {"engine_service=\n", ""},
        {"[engine]\nengine_service=/srv/engine.sock\n", Settings::defaultEngineService},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Read(c.content).engineService, c.service) << c.content;
    EXPECT_EQ(Settings(folder.Path() / "missing.ini", L"/opt/corvane").engineService,
              Settings::defaultEngineService);
}

TEST_F(SettingsFile, MissingFileGivesDefaults)
{
    const Settings settings(folder.Path() / "missing.ini", L"/opt/corvane");
    EXPECT_FALSE(settings.readOnly);
    EXPECT_EQ(settings.enginesFolder, L"/opt/corvane");
#ifndef _WIN32
    // A FIFO in its place is not waited for.
    ASSERT_EQ(::mkfifo((folder.Path() / "fifo.ini").c_str(), 0600), 0);
    EXPECT_FALSE(Settings(folder.Path() / "fifo.ini", L"/opt/corvane").readOnly);
#endif
}

TEST_F(SettingsFile, OnlyScopeMachineMarksAPerMachineInstallation)
{
    const struct
    {
        const char* content;
        bool perMachine;
    } cases[] = {
        {"scope=machine\n", true},
        {"; release package\r\nscope = machine\r\n", true},
        {"scope=user\n", false},
        {"scope=Machine\n", false},
        {"[install]\nscope=machine\n", false},
        {"scope=machine\n[broken\n", false},
        {"", false},
    };
    const auto path = folder.Path() / "installation.ini";
    for (const auto& c : cases)
    {
        std::ofstream(path.string(), std::ios::binary | std::ios::trunc) << c.content;
        EXPECT_EQ(InstallationLayout::ReadPerMachine(path), c.perMachine) << c.content;
    }
    EXPECT_FALSE(InstallationLayout::ReadPerMachine(folder.Path() / "missing.ini"));
}

// Where each installation keeps its state and finds its definitions. The definitions folder is
// also what the engine service of a marked installation finds from the program folder alone.
TEST(InstallationFolders, APerMachineInstallationWritesOnlyWhereUsersMay)
{
    namespace fs = boost::filesystem;
    using CorvaneCommandLineScanner::ChooseFolders;
    const CorvaneTest::TemporaryFolder folder;
    const fs::path program = folder.Path() / "program";
    // The all-users data folder exists, as it does on every installed system.
    fs::create_directories(folder.Path() / "ProgramData");
    const CorvaneTest::ProgramDataRedirection redirection(folder.Path() / "ProgramData");
    const fs::path machine = folder.Path() / "ProgramData" / "Corvane" / "Corvane antivirus";
    ASSERT_EQ(InstallationLayout::MachineFolder(), machine);
    fs::create_directories(program);
    const fs::path user = folder.Path() / "user";
    const struct
    {
        bool perMachine;
        fs::path machine, user;
        bool machineDefinitions;
        fs::path state, definitions, updateTarget, quarantine;
    } cases[] = {
        {false, machine, user, true, program, program, program, program / "Quarantine"},
        {true, machine, user, false, user, program, machine, machine / "Quarantine"},
        {true, machine, user, true, user, machine, machine, machine / "Quarantine"},
        // Without a folder of the user's the state stays beside the executable; without the
        // machine's, everything does.
        {true, machine, {}, true, program, machine, machine, machine / "Quarantine"},
        {true, {}, user, false, program, program, program, program / "Quarantine"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.perMachine ? "per machine" : "portable");
        fs::remove_all(machine / "Plugins");
        if (c.machineDefinitions)
            fs::create_directories(machine / "Plugins");
        const auto folders = ChooseFolders(program, c.perMachine, c.machine, c.user);
        EXPECT_EQ(folders.perMachine, c.perMachine && !c.machine.empty());
        EXPECT_EQ(folders.state, c.state);
        EXPECT_EQ(folders.definitions, c.definitions);
        EXPECT_EQ(folders.updateTarget, c.updateTarget);
        EXPECT_EQ(folders.quarantine, c.quarantine);
        if (c.machine.empty())
            continue;
        std::ofstream(program.string() + "/installation.ini", std::ios::trunc)
            << (c.perMachine ? "scope=machine\n" : "scope=user\n");
        EXPECT_EQ(InstallationLayout::DefinitionsFolder(program), c.definitions);
    }
}

TEST(ReadOnlyInstallation, WritesNothingBesideTheExecutable)
{
    CorvaneTest::Installation installation;
    installation.WriteFile("config.ini", "read_only=1\n");
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--help"}, {"--product-info"}, {}})
        installation.Run(arguments);
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(installation.Folder()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{CorvaneTest::ProgramFileName(), "config.ini"}));
}
