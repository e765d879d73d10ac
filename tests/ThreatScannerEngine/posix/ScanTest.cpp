// The POSIX half of the scan suite: links, permissions and the clean-result cache, which the
// Windows engine does not keep.
#include "EngineHarness.h"

#include <boost/filesystem/operations.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
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
    fs::permissions(installation.Data() / "3" / "hidden", fs::perms::owner_all);
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
    EXPECT_EQ(folderResult, ThreatScanner::PathAccess);
}

namespace
{
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
    FreshResultsKept fresh;
    EngineInstallation installation;
    const fs::path changed = installation.Data() / "changed.txt";
    const fs::path later = installation.Data() / "later.txt";
    WriteFile(changed, std::string(TestVirus().size(), 'x'));
    WriteFile(later, "detected by later definitions: " + Marker("new"));
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

    ASSERT_EQ(::stat(changed.c_str(), &status), 0);
    WriteFile(changed, TestVirus());
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, changed.c_str(), times, 0), 0); // as touch -d does
    installation.Restart();
    Recorder third;
    EXPECT_EQ(FilesRead([&] { EXPECT_EQ(installation.Scan(installation.Data(), third), 0); }), 1u);
    ASSERT_EQ(third.reports.size(), 1u);
    EXPECT_EQ(third.reports[0].objectPath, Wide(changed));

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

    std::string damaged = ReadFile(cache);
    damaged[damaged.size() / 2] ^= 1;
    WriteFile(cache, damaged);
    EXPECT_EQ(filesRead(), 2u);
    EXPECT_EQ(filesRead(), 0u);

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

    if (::geteuid() == 0)
    {
        ASSERT_EQ(::chown(cache.c_str(), 65534, 65534), 0);
        EXPECT_EQ(filesRead(), 2u);
    }
    EXPECT_TRUE(recorder.reports.empty());
}
