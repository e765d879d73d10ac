// The POSIX half of the action suite: modes, descriptors, links and other file systems.
#include "EngineHarness.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <climits>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace EngineTest;
using testing::HasSubstr;

TEST(EngineAction, QuarantineKeepsTheContentAndTheOriginalPath)
{
    EngineInstallation installation;
    const fs::path file = installation.Data() / "eicar.com";
    WriteFile(file, TestVirus() + "\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exe);
    // Opened up after the engine started: the move closes the folder again first.
    fs::permissions(installation.Quarantine(), fs::perms::all_all);
    Recorder recorder;
    recorder.action = ThreatScanner::ActionQuarMove;
    ASSERT_EQ(installation.Scan(installation.Data(), recorder), 0);
    EXPECT_EQ(fs::status(installation.Quarantine()).permissions(), fs::perms::owner_all);

    EXPECT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                             ThreatScanner::StatusMoved}));
    EXPECT_EQ(recorder.reports[1].objectPath, Wide(file));
    EXPECT_FALSE(fs::exists(file));
    const auto stored = QuarantineFiles(installation.Quarantine(), ".bin");
    const auto records = QuarantineFiles(installation.Quarantine(), ".txt");
    ASSERT_EQ(stored.size(), 1u);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(stored[0].stem(), records[0].stem());
    EXPECT_EQ(ReadFile(stored[0]), TestVirus() + "\n");
    const std::string record = ReadFile(records[0]);
    EXPECT_THAT(record, HasSubstr("Original path: " + file.string() + "\n"));
    EXPECT_THAT(record, HasSubstr("Threat: Corvane.Test.EICAR\n"));
    EXPECT_THAT(record, HasSubstr("Original mode: 0700\n"));
    EXPECT_THAT(record, testing::ContainsRegex("Quarantined at: [0-9]{4}-[0-9]{2}-[0-9]{2}T"));

    // A later scan of the whole installation leaves the quarantine alone.
    Recorder again;
    again.action = ThreatScanner::ActionDelete;
    ASSERT_EQ(installation.Scan(installation.Folder(), again), 0);
    EXPECT_TRUE(again.reports.empty());
    EXPECT_TRUE(fs::exists(stored[0]));
}

namespace
{
// A folder chain deeper than PATH_MAX below the given folder, made through descriptors; returns
// the full path of the file at its bottom.
std::string MakeDeepFile(const fs::path& top, const std::string& content)
{
    const std::string component(250, 'd');
    std::string path = top.string();
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 20 && fd >= 0; ++level)
    {
        ::mkdirat(fd, component.c_str(), 0700);
        const int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        path += "/" + component;
    }
    const int file = ::openat(fd, "eicar.com", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(::write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(file);
    ::close(fd);
    return path + "/eicar.com";
}

bool DeepFileExists(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    int fd = ::open("/", O_RDONLY | O_DIRECTORY);
    std::size_t start = 1;
    while (fd >= 0 && start < slash)
    {
        const std::size_t end = path.find('/', start);
        const int next = ::openat(fd, path.substr(start, end - start).c_str(), O_RDONLY);
        ::close(fd);
        fd = next;
        start = end + 1;
    }
    struct stat status
    {
    };
    const bool exists = fd >= 0 && ::fstatat(fd, path.c_str() + slash + 1, &status, 0) == 0;
    ::close(fd);
    return exists;
}

std::function<void(const char*)> walkListed;
} // namespace

// Names are bytes: invalid UTF-8, control characters and paths longer than PATH_MAX are scanned,
// reported, quarantined and deleted exactly, and the reported path converts back to those bytes.
TEST(EngineAction, OddNamesAndVeryLongPathsAreActedOnExactly)
{
    for (const int action : {ThreatScanner::ActionQuarMove, ThreatScanner::ActionDelete})
    {
        EngineInstallation installation;
        const fs::path odd =
            installation.Data() / "odd\xff\x01 \n\x1b[31m\xc2\x9b" / "eicar\xfe\t.com";
        const fs::path similar =
            installation.Data() / "odd\xef\xbf\xbd\x01 \n\x1b[31m" / "eicar.com";
        fs::create_directories(odd.parent_path());
        fs::create_directories(similar.parent_path());
        WriteFile(odd, TestVirus());
        WriteFile(similar, "clean");
        const std::string deep = MakeDeepFile(installation.Data(), TestVirus());
        ASSERT_GT(deep.size(), static_cast<std::size_t>(PATH_MAX));
        Recorder recorder;
        recorder.action = action;
        ASSERT_EQ(installation.Scan(installation.Data(), recorder), 0);

        const std::int32_t done = action == ThreatScanner::ActionDelete
                                      ? ThreatScanner::StatusDeleted
                                      : ThreatScanner::StatusMoved;
        ASSERT_EQ(Statuses(recorder),
                  (std::vector<std::int32_t>{ThreatScanner::StatusInfected, done,
                                             ThreatScanner::StatusInfected, done}));
        EXPECT_EQ(Narrow(recorder.reports[0].objectPath).string(), deep);
        EXPECT_EQ(Narrow(recorder.reports[2].objectPath), odd);
        EXPECT_FALSE(DeepFileExists(deep));
        EXPECT_FALSE(fs::exists(odd));
        EXPECT_EQ(ReadFile(similar), "clean");
        std::string records;
        for (const fs::path& record : QuarantineFiles(installation.Quarantine(), ".txt"))
            records += ReadFile(record);
        if (action == ThreatScanner::ActionQuarMove)
        {
            EXPECT_THAT(records, HasSubstr("Original path: " + deep + "\n"));
            // Printable, and every byte can be told back from the escapes.
            EXPECT_THAT(records,
                        HasSubstr("Original path: " + installation.Data().string() +
                                  "/odd\\xFF\\x01 \\n\\x1B[31m\\xC2\\x9B/eicar\\xFE\t.com\n"));
        }
    }
}

// An attacker who can write in the scanned tree swaps a folder for a link to an outside folder
// holding a hard link of the detected file, between the scan and the action. The action still
// works in the folder that was scanned: no name outside the tree is removed or moved.
TEST(EngineAction, AFolderSwappedForALinkBeforeTheActionCostsNoOutsideFile)
{
    for (const int action : {ThreatScanner::ActionQuarMove, ThreatScanner::ActionDelete})
    {
        EngineInstallation installation;
        const fs::path folder = installation.Data() / "sub";
        const fs::path outside = installation.Folder() / "Outside";
        fs::create_directories(folder);
        fs::create_directories(outside);
        WriteFile(folder / "eicar.com", TestVirus());
        fs::create_hard_link(folder / "eicar.com", outside / "eicar.com");
        Recorder recorder;
        recorder.action = action;
        struct Swapper
        {
            Recorder* recorder;
            fs::path folder;
            fs::path outside;
        } swapper{&recorder, folder, outside};
        CThreatScannerStruct* instance = installation.Instance(recorder);
        Engine().SetScanCallback2(
            instance,
            [](_ScanCbkParams* params, int* answer, void* context)
            {
                auto* self = static_cast<Swapper*>(context);
                if (params->scanStatus == ThreatScanner::StatusInfected)
                {
                    fs::rename(self->folder, self->folder.string() + ".old");
                    fs::create_directory_symlink(self->outside, self->folder);
                }
                Recorder::Callback(params, answer, self->recorder);
            },
            &swapper);
        EXPECT_EQ(Engine().ScanPath(instance, 0, Wide(installation.Data()).c_str(), 1), 0);
        EXPECT_EQ(recorder.reports.size(), 2u);
        EXPECT_EQ(ReadFile(outside / "eicar.com"), TestVirus());
        EXPECT_FALSE(fs::exists(folder.string() + ".old/eicar.com"));
    }
}

// The same swap while the walk runs: a folder listed inside the tree is replaced by a link to an
// outside tree of the same shape before the walk goes down into it. The walk goes on in the
// folder it listed and never enters or acts in the outside tree.
TEST(EngineAction, AWalkThatMeetsASwappedFolderStaysInTheTree)
{
    EngineInstallation installation;
    const fs::path folder = installation.Data() / "b";
    const fs::path outside = installation.Folder() / "Outside";
    fs::create_directories(folder / "c");
    fs::create_directories(outside / "c");
    WriteFile(folder / "c" / "eicar.com", TestVirus());
    WriteFile(outside / "c" / "eicar.com", TestVirus());
    walkListed = [&](const char* listed)
    {
        if (fs::path(listed) != folder)
            return;
        fs::rename(folder, folder.string() + ".old");
        fs::create_directory_symlink(outside, folder);
    };
    Engine().SetWalkListedHook([](const char* listed) { walkListed(listed); });
    Recorder recorder;
    recorder.action = ThreatScanner::ActionDelete;
    const int result = installation.Scan(installation.Data(), recorder);
    Engine().SetWalkListedHook(nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                             ThreatScanner::StatusDeleted}));
    EXPECT_EQ(ReadFile(outside / "c" / "eicar.com"), TestVirus());
    EXPECT_FALSE(fs::exists(folder.string() + ".old/c/eicar.com"));
}

// A walk holds only the deepest folders open. Coming back to one it let go, with entries left, it
// opens it again by name inside a held ancestor: the same folder is walked on, while a folder
// swapped since is named as a failure and left out, and the walk goes on after it.
TEST(EngineAction, AFolderLetGoIsOpenedAgainOnlyWhenItIsStillTheSame)
{
    Engine().SetHeldFolderLevels(1);
    for (const bool swapped : {false, true})
    {
        SCOPED_TRACE(swapped ? "swapped" : "the same");
        EngineInstallation installation;
        const fs::path folder = installation.Data() / "a";
        fs::create_directories(folder / "b" / "c");
        WriteFile(folder / "z.com", TestVirus());
        WriteFile(installation.Data() / "z.com", TestVirus());
        walkListed = [&](const char* listed)
        {
            if (!swapped || fs::path(listed) != folder / "b" / "c")
                return;
            fs::rename(folder, installation.Data() / "a.old");
            WriteFile(folder / "z.com", TestVirus());
        };
        Engine().SetWalkListedHook([](const char* listed) { walkListed(listed); });
        Recorder recorder;
        recorder.action = ThreatScanner::ActionDelete;
        const int result = installation.Scan(installation.Data(), recorder);
        Engine().SetWalkListedHook(nullptr);
        EXPECT_FALSE(fs::exists(installation.Data() / "z.com"));
        if (!swapped)
        {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(Statuses(recorder).size(), 4u);
            EXPECT_FALSE(fs::exists(folder / "z.com"));
            continue;
        }
        EXPECT_EQ(result, ThreatScanner::PathAccess);
        ASSERT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusScanFailed,
                                                                 ThreatScanner::StatusInfected,
                                                                 ThreatScanner::StatusDeleted}));
        EXPECT_EQ(recorder.reports[0].objectPath, Wide(folder));
        EXPECT_EQ(recorder.reports[0].scanStatusFlags, ThreatScanner::PathAccess);
        EXPECT_TRUE(fs::exists(folder / "z.com"));
        EXPECT_TRUE(fs::exists(installation.Data() / "a.old" / "z.com"));
    }
    Engine().SetHeldFolderLevels(64);
}

// Quarantine across file systems copies through a descriptor of the scanned file and then
// removes it from its held folder. It copies what was scanned and no other bytes, and leaves the
// reserve free on the quarantine's file system; otherwise the move fails and the file stays.
TEST(EngineAction, QuarantineAcrossFileSystemsCopiesOnlyWhatWasScanned)
{
    struct Case
    {
        const char* name;
        bool grownAfterTheScan;
        unsigned long long reserve;
    };
    const Case cases[] = {
        {"moved", false, 256ull << 20},
        {"grown after the scan", true, 256ull << 20},
        {"over the reserve", false, 1ull << 62},
    };
    for (const Case& test : cases)
    {
        SCOPED_TRACE(test.name);
        EngineInstallation installation;
        char pattern[] = "/dev/shm/corvane-action-XXXXXX";
        struct stat shm
        {
        };
        struct stat home
        {
        };
        if (::stat("/dev/shm", &shm) != 0 || ::stat(installation.Folder().c_str(), &home) != 0 ||
            shm.st_dev == home.st_dev || !::mkdtemp(pattern))
            GTEST_SKIP() << "no second file system at /dev/shm";
        const fs::path other = pattern;
        const fs::path file = other / "sub" / "eicar.com";
        WriteFile(file, TestVirus());
        Engine().SetQuarantineReserve(test.reserve, 2);
        Recorder recorder;
        recorder.action = ThreatScanner::ActionQuarMove;
        struct Grower
        {
            Recorder* recorder;
            fs::path file;
            bool grow;
        } grower{&recorder, file, test.grownAfterTheScan};
        CThreatScannerStruct* instance = installation.Instance(recorder);
        Engine().SetScanCallback2(
            instance,
            [](_ScanCbkParams* params, int* answer, void* context)
            {
                auto* self = static_cast<Grower*>(context);
                if (self->grow && params->scanStatus == ThreatScanner::StatusInfected)
                    std::ofstream(self->file.string(), std::ios::app) << "appended";
                Recorder::Callback(params, answer, self->recorder);
            },
            &grower);
        const int result = Engine().ScanPath(instance, 0, Wide(other).c_str(), 1);
        Engine().SetQuarantineReserve(256ull << 20, 2);
        const bool gone = !fs::exists(file);
        const std::string left = gone ? std::string() : ReadFile(file);
        fs::remove_all(other);
        const auto stored = QuarantineFiles(installation.Quarantine(), ".bin");
        if (std::string(test.name) == "moved")
        {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                                     ThreatScanner::StatusMoved}));
            EXPECT_TRUE(gone);
            ASSERT_EQ(stored.size(), 1u);
            EXPECT_EQ(ReadFile(stored[0]), TestVirus());
            continue;
        }
        EXPECT_EQ(result, ThreatScanner::FileMove);
        ASSERT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                                 ThreatScanner::StatusScanFailed}));
        EXPECT_EQ(recorder.reports[1].scanStatusFlags, ThreatScanner::FileMove);
        EXPECT_EQ(left, TestVirus() + (test.grownAfterTheScan ? "appended" : ""));
        EXPECT_TRUE(stored.empty());
        EXPECT_TRUE(QuarantineFiles(installation.Quarantine(), ".txt").empty());
    }
}

// A detected file in a folder this user may not change stays, and the failure says that the
// user lacked the right (PathAccess), not that the removal broke.
TEST(EngineAction, ADeleteWithoutTheRightIsReportedAsAccessAndLeavesTheFile)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may remove any file";
    EngineInstallation installation;
    const fs::path folder = installation.Data() / "locked";
    const fs::path file = folder / "eicar.com";
    WriteFile(file, TestVirus());
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exe);
    Recorder recorder;
    recorder.action = ThreatScanner::ActionDelete;
    EXPECT_EQ(installation.Scan(folder, recorder), ThreatScanner::PathAccess);
    fs::permissions(folder, fs::perms::owner_all);
    ASSERT_EQ(Statuses(recorder), (std::vector<std::int32_t>{ThreatScanner::StatusInfected,
                                                             ThreatScanner::StatusScanFailed}));
    EXPECT_EQ(recorder.reports[1].scanStatusFlags, ThreatScanner::PathAccess);
    EXPECT_EQ(ReadFile(file), TestVirus());
}
