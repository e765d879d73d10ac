#include "EngineHarness.h"
#include "UpdateServiceHarness.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace EngineTest;

namespace
{
int InitializeAt(const fs::path& folder)
{
    const std::wstring base = Wide(folder);
    return Engine().Initialize(base.c_str(), L"");
}
} // namespace

TEST(EngineLifecycle, CallsBeforeInitializationAskForIt)
{
    CThreatScannerStruct* instance = nullptr;
    EXPECT_EQ(Engine().CreateInstance(&instance), ThreatScanner::InitRequired);
    EXPECT_EQ(instance, nullptr);
    EXPECT_EQ(Engine().Uninitialize(), ThreatScanner::InitRequired);
}

TEST(EngineLifecycle, UnknownInstancesAreRefused)
{
    EngineInstallation installation;
    std::uint32_t version = 0;
    std::uint32_t time = 0;
    EXPECT_EQ(Engine().ScanPath(nullptr, 0, L"/", 1), ThreatScanner::InvalidHandle);
    EXPECT_EQ(Engine().SetIntOption(nullptr, 26, 1), ThreatScanner::InvalidHandle);
    EXPECT_EQ(Engine().GetDatabaseInformation(nullptr, &version, &time),
              ThreatScanner::InvalidHandle);
    EXPECT_EQ(Engine().DestroyInstance(nullptr), ThreatScanner::InvalidHandle);
    auto* stranger = reinterpret_cast<CThreatScannerStruct*>(&version);
    EXPECT_EQ(Engine().DestroyInstance(stranger), ThreatScanner::InvalidHandle);
}

TEST(EngineLifecycle, MissingOrBrokenDefinitionsStopTheStart)
{
    CorvaneTest::TemporaryFolder folder;
    EXPECT_EQ(InitializeAt(folder.Path()), ThreatScanner::NoPlugins);

    fs::create_directories(folder.Path() / "Plugins");
    WriteFile(folder.Path() / "Plugins" / "update.txt", "Version: 4\n");
    EXPECT_EQ(InitializeAt(folder.Path()), ThreatScanner::NoPlugins);

    WriteFile(folder.Path() / "Plugins" / "broken.ndb", "Name:0:*:zz-not-hex\n");
    EXPECT_EQ(InitializeAt(folder.Path()), ThreatScanner::LoadingEngine);

    // None of these left an engine behind.
    CThreatScannerStruct* instance = nullptr;
    EXPECT_EQ(Engine().CreateInstance(&instance), ThreatScanner::InitRequired);
}

TEST(EngineLifecycle, DatabaseInformationComesFromTheDefinitions)
{
    EngineInstallation installation;
    Recorder recorder;
    CThreatScannerStruct* instance = installation.Instance(recorder);
    std::uint32_t version = 0;
    std::uint32_t time = 0;
    ASSERT_EQ(Engine().GetDatabaseInformation(instance, &version, &time), 0);
    EXPECT_EQ(version, 1u);
    EXPECT_EQ(time, 1796688000u); // 2026-12-08T00:00:00Z
    EXPECT_EQ(Engine().GetDatabaseInformation(instance, nullptr, &time),
              ThreatScanner::InvalidArgument);
}

TEST(EngineLifecycle, DefinitionsWithoutADescriptionHaveNoDatabaseInformation)
{
    CorvaneTest::TemporaryFolder folder;
    fs::create_directories(folder.Path() / "Plugins");
    fs::copy_file(fs::path(STARTER_DEFINITIONS_FOLDER) / "corvane-starter.ndb",
                  folder.Path() / "Plugins" / "corvane-starter.ndb");
    WriteFile(folder.Path() / "Plugins" / "update.txt", "Version: beta\n");
    ASSERT_EQ(InitializeAt(folder.Path()), 0);
    CThreatScannerStruct* instance = nullptr;
    ASSERT_EQ(Engine().CreateInstance(&instance), 0);
    std::uint32_t version = 7;
    std::uint32_t time = 7;
    EXPECT_EQ(Engine().GetDatabaseInformation(instance, &version, &time),
              ThreatScanner::DbinfoUnavailable);
    EXPECT_EQ(version, 7u);
    EXPECT_EQ(Engine().DestroyInstance(instance), 0);
    EXPECT_EQ(Engine().Uninitialize(), 0);
}

TEST(EngineLifecycle, ReadOnlyStartWritesNothingBesideTheProgram)
{
    EngineInstallation installation(true);
    WriteFile(installation.Data() / "clean.txt", "clean");
    WriteFile(installation.Data() / "packed.zip", Zip({{"eicar.com", TestVirus()}}));
    WriteFile(installation.Data() / "eicar.com", TestVirus());
    Recorder recorder;
    recorder.action = ThreatScanner::ActionQuarMove;
    // There is no quarantine: the file stays, the failure follows its detection and is the scan
    // call's result.
    EXPECT_EQ(installation.Scan(installation.Data(), recorder), ThreatScanner::FileMove);
    ASSERT_EQ(recorder.reports.size(), 3u);
    EXPECT_EQ(recorder.reports[0].scanStatus, ThreatScanner::StatusInfected);
    EXPECT_EQ(recorder.reports[1].scanStatus, ThreatScanner::StatusScanFailed);
    EXPECT_EQ(recorder.reports[1].scanStatusFlags, ThreatScanner::FileMove);
    EXPECT_EQ(recorder.reports[1].objectPath, recorder.reports[0].objectPath);
    EXPECT_EQ(recorder.reports[2].scanStatus, ThreatScanner::StatusInfected);
    EXPECT_TRUE(fs::exists(installation.Data() / "eicar.com"));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(installation.Folder()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Data", "Plugins"}));
    EXPECT_FALSE(fs::exists(installation.Folder() / "Plugins" / "cache.000"));
}

namespace
{
std::function<void(const char*)> walkListed;

// The names that a scan found infected, sorted.
std::vector<std::string> Detected(const Recorder& recorder)
{
    std::vector<std::string> names;
    for (const Report& report : recorder.reports)
        if (report.scanStatus == ThreatScanner::StatusInfected)
            names.push_back(fs::path(report.objectPath).filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
} // namespace

// The engine and the update library on one installation: an update installs while a scan is
// running, the scan goes on with the definitions it started with, and the next start uses the
// new set, whatever the engine kept of its clean results; and an update downloaded before the
// engine started installs under the running engine.
TEST(EngineLifecycle, UpdatesInstallUnderARunningEngineAndTheNextStartUsesThem)
{
    using UpdateLibraryTesting::LoadedService;
    using UpdateLibraryTesting::PublisherKeys;
    using UpdateLibraryTesting::Signatures;
    EngineInstallation installation;
    fs::copy_file(UpdateLibraryTesting::ShippedLibrary(),
                  installation.Folder() / "UpdateServiceCom.dll");
    fs::copy_file(PublisherKeys().publicKey, installation.Folder() / "UpdateServiceCom.pub");
    WriteFile(installation.Data() / "eicar.com", TestVirus());
    WriteFile(installation.Data() / "later.txt", "corvane:later threat");
    WriteFile(installation.Data() / "again.txt", "corvane:again threat");
    const auto scan = [&]
    {
        Recorder recorder;
        EXPECT_EQ(installation.Scan(installation.Data(), recorder), 0);
        return Detected(recorder);
    };
    const std::vector<std::string> old = {"eicar.com"};
    ASSERT_EQ(scan(), old);

    UpdateLibraryTesting::DefinitionsServer server;
    UpdateLibraryTesting::Files release;
    for (const char* name : {"corvane-starter.ndb", "corvane-starter.hdb", "corvane-starter.ldb"})
        release[name] = ReadFile(installation.Folder() / "Plugins" / name);
    release["later.ndb"] = Signatures("later threat");
    server.Publish(release, "2", 1, PublisherKeys().privateKey);
    const auto service = [&]
    {
        auto loaded =
            std::make_unique<LoadedService>(installation.Folder() / "UpdateServiceCom.dll");
        loaded->Configure(server.BaseUrl(), installation.Folder());
        return loaded;
    };

    walkListed = [&](const char*)
    {
        walkListed = nullptr;
        auto update = service();
        EXPECT_EQ(update->Service().Update(), 0);
        EXPECT_EQ(update->Service().Install(), 0);
    };
    Engine().SetWalkListedHook([](const char* listed) { walkListed(listed); });
    const auto during = scan();
    Engine().SetWalkListedHook(nullptr);
    EXPECT_EQ(during, old);
    EXPECT_EQ(ReadFile(installation.Folder() / "Plugins" / "update.txt"), "Version: 2\n");
    installation.Restart();
    EXPECT_EQ(scan(), (std::vector<std::string>{"eicar.com", "later.txt"}));

    release["again.ndb"] = Signatures("again threat");
    server.Publish(release, "3", 2, PublisherKeys().privateKey);
    auto update = service();
    ASSERT_EQ(update->Service().Update(), 0);
    installation.Restart();
    ASSERT_EQ(update->Service().Install(), 0);
    EXPECT_EQ(scan(), (std::vector<std::string>{"eicar.com", "later.txt"}));
    installation.Restart();
    EXPECT_EQ(scan(), (std::vector<std::string>{"again.txt", "eicar.com", "later.txt"}));
}
