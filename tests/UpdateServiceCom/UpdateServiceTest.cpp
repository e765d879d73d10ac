#include "FileSystemHelper/HeldFile.h"
#include "Installation.h"
#include "UpdateServiceCom/UpdateServiceCom.h"
#include "UpdateServiceHarness.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace UpdateLibraryTesting;
using namespace UpdateServiceCom;

namespace
{
const Files Starter = {{"starter.ndb", Signatures("starter definitions")}};
const std::vector<std::string> CleanFolder = {"Plugins", "Plugins.lock", "UpdateServiceCom.dll",
                                              "UpdateServiceCom.pub"};
const std::vector<std::string> UntouchedFolder = {"Plugins", "UpdateServiceCom.dll",
                                                  "UpdateServiceCom.pub"};

class UpdateLibraryTest : public ::testing::Test
{
protected:
    std::unique_ptr<LoadedService> NewService()
    {
        auto service = std::make_unique<LoadedService>(installation.Library());
        service->Configure(server.BaseUrl(), installation.Folder());
        return service;
    }

    void Publish(const Files& files, const std::string& version, std::uint64_t sequence)
    {
        server.Publish(files, version, sequence, PublisherKeys().privateKey);
    }

    // A whole update, as the program runs it.
    void UpdateAndInstall()
    {
        auto service = NewService();
        ASSERT_EQ(service->Service().Update(), Ok);
        ASSERT_EQ(service->Service().Install(), Ok);
    }

    // Update refuses what the server offers with this code, retries declined, and the
    // installation keeps its definitions.
    void ExpectRefused(Result code, const Files& installed = Starter,
                       const std::string& version = "starter")
    {
        auto service = NewService();
        EXPECT_EQ(service->Service().Update(), code);
        EXPECT_EQ(service->Service().Install(), NothingToInstall);
        EXPECT_EQ(installation.Definitions(), installed);
        EXPECT_EQ(installation.Version(), version);
        EXPECT_EQ(installation.Entries(), CleanFolder);
        lastService = std::move(service);
    }

    std::size_t RequestsFor(const std::string& name) const
    {
        const auto requests = server.Requests();
        return static_cast<std::size_t>(std::count(requests.begin(), requests.end(), name));
    }

    DefinitionsServer server;
    TestInstallation installation{PublisherKeys().publicKey};
    std::unique_ptr<LoadedService> lastService;
    const Files release1 = {{"alpha.ndb", Signatures("alpha 1")},
                            {"beta.ndb", Signatures("beta", 20000)}};
};

TEST_F(UpdateLibraryTest, FirstUpdateDownloadsTheReleaseAndInstallsItInPlaceOfTheOld)
{
    Publish(release1, "2024.1", 1);
    auto service = NewService();
#ifndef _WIN32
    // Under a umask that takes nothing away, what the update creates is still writable by its
    // owner only.
    struct NoUmask
    {
        const mode_t previous = ::umask(0);
        ~NoUmask() { ::umask(previous); }
    } noUmask;
#endif
    ASSERT_EQ(service->Service().Update(), Ok);

    const auto& events = service->events;
    ASSERT_GE(events.size(), 7u);
    EXPECT_EQ(events.front().code, UpdSdk::EventCheckingForUpdate);
    EXPECT_EQ(events[1].code, UpdSdk::EventTotalBytes);
    EXPECT_EQ(events[1].value, Bytes(release1));
    std::vector<std::string> names;
    std::uint64_t lastDone = 0;
    for (const Event& event : events)
    {
        if (event.code == UpdSdk::EventFileName)
            names.push_back(event.text);
        if (event.code == UpdSdk::EventBytesDone)
        {
            EXPECT_GE(event.value, lastDone);
            lastDone = event.value;
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"alpha.ndb", "beta.ndb"}));
    EXPECT_EQ(lastDone, Bytes(release1));
    EXPECT_EQ(events[events.size() - 2].code, UpdSdk::EventDownloadDone);
    EXPECT_EQ(events.back().code, UpdSdk::EventInstallPending);
    EXPECT_NE(events.back().value, 0u);
    // Until Install the engine keeps reading the old set.
    EXPECT_EQ(installation.Definitions(), Starter);

    ASSERT_EQ(service->Service().Install(), Ok);
    EXPECT_EQ(installation.Definitions(), release1);
    EXPECT_EQ(installation.Version(), "2024.1");
    EXPECT_EQ(installation.Entries(), CleanFolder);
#ifndef _WIN32
    for (boost::filesystem::recursive_directory_iterator it(installation.Folder()), end; it != end;
         ++it)
    {
        struct stat status
        {
        };
        ASSERT_EQ(::lstat(it->path().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 022, 0u) << it->path();
    }
#endif
}

TEST_F(UpdateLibraryTest, SecondRunFindsTheDefinitionsUpToDate)
{
    Publish(release1, "2024.1", 1);
    UpdateAndInstall();

    auto service = NewService();
    EXPECT_EQ(service->Service().Update(), Ok);
    EXPECT_EQ(service->Codes(),
              (std::vector<int>{UpdSdk::EventCheckingForUpdate, UpdSdk::EventUpToDate}));
    EXPECT_EQ(service->Service().Install(), NothingToInstall);
    EXPECT_EQ(RequestsFor("alpha.ndb"), 1u);
    EXPECT_EQ(installation.Definitions(), release1);
}

TEST_F(UpdateLibraryTest, NewReleaseReplacesTheOldOneDownloadingOnlyWhatChanged)
{
    Publish({{"a.ndb", Signatures("a")}, {"b.ndb", Signatures("b 1")}, {"c.ndb", Signatures("c")}},
            "1", 1);
    UpdateAndInstall();
    const Files release2 = {
        {"a.ndb", Signatures("a")}, {"b.ndb", Signatures("b 2!")}, {"d.ndb", Signatures("d")}};
    Publish(release2, "2", 2);

    auto service = NewService();
    ASSERT_EQ(service->Service().Update(), Ok);
    EXPECT_EQ(service->events[1].value, Bytes(release2) - release2.at("a.ndb").size());
    ASSERT_EQ(service->Service().Install(), Ok);
    EXPECT_EQ(installation.Definitions(), release2);
    EXPECT_EQ(installation.Version(), "2");
    EXPECT_EQ(RequestsFor("a.ndb"), 1u);
    EXPECT_EQ(RequestsFor("b.ndb"), 2u);
}

// A scan that holds a definitions file open while an update installs: on Windows the file can be
// neither moved nor removed while it is held, nor (on Windows proper) the folder it is in. The
// update goes in whole or not at all, the scan goes on reading what it opened, and once the file
// is let go the next update finishes the job and leaves nothing behind.
TEST_F(UpdateLibraryTest, DefinitionsFileHeldOpenDuringAnInstallLeavesAWholeSet)
{
    Publish(release1, "2024.1", 1);
    UpdateAndInstall();
    const Files release2 = {{"alpha.ndb", Signatures("alpha 2")},
                            {"beta.ndb", release1.at("beta.ndb")}};
    Publish(release2, "2024.2", 2);
    {
        const Platform::HeldFile held(installation.Plugins() / "alpha.ndb");
        auto service = NewService();
        ASSERT_EQ(service->Service().Update(), Ok);
        // Only Windows proper keeps the folder of a held file where it is; Wine lets it be
        // moved, and POSIX systems let the file itself be replaced.
#ifdef _WIN32
        const int expected = CorvaneTest::RunningOnWine() ? Ok : LocalFileError;
#else
        const int expected = Ok;
#endif
        EXPECT_EQ(service->Service().Install(), expected);
        EXPECT_EQ(installation.Definitions(), expected == Ok ? release2 : release1);
        EXPECT_EQ(held.Read(), release1.at("alpha.ndb"));
    }
    auto service = NewService();
    ASSERT_EQ(service->Service().Update(), Ok);
    if (service->Codes().back() == UpdSdk::EventInstallPending)
    {
        EXPECT_EQ(service->Service().Install(), Ok);
    }
    EXPECT_EQ(installation.Definitions(), release2);
    EXPECT_EQ(installation.Version(), "2024.2");
    EXPECT_EQ(installation.Entries(), CleanFolder);
}

// A scan that is loading the definitions holds the switch lock shared. An install waits for it as
// long as its pause for readers, then fails without a change and leaves nothing behind; once the
// scan is done the next install goes in. An update process of its own takes no part in this.
TEST(UpdateLibrarySwitchTest, ScanLoadingTheDefinitionsHoldsTheSwitchBackUntilItsWaitEnds)
{
    DefinitionsServer server;
    const TestInstallation installation{PublisherKeys().publicKey, true};
    const Files release = {{"alpha.ndb", Signatures("alpha")}};
    server.Publish(release, "2024.1", 1, PublisherKeys().privateKey);
    const TestPauses shortPauses{0, 0, 300};
    {
        // As an earlier update leaves it.
        WriteText(installation.Folder() / "Plugins.switch.lock", "");
        FileSystemHelper::HeldFile scan;
        ASSERT_EQ(scan.Lock(installation.Folder() / "Plugins.switch.lock",
                            FileSystemHelper::LockMode::Shared),
                  FileSystemHelper::LockResult::Locked);
        LoadedService service(installation.Library(), shortPauses);
        service.Configure(server.BaseUrl(), installation.Folder());
        ASSERT_EQ(service.Service().Update(), Ok);
        EXPECT_EQ(service.Service().Install(), LocalFileError);
        EXPECT_EQ(installation.Definitions(), Starter);
        EXPECT_EQ(installation.Version(), "starter");
        EXPECT_EQ(installation.Entries(), CleanFolder);
    }
    LoadedService service(installation.Library(), shortPauses);
    service.Configure(server.BaseUrl(), installation.Folder());
    ASSERT_EQ(service.Service().Update(), Ok);
    EXPECT_EQ(service.Service().Install(), Ok);
    EXPECT_EQ(installation.Definitions(), release);
    EXPECT_EQ(installation.Entries(), CleanFolder);
}

TEST_F(UpdateLibraryTest, ReleaseThatOnlyDropsFilesStillNeedsAnInstall)
{
    Publish({{"a.ndb", Signatures("a")}, {"b.ndb", Signatures("b")}}, "1", 1);
    UpdateAndInstall();
    Publish({{"a.ndb", Signatures("a")}}, "2", 2);

    auto service = NewService();
    ASSERT_EQ(service->Service().Update(), Ok);
    EXPECT_EQ(service->events.back().code, UpdSdk::EventInstallPending);
    EXPECT_NE(service->events.back().value, 0u);
    ASSERT_EQ(service->Service().Install(), Ok);
    EXPECT_EQ(installation.Definitions(), (Files{{"a.ndb", Signatures("a")}}));
}

TEST_F(UpdateLibraryTest, DamagedInstalledFileIsDownloadedAgain)
{
    Publish(release1, "2024.1", 1);
    UpdateAndInstall();
    WriteText(installation.Plugins() / "alpha.ndb", "alpha X");
    UpdateAndInstall();
    EXPECT_EQ(installation.Definitions(), release1);
}

TEST_F(UpdateLibraryTest, CorruptedFileIsRetriedOnRequestAndRefusedWhenRetriesEnd)
{
    Publish(release1, "2024.1", 1);
    server.SetFaults(R"({"@alpha.ndb": {"always": {"corrupt": true}}})");
    auto service = NewService();
    service->retriesAllowed = 2;
    EXPECT_EQ(service->Service().Update(), DigestMismatch);
    EXPECT_EQ(service->Queries(), (std::vector<int>{82, 82, 82}));
    EXPECT_EQ(RequestsFor("alpha.ndb"), 3u);
    ExpectRefused(DigestMismatch);
}

TEST_F(UpdateLibraryTest, PassingFailuresAreRetriedWhenTheProgramSaysSo)
{
    Publish(release1, "2024.1", 1);
    server.SetFaults(R"({"@index.json": {"first": [{"status": 503}]},
                         "@alpha.ndb": {"first": [{"corrupt": true}, {"truncate": 2}]}})");
    auto service = NewService();
    service->retriesAllowed = 3;
    ASSERT_EQ(service->Service().Update(), Ok);
    EXPECT_EQ(service->Queries(), (std::vector<int>{81, 82, 80}));
    ASSERT_EQ(service->Service().Install(), Ok);
    EXPECT_EQ(installation.Definitions(), release1);
}

TEST_F(UpdateLibraryTest, TransferFailuresAreRefusedWithTheirOwnCodes)
{
    Publish(release1, "2024.1", 1);
    const struct
    {
        const char* faults;
        Result code;
        std::vector<int> queries;
    } cases[] = {
        {R"({"@index.json": {"always": {"status": 503}}})", ServerError, {81}},
        {R"({"@beta.ndb": {"always": {"status": 404}}})", ServerError, {}},
        {R"({"@index.json": {"always": {"status": 407}}})", ProxyAuthentication, {}},
        {R"({"@beta.ndb": {"always": {"truncate": 100}}})", Truncated, {80}},
        {R"({"@beta.ndb": {"always": {"short": 4999}}})", Truncated, {80}},
        {R"({"@beta.ndb": {"always": {"extra": 1}}})", Oversized, {}},
        {R"({"@index.json": {"always": {"extra": 5000000}}})", Oversized, {}},
        {R"({"@beta.ndb": {"always": {"stall": true}}})", Stalled, {80}},
        // Four times the stall check's rate, and still too slow for the file's deadline (4.6 s
        // for the 10 s it would take): only the deadline ends it.
        {R"({"@beta.ndb": {"always": {"trickle": 200}}})", Stalled, {80}},
        {R"({"@beta.ndb": {"always": {"header": 2000000}}})", ServerError, {81}},
        {R"({"@beta.ndb": {"always": {"header": 1000, "lines": 100}}})", ServerError, {81}},
    };
    for (const auto& test : cases)
    {
        // Wine keeps the start of an overlong header line and drops the rest (Windows refuses
        // it), so under Wine only many lines can be too long.
        if (CorvaneTest::RunningOnWine() &&
            std::string(test.faults).find("2000000") != std::string::npos)
            continue;
        SCOPED_TRACE(test.faults);
        server.SetFaults(test.faults);
        ExpectRefused(test.code);
        EXPECT_EQ(lastService->Queries(), test.queries);
    }
}

// A signed release the engine cannot start on never replaces the definitions it has.
TEST_F(UpdateLibraryTest, SignedReleaseTheEngineRejectsIsNotInstalled)
{
    const Files rejected[] = {
        {{"alpha.ndb", Signatures("alpha 1")}, {"broken.ndb", "not a signature\n"}},
        {{"readme.txt", "no signatures at all"}},
    };
    std::uint64_t sequence = 1;
    for (const Files& release : rejected)
    {
        server.PublishUnchecked(release, "2024.1", sequence++, PublisherKeys().privateKey);
        auto service = NewService();
        ASSERT_EQ(service->Service().Update(), Ok);
        EXPECT_EQ(service->Service().Install(), DefinitionsRejected);
        EXPECT_EQ(installation.Definitions(), Starter);
        EXPECT_EQ(installation.Version(), "starter");
        EXPECT_EQ(installation.Entries(), CleanFolder);
    }
}

TEST_F(UpdateLibraryTest, ServerThatIsNotThereIsAConnectionFailure)
{
    server.Stop();
    ExpectRefused(ConnectionFailed);
    EXPECT_EQ(lastService->Queries(), (std::vector<int>{80}));
}

TEST_F(UpdateLibraryTest, IndexWithoutAValidSignatureIsRefusedBeforeAnyDownload)
{
    const auto index = server.ReleaseFolder() / "index.json";
    Publish(release1, "2024.1", 1);
    boost::filesystem::remove(index.string() + ".sig");
    ExpectRefused(IndexUnsigned);

    WriteText(index.string() + ".sig", "short");
    ExpectRefused(IndexUnsigned);

    server.Publish(release1, "2024.1", 1, StrangerKeys().privateKey);
    ExpectRefused(IndexBadSignature);

    Publish(release1, "2024.1", 1);
    WriteText(index, CorvaneTest::ReadFile(index) + " ");
    ExpectRefused(IndexBadSignature);

    EXPECT_EQ(RequestsFor("alpha.ndb") + RequestsFor("beta.ndb"), 0u);
}

TEST_F(UpdateLibraryTest, WithoutThePublisherKeyNothingIsDownloaded)
{
    Publish(release1, "2024.1", 1);
    const fs::path key = installation.Folder() / "UpdateServiceCom.pub";
    for (const bool garbage : {false, true})
    {
        if (garbage)
            WriteText(key, "-----BEGIN PUBLIC KEY-----\nbm90IGEga2V5\n-----END PUBLIC KEY-----\n");
        else
            boost::filesystem::remove(key);
        auto service = NewService();
        EXPECT_EQ(service->Service().Update(), PublicKeyMissing);
        EXPECT_TRUE(server.Requests().empty());
        EXPECT_EQ(installation.Definitions(), Starter);
    }
}

TEST_F(UpdateLibraryTest, SignedIndexThatIsMalformedOrUnsafeIsRefused)
{
    const auto index = server.ReleaseFolder() / "index.json";
    const std::string digest(64, '0');
    const struct
    {
        std::string text;
        Result code;
    } cases[] = {
        {"{not json", IndexMalformed},
        {R"({"format": 1, "version": "1", "sequence": 1})", IndexMalformed},
        {R"({"format": 1, "version": "1", "sequence": 1, "files": [{"name": "../evil.ndb",
            "size": 1, "sha256": ")" +
             digest + R"("}]})",
         IndexUnsafePath},
        {R"({"format": 1, "version": "1", "sequence": 1, "files": [{"name": ")" +
             installation.Folder().generic_string() + R"(/evil.ndb", "size": 1, "sha256": ")" +
             digest + R"("}]})",
         IndexUnsafePath},
        {R"({"format": 1, "version": "1", "sequence": 1, "files": [{"name": "sub/evil.ndb",
            "size": 1, "sha256": ")" +
             digest + R"("}]})",
         IndexUnsafePath},
    };
    for (const auto& test : cases)
    {
        SCOPED_TRACE(test.text);
        WriteText(index, test.text);
        Sign(index, PublisherKeys().privateKey);
        ExpectRefused(test.code);
    }
    EXPECT_FALSE(boost::filesystem::exists(installation.Folder() / "evil.ndb"));
}

TEST_F(UpdateLibraryTest, OlderReleaseThanTheInstalledOneIsRefused)
{
    Publish(release1, "2024.1", 10);
    UpdateAndInstall();
    Publish({{"old.ndb", Signatures("old")}}, "2023.9", 9);
    ExpectRefused(IndexRollback, release1, "2024.1");
}

TEST_F(UpdateLibraryTest, SecondServiceOnTheSameInstallationWaitsItsTurn)
{
    Publish(release1, "2024.1", 1);
    auto first = NewService();
    auto second = NewService();
    ASSERT_EQ(first->Service().Update(), Ok);
    EXPECT_EQ(second->Service().Update(), Busy);
    EXPECT_EQ(second->Service().Install(), Busy);
    ASSERT_EQ(first->Service().Install(), Ok);
    EXPECT_EQ(second->Service().Update(), Ok);
    EXPECT_EQ(second->Codes().back(), UpdSdk::EventUpToDate);
}

TEST_F(UpdateLibraryTest, OptionsWithoutUsableValuesAreRefused)
{
    LoadedService service(installation.Library());
    auto& object = service.Service();
    EXPECT_EQ(object.Update(), NotConfigured);
    EXPECT_EQ(object.Install(), NotConfigured);
    std::uint32_t zero = 0;
    EXPECT_NE(object.SetOption(UpdSdk::OptionServer, nullptr), 0);
    EXPECT_NE(object.SetOption(UpdSdk::OptionServer, const_cast<char*>("ftp://host/av64bit")), 0);
    EXPECT_NE(object.SetOption(UpdSdk::OptionLocalPath, nullptr), 0);
    EXPECT_NE(object.SetOption(UpdSdk::OptionLocalPath, const_cast<wchar_t*>(L"")), 0);
    EXPECT_NE(object.SetOption(UpdSdk::OptionUseVersionId, nullptr), 0);
    EXPECT_NE(object.SetOption(UpdSdk::OptionUsePatches, nullptr), 0);
    EXPECT_NE(object.SetOption(OptionStallTimeout, &zero), 0);
    EXPECT_NE(object.SetOption(601, &zero), 0);
    EXPECT_EQ(installation.Entries(), UntouchedFolder);

    // Only objects that the library made are destroyed.
    EXPECT_NE(service.Exports().Destroy(reinterpret_cast<UpdateServiceInterface*>(&zero)), 0);
}

// Official signature databases from a private mirror (on the loopback server) and from a local
// folder: libclamav's publisher-signed test databases stand in for them.
class OfficialDatabasesTest : public UpdateLibraryTest
{
protected:
    OfficialDatabasesTest()
    {
        fs::create_directories(server.MirrorFolder());
        fs::permissions(local.Path(), fs::owner_all);
    }

    Result Update(const std::string& url)
    {
        LoadedService service(installation.Library());
        service.Configure(url, installation.Folder());
        const int updated = service.Service().Update();
        if (updated != Ok)
            return static_cast<Result>(updated);
        events = service.events;
        if (events.back().code != UpdSdk::EventInstallPending)
            return Ok;
        return static_cast<Result>(service.Service().Install());
    }

    std::string FolderUrl() const { return "file:" + local.Path().string(); }

    void Offer(const fs::path& folder, const std::string& name, const std::string& content)
    {
        WriteText(folder / name, content);
        fs::permissions(folder / name,
                        fs::owner_read | fs::owner_write | fs::group_read | fs::others_read);
    }

    // Every file of Plugins with its content, update.txt and index.json included.
    Files Plugins() const
    {
        Files files;
        for (const auto& entry : fs::directory_iterator(installation.Plugins()))
            files[entry.path().filename().string()] = CorvaneTest::ReadFile(entry.path());
        return files;
    }

    CorvaneTest::TemporaryFolder local;
    std::vector<Event> events;
};

TEST_F(OfficialDatabasesTest, MirrorAndLocalFolderInstallVerifiedDatabasesBesideTheOwnFiles)
{
    Offer(server.MirrorFolder(), "daily.cvd", TestDatabase(5));
    ASSERT_EQ(Update(server.MirrorUrl()), Ok);
    Files expected = Starter;
    expected["daily.cvd"] = TestDatabase(5);
    EXPECT_EQ(installation.Definitions(), expected);
    EXPECT_EQ(installation.Version(), "daily 5");
    EXPECT_NE(CorvaneTest::ReadFile(installation.Plugins() / "update.txt")
                  .find("\nOfficial database: daily.cvd version 5 built 2021-06-23T01:31:42Z\n"),
              std::string::npos);
    EXPECT_EQ(installation.Entries(), CleanFolder);

    // The same version again is up to date.
    ASSERT_EQ(Update(server.MirrorUrl()), Ok);
    EXPECT_EQ(events.back().code, UpdSdk::EventUpToDate);
    EXPECT_EQ(installation.Definitions(), expected);

    // The distribution's folder: its patched daily.cld is newer, and the unknown files beside
    // it are left alone.
    std::string patched = TestDatabase(6);
    Offer(local.Path(), "daily.cld", patched);
    Offer(local.Path(), "freshclam.dat", "state of another program");
    Offer(local.Path(), "Daily.cvd", TestDatabase(1));
    ASSERT_EQ(Update(FolderUrl()), Ok);
    expected.erase("daily.cvd");
    expected["daily.cld"] = patched;
    EXPECT_EQ(installation.Definitions(), expected);
    EXPECT_EQ(installation.Version(), "daily 6");
    EXPECT_EQ(installation.Entries(), CleanFolder);
}

// Each refusal has its own code and leaves the installed set exactly as it was.
TEST_F(OfficialDatabasesTest, DatabasesThatAreNotGenuineCurrentAndSafeAreRefused)
{
    Offer(server.MirrorFolder(), "daily.cvd", TestDatabase(5));
    ASSERT_EQ(Update(server.MirrorUrl()), Ok);
    const std::string good = TestDatabase(6);
    const auto edited = [&](std::size_t at, char byte)
    {
        std::string copy = good;
        copy[at] = byte;
        return copy;
    };
    // A .cld's header carries no signature.
    std::string unsigned_ = good;
    unsigned_.replace(good.find(':', good.find(":81:") + 4) + 1, 4, "XXXX");
    std::string newerHeader = good;
    newerHeader.replace(good.find(":6:14:"), 6, ":7:14:");
    struct Row
    {
        const char* what;
        std::function<void()> arrange;
        bool mirror;
        Result code;
    };
    const std::vector<Row> rows = {
        {"body byte changed",
         [&]
         {
             Offer(server.MirrorFolder(), "daily.cvd",
                   edited(good.size() - 100, good[good.size() - 100] ^ 1));
         },
         true, DatabaseRefused},
        {"header version edited", [&] { Offer(server.MirrorFolder(), "daily.cvd", newerHeader); },
         true, DatabaseRefused},
        {"truncated",
         [&] { Offer(server.MirrorFolder(), "daily.cvd", good.substr(0, good.size() / 2)); }, true,
         DatabaseRefused},
        {"not a database", [&] { Offer(server.MirrorFolder(), "daily.cvd", Signatures("x", 600)); },
         true, DatabaseRefused},
        {".cld from a mirror", [&] { Offer(server.MirrorFolder(), "daily.cvd", unsigned_); }, true,
         DatabaseRefused},
        {"test-4 after test-5", [&] { Offer(server.MirrorFolder(), "daily.cvd", TestDatabase(4)); },
         true, DatabaseRollback},
        {"installed database missing", [&] { Offer(server.MirrorFolder(), "main.cvd", good); },
         true, SourceIncomplete},
        {".cvd and .cld of one database",
         [&]
         {
             Offer(local.Path(), "daily.cvd", good);
             Offer(local.Path(), "daily.cld", good);
         },
         false, DatabaseConflict},
#ifndef _WIN32
        {"folder writable by others",
         [&]
         {
             Offer(local.Path(), "daily.cvd", good);
             fs::permissions(local.Path(), fs::owner_all | fs::others_write);
         },
         false, SourceUnsafe},
        {"file writable by others",
         [&]
         {
             Offer(local.Path(), "daily.cvd", good);
             fs::permissions(local.Path() / "daily.cvd", fs::owner_read | fs::group_write);
         },
         false, SourceUnsafe},
        {"file is a link",
         [&]
         {
             Offer(server.MirrorFolder(), "daily.cvd", good);
             fs::create_symlink(server.MirrorFolder() / "daily.cvd", local.Path() / "daily.cvd");
         },
         false, SourceUnsafe},
#endif
    };
    const Files before = Plugins();
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.what);
        for (const fs::path& folder : {server.MirrorFolder(), local.Path()})
        {
            fs::permissions(folder, fs::owner_all);
            for (const auto& entry : fs::directory_iterator(folder))
                fs::remove(entry.path());
        }
        row.arrange();
        EXPECT_EQ(Update(row.mirror ? server.MirrorUrl() : FolderUrl()), row.code);
        EXPECT_EQ(Plugins(), before);
        EXPECT_EQ(installation.Entries(), CleanFolder);
    }
#ifndef _WIN32
    if (::geteuid() != 0)
        return; // only root can give a file away
    fs::permissions(local.Path(), fs::owner_all);
    Offer(local.Path(), "daily.cvd", good);
    ASSERT_EQ(::chown((local.Path() / "daily.cvd").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Update(FolderUrl()), SourceUnsafe);
    EXPECT_EQ(Plugins(), before);
#endif
}
} // namespace

// The publishing tool refuses to sign what every client would refuse.
TEST(DefinitionsPublisherTest, RefusesVersionsNamesAndIndexesThatClientsRefuse)
{
#ifdef _WIN32
    GTEST_SKIP() << "the tool runs on the build machine; file names with line ends are Linux's";
#endif
    const CorvaneTest::TemporaryFolder folder;
    const fs::path source = folder.Path() / "source";
    WriteText(source / "a.ndb", Signatures("a"));
    int releases = 0;
    const auto release = [&](const std::string& version)
    {
        return RunPublisher({"release", "--key", PublisherKeys().privateKey.string(), "--version",
                             version, "--sequence", "1", source.string(),
                             (folder.Path() / std::to_string(++releases)).string()});
    };
    EXPECT_NE(release("2024.1\n"), 0);
    WriteText(source / "b.ndb\n", Signatures("b"));
    EXPECT_NE(release("2024.1"), 0);
    fs::remove(source / "b.ndb\n");
    ASSERT_EQ(release("2024.1"), 0);

    // The signed release with one change each that a client refuses; the files still match.
    const fs::path published = folder.Path() / std::to_string(releases);
    const fs::path index = published / "index.json";
    const std::string good = CorvaneTest::ReadFile(index);
    fs::copy_file(published / "a.ndb", published / "a.ndb\n");
    const auto changed = [&good](const std::string& from, const std::string& to)
    {
        std::string text = good;
        const auto at = text.find(from);
        return at == std::string::npos ? std::string() : text.replace(at, from.size(), to);
    };
    for (const std::string& text :
         {good, changed("\"2024.1\"", "\"2024.1\\n\""), changed("\"a.ndb\"", "\"a.ndb\\n\""),
          changed("\"sequence\": 1", "\"sequence\": -1")})
    {
        SCOPED_TRACE(text);
        WriteText(index, text);
        Sign(index, PublisherKeys().privateKey);
        const int verified = RunPublisher(
            {"verify", "--public", PublisherKeys().publicKey.string(), published.string()});
        EXPECT_EQ(verified == 0, text == good);
    }
}
