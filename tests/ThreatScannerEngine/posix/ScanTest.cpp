// The POSIX half of the scan suite: links, permissions and the clean-result cache, which the
// Windows engine does not keep.
#include "EngineHarness.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace EngineTest;

TEST(EngineScan, SymbolicLinksInsideTheTreeAreNotFollowed)
{
    EngineInstallation installation;
    const fs::path outside = installation.Folder() / "Outside";
    WriteFile(outside / "eicar.com", TestVirus());
    fs::create_directories(installation.Data());
    fs::create_directory_symlink(outside, installation.Data() / "linked-folder");
    fs::create_symlink(outside / "eicar.com", installation.Data() / "linked-file.com");
    Recorder recorder;
    EXPECT_EQ(installation.Scan(installation.Data(), recorder), 0);
    EXPECT_TRUE(recorder.reports.empty());

    // A link named as the scan's root is what the user asked for: its target is scanned and
    // reported under its real path, which is what an action would act on.
    Recorder root;
    EXPECT_EQ(installation.Scan(installation.Data() / "linked-file.com", root), 0);
    ASSERT_EQ(root.reports.size(), 1u);
    EXPECT_EQ(root.reports[0].objectPath, Wide(fs::canonical(outside / "eicar.com")));
}

namespace
{
// A call that names an object the engine could not read, with the failure's code.
bool IsFailure(const Report& report, const fs::path& path, int code)
{
    return report.scanStatus == ThreatScanner::StatusScanFailed && report.scanStatusFlags == code &&
           (report.objectFlags & ThreatScanner::FlagUnableToRead) != 0 &&
           report.objectPath == Wide(path);
}
} // namespace

TEST(EngineScan, UnreadableObjectsAreNamedAndFailTheCallAfterTheWalk)
{
    EngineInstallation installation;
    WriteFile(installation.Data() / "1" / "locked.com", TestVirus());
    WriteFile(installation.Data() / "2" / "eicar.com", TestVirus());
    fs::permissions(installation.Data() / "1" / "locked.com", fs::perms::no_perms);
    // Every scan needs a temporary folder of its own that the scanning user can write to.
    fs::permissions(installation.Folder() / "Temp", fs::perms::all_all);
    Recorder recorder;
    const int result = AsUnprivilegedUser(
        installation.Data(),
        [&]
        {
            const int scanned = installation.Scan(installation.Data(), recorder);
            // Report what the child saw through the result: the locked file was named, and the
            // walk went on.
            const auto& reports = recorder.reports;
            return reports.size() == 2 &&
                           IsFailure(reports[0], installation.Data() / "1" / "locked.com",
                                     ThreatScanner::FileOpen) &&
                           reports[1].scanStatus == ThreatScanner::StatusInfected
                       ? scanned
                       : -2;
        });
    EXPECT_EQ(result, ThreatScanner::FileOpen);

    WriteFile(installation.Data() / "3" / "hidden" / "eicar.com", TestVirus());
    // Closed to its owner as well: the tests may run as that owner.
    fs::permissions(installation.Data() / "3" / "hidden", fs::perms::no_perms);
    Recorder folders;
    const int folderResult = AsUnprivilegedUser(
        installation.Data() / "3",
        [&]
        {
            const int scanned = installation.Scan(installation.Data() / "3", folders);
            return folders.reports.size() == 1 &&
                           IsFailure(folders.reports[0], installation.Data() / "3" / "hidden",
                                     ThreatScanner::PathAccess)
                       ? scanned
                       : -2;
        });
    fs::permissions(installation.Data() / "3" / "hidden", fs::perms::owner_all);
    EXPECT_EQ(folderResult, ThreatScanner::PathAccess);
}

TEST(EngineScan, AWalkStaysOnTheFileSystemItStartedOn)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can mount a file system inside the tree";
    EngineInstallation installation;
    const fs::path mounted = installation.Data() / "mounted";
    fs::create_directories(mounted);
    WriteFile(installation.Data() / "eicar.com", TestVirus());
    if (::mount("corvane-test", mounted.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a file system here: " << std::strerror(errno);
    WriteFile(mounted / "eicar.com", TestVirus());
    Recorder recorder;
    const int result = installation.Scan(installation.Data(), recorder);
    Recorder inside;
    const int insideResult = installation.Scan(mounted, inside);
    ::umount2(mounted.c_str(), MNT_DETACH);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(recorder.reports[0].objectPath, Wide(installation.Data() / "eicar.com"));
    // A walk that starts there stays there.
    EXPECT_EQ(insideResult, 0);
    ASSERT_EQ(inside.reports.size(), 1u);
    EXPECT_EQ(inside.reports[0].objectPath, Wide(mounted / "eicar.com"));
}

namespace
{
// Why the engine keeps no clean results for the files of the tests, or empty text: it keeps them
// only on local disk file systems that are not on a removable disk.
std::string NoCacheForTheTests()
{
    const fs::path folder = fs::temp_directory_path();
    // ext2/3/4, XFS, Btrfs, tmpfs, F2FS, ZFS, overlay, JFS, ReiserFS, bcachefs.
    static const unsigned long localKinds[] = {0xEF53,     0x58465342, 0x9123683E, 0x01021994,
                                               0xF2F52010, 0x2FC12FC1, 0x794C7630, 0x3153464A,
                                               0x52654973, 0xCA451A4E};
    struct statfs system
    {
    };
    struct stat status
    {
    };
    if (::statfs(folder.c_str(), &system) != 0 || ::stat(folder.c_str(), &status) != 0)
        return "cannot examine " + folder.string();
    if (std::find(std::begin(localKinds), std::end(localKinds),
                  static_cast<unsigned long>(system.f_type)) == std::end(localKinds))
        return folder.string() + " is on a file system (kind " + std::to_string(system.f_type) +
               ") whose file times its writer may choose";
    const std::string block = "/sys/dev/block/" + std::to_string(major(status.st_dev)) + ":" +
                              std::to_string(minor(status.st_dev));
    for (const char* flag : {"/removable", "/../removable"})
    {
        char value = '0';
        if (std::ifstream(block + flag).get(value) && value != '0')
            return folder.string() + " is on a removable disk";
    }
    return {};
}

#define SKIP_WITHOUT_CACHE()                                                                       \
    if (const std::string reason = NoCacheForTheTests(); !reason.empty())                          \
    GTEST_SKIP() << "the engine keeps no clean results here: " << reason

// Files the engine reads and scans while the function runs.
template <typename Function> unsigned long long FilesRead(Function function)
{
    const unsigned long long before = Engine().ScannedFiles();
    function();
    return Engine().ScannedFiles() - before;
}

std::string Hex(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : text)
        hex += std::string{digits[c >> 4], digits[c & 15]};
    return hex;
}
} // namespace

// A second scan reads only what changed: a file rewritten with its size and modification time
// kept is read again and detected, and new definitions make every file read again.
TEST(EngineScan, CleanResultsAreKeptUntilTheFileOrTheDefinitionsChange)
{
    SKIP_WITHOUT_CACHE();
    EngineInstallation installation;
    const fs::path changed = installation.Data() / "changed.txt";
    const fs::path later = installation.Data() / "later.txt";
    WriteFile(changed, std::string(TestVirus().size(), 'x'));
    WriteFile(later, "detected by later definitions: " + Marker("new"));
    // Files changed less than two seconds before they are looked at may still be being written:
    // their results are not kept (the first scan below reads them again).
    Recorder settling;
    EXPECT_EQ(FilesRead([&] { installation.Scan(installation.Data(), settling); }), 2u);
    installation.Restart();
    FreshResultsKept fresh;
    Recorder first;
    EXPECT_EQ(FilesRead([&] { EXPECT_EQ(installation.Scan(installation.Data(), first), 0); }), 2u);
    installation.Restart();
    Recorder second;
    EXPECT_EQ(FilesRead([&] { EXPECT_EQ(installation.Scan(installation.Data(), second), 0); }), 0u);
    EXPECT_TRUE(second.reports.empty());
    struct stat status
    {
    };
    ASSERT_EQ(::lstat((installation.Folder() / "Plugins" / "cache.000").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    // Switching archives off is another set of options: those results are not known yet.
    EXPECT_EQ(FilesRead([&] { installation.Scan(installation.Data(), second, false); }), 2u);
    // And the other way round, where a cached result would hide a detection: an archive found
    // clean without looking inside is read again, and detected, with archives on.
    const fs::path archive = installation.Folder() / "Archive" / "eicar.zip";
    WriteFile(archive, Zip({{"eicar.com", TestVirus()}}));
    Recorder closed;
    EXPECT_EQ(FilesRead([&] { EXPECT_EQ(installation.Scan(archive, closed, false), 0); }), 1u);
    EXPECT_TRUE(closed.reports.empty());
    installation.Restart();
    Recorder opened;
    EXPECT_EQ(FilesRead([&] { installation.Scan(archive, opened); }), 1u);
    EXPECT_EQ(opened.reports.size(), 1u);

    ASSERT_EQ(::stat(changed.c_str(), &status), 0);
    WriteFile(changed, TestVirus());
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, changed.c_str(), times, 0), 0); // as touch -d does
    installation.Restart();
    Recorder third;
    EXPECT_EQ(FilesRead([&] { EXPECT_EQ(installation.Scan(installation.Data(), third), 0); }), 1u);
    ASSERT_EQ(third.reports.size(), 1u);
    EXPECT_EQ(third.reports[0].objectPath, Wide(changed));
    // A detection is never kept: with the same definitions, the file is read and reported again.
    installation.Restart();
    Recorder again;
    EXPECT_EQ(FilesRead([&] { installation.Scan(installation.Data(), again); }), 1u);
    EXPECT_EQ(again.reports.size(), 1u);

    WriteFile(installation.Folder() / "Plugins" / "later.ndb",
              "Corvane.Test.Later:0:*:" + Hex(Marker("new")) + "\n");
    installation.Restart();
    Recorder fourth;
    EXPECT_EQ(FilesRead([&] { installation.Scan(installation.Data(), fourth); }), 2u);
    ASSERT_EQ(fourth.reports.size(), 2u);
    EXPECT_EQ(fourth.reports[1].objectPath, Wide(later));
    EXPECT_EQ(fourth.reports[1].threatName, L"Corvane.Test.Later");
}

// A cache file that is damaged, that others may write, that is a link or that belongs to
// another user is not read; the next save replaces it with a file of the engine's own.
TEST(EngineScan, ACacheFileThatCannotBeTrustedIsIgnoredAndReplaced)
{
    SKIP_WITHOUT_CACHE();
    FreshResultsKept fresh;
    EngineInstallation installation;
    const fs::path cache = installation.Folder() / "Plugins" / "cache.000";
    WriteFile(installation.Data() / "one.txt", "one");
    WriteFile(installation.Data() / "two.txt", "two");
    Recorder recorder;
    const auto filesRead = [&]
    {
        installation.Restart();
        return FilesRead([&] { EXPECT_EQ(installation.Scan(installation.Data(), recorder), 0); });
    };
    EXPECT_EQ(filesRead(), 2u);
    EXPECT_EQ(filesRead(), 0u);

    // Damaged, cut short.
    for (const bool cut : {false, true})
    {
        std::string damaged = ReadFile(cache);
        if (cut)
            damaged.resize(damaged.size() / 2);
        else
            damaged[damaged.size() / 2] ^= 1;
        WriteFile(cache, damaged);
        EXPECT_EQ(filesRead(), 2u);
        EXPECT_EQ(filesRead(), 0u);
    }

    for (const fs::perms mode : {fs::perms::group_write, fs::perms::others_write})
    {
        fs::permissions(cache, fs::perms::add_perms | mode);
        EXPECT_EQ(filesRead(), 2u);
        EXPECT_EQ(fs::status(cache).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    }

    const fs::path elsewhere = installation.Folder() / "elsewhere";
    fs::rename(cache, elsewhere);
    const std::string kept = ReadFile(elsewhere);
    fs::create_symlink(elsewhere, cache);
    EXPECT_EQ(filesRead(), 2u);
    EXPECT_FALSE(fs::is_symlink(cache));
    EXPECT_EQ(ReadFile(elsewhere), kept);

    // A read-only installation neither reads nor writes the cache.
    struct stat before
    {
    };
    struct stat after
    {
    };
    ASSERT_EQ(::stat(cache.c_str(), &before), 0);
    installation.RestartReadOnly();
    EXPECT_EQ(FilesRead([&] { EXPECT_EQ(installation.Scan(installation.Data(), recorder), 0); }),
              2u);
    ASSERT_EQ(::stat(cache.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino); // a save renames a new file over it
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_TRUE(recorder.reports.empty());
}

TEST(EngineScan, ACacheFileOfAnotherUserIsIgnoredAndReplaced)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give the cache file to another user";
    SKIP_WITHOUT_CACHE();
    FreshResultsKept fresh;
    EngineInstallation installation;
    const fs::path cache = installation.Folder() / "Plugins" / "cache.000";
    WriteFile(installation.Data() / "one.txt", "one");
    Recorder recorder;
    EXPECT_EQ(FilesRead([&] { installation.Scan(installation.Data(), recorder); }), 1u);
    ASSERT_EQ(::chown(cache.c_str(), 65534, 65534), 0);
    installation.Restart();
    EXPECT_EQ(FilesRead([&] { installation.Scan(installation.Data(), recorder); }), 1u);
    EXPECT_EQ(fs::status(cache).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    struct stat status
    {
    };
    ASSERT_EQ(::stat(cache.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
}
