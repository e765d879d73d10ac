// The POSIX half of the scan suite: links, permissions and the clean-result cache, which the
// Windows engine does not keep.
#include "EngineHarness.h"
#include "SignedFiles.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sys/mman.h>
#include <sys/mount.h>
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

// At its cap the cache keeps what the last session used or added, and drops the rest: the
// dropped content is read again, the kept content is not.
TEST(EngineScan, AFullCacheKeepsWhatTheLastScanUsed)
{
    struct Cap
    {
        Cap() { Engine().SetCacheEntries(2); }
        ~Cap() { Engine().SetCacheEntries(1000000); }
    } cap;
    EngineInstallation installation;
    WriteFile(installation.Data() / "old" / "a.txt", "content a");
    WriteFile(installation.Data() / "old" / "b.txt", "content b");
    WriteFile(installation.Data() / "new" / "c.txt", "content c");
    Recorder recorder;
    const auto filesRead = [&](const fs::path& path)
    { return FilesRead([&] { EXPECT_EQ(installation.Scan(path, recorder), 0); }); };
    installation.Restart();
    EXPECT_EQ(filesRead(installation.Data() / "old"), 2u);
    installation.Restart();
    EXPECT_EQ(filesRead(installation.Data() / "old" / "a.txt"), 0u);
    EXPECT_EQ(filesRead(installation.Data() / "new"), 1u);
    installation.Restart();
    EXPECT_EQ(filesRead(installation.Data() / "new"), 0u);
    EXPECT_EQ(filesRead(installation.Data() / "old"), 1u); // b.txt made room
    EXPECT_TRUE(recorder.reports.empty());
}

// A cache file that is damaged, that others may write, that is a link or that belongs to
// another user is not read; the next save replaces it with a file of the engine's own.
TEST(EngineScan, ACacheFileThatCannotBeTrustedIsIgnoredAndReplaced)
{
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

namespace
{
// A file held mapped shared and writable, as a process that rewrites it in place holds it: after
// the first write fault the kernel updates no time stamp for writes through the mapping.
class SharedMapping
{
public:
    SharedMapping(const fs::path& path, std::size_t size, char fill) : size(size)
    {
        WriteFile(path, std::string(size, fill));
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(fd, 0) << path;
        data = static_cast<char*>(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        ::close(fd);
        EXPECT_NE(data, MAP_FAILED) << path;
        data[0] = fill; // the write fault, before the file is scanned and cached
    }
    ~SharedMapping() { ::munmap(data, size); }
    void Write(const std::string& bytes) { std::copy(bytes.begin(), bytes.end(), data); }

private:
    std::size_t size;
    char* data;
};

// Files in the folder found infected, by name.
std::set<std::string> InfectedNames(const Recorder& recorder)
{
    std::set<std::string> names;
    for (const Report& report : recorder.reports)
        if (report.scanStatus == ThreatScanner::StatusInfected)
            names.insert(fs::path(report.objectPath).filename().string());
    return names;
}

// Whether a command line runs and succeeds.
bool Succeeds(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}
} // namespace

// The cache vouches for content, not for a name or time stamps: content rewritten through a
// mapping (no new times on tmpfs ever, on ext4 until write-back) is scanned again and detected,
// for files read whole and for larger ones the scanning library reads piece by piece. Clean
// content is kept on tmpfs too.
TEST(EngineScan, ContentChangedWithoutNewTimesIsScannedAgain)
{
    EngineInstallation installation;
    char memoryTemplate[] = "/dev/shm/corvane-test-XXXXXX";
    ASSERT_NE(::mkdtemp(memoryTemplate), nullptr);
    const std::unique_ptr<const char, void (*)(const char*)> memory(
        memoryTemplate, [](const char* path) { fs::remove_all(path); });
    // Each folder's content is its own: the same content elsewhere would be known clean already.
    for (const auto& [folder, fill] :
         {std::make_pair(fs::path(memoryTemplate), 'x'), std::make_pair(installation.Data(), 'y')})
    {
        SharedMapping small(folder / "small.txt", TestVirus().size(), fill);
        SharedMapping large(folder / "large.txt", 3 << 20, fill);
        Recorder first;
        installation.Restart();
        EXPECT_EQ(FilesRead([&] { EXPECT_EQ(installation.Scan(folder, first), 0); }), 2u) << folder;
        installation.Restart();
        EXPECT_EQ(FilesRead([&] { EXPECT_EQ(installation.Scan(folder, first), 0); }), 0u) << folder;
        EXPECT_TRUE(first.reports.empty());

        small.Write(TestVirus());
        large.Write(TestVirus());
        installation.Restart();
        Recorder second;
        EXPECT_EQ(installation.Scan(folder, second), 0);
        EXPECT_EQ(InfectedNames(second), (std::set<std::string>{"large.txt", "small.txt"}))
            << folder;
    }
}

// Whoever owns a disk image can change a file's data offline and keep its inode and times.
TEST(EngineScan, AFileEditedOfflineInADiskImageIsScannedAgain)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a disk image needs root";
    EngineInstallation installation;
    const fs::path image = installation.Folder() / "disk.img";
    const fs::path mounted = installation.Folder() / "mounted";
    fs::create_directories(mounted);
    const std::string clean = std::string(TestVirus().size() - 8, 'q') + "OFFLINE!";
    ASSERT_TRUE(Succeeds("truncate -s 8M '" + image.string() + "'"));
    if (!Succeeds("mkfs.ext4 -q -F '" + image.string() + "'") ||
        !Succeeds("mount -o loop '" + image.string() + "' '" + mounted.string() + "'"))
        GTEST_SKIP() << "no loop device or ext4 tools in this sandbox";
    WriteFile(mounted / "file.txt", clean);
    Recorder first;
    EXPECT_EQ(installation.Scan(mounted, first), 0);
    ASSERT_TRUE(Succeeds("umount '" + mounted.string() + "'"));

    std::string bytes = ReadFile(image);
    const std::size_t at = bytes.find(clean);
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, clean.size(), TestVirus());
    WriteFile(image, bytes);
    ASSERT_TRUE(Succeeds("mount -o loop '" + image.string() + "' '" + mounted.string() + "'"));
    installation.Restart();
    Recorder second;
    EXPECT_EQ(installation.Scan(mounted, second), 0);
    EXPECT_TRUE(Succeeds("umount '" + mounted.string() + "'"));
    EXPECT_EQ(InfectedNames(second), std::set<std::string>{"file.txt"});
}

// The signer passed with a detection is that of the content the engine scanned: a signed file
// renamed over the detected one, or a link to one put in its place, once the scan is done
// vouches for nothing. A file that carries the test file inside a publisher's signature is
// passed with its signer, small or large.
TEST(EngineScan, TheSignerIsThatOfTheScannedContent)
{
    const CorvaneTest::TrustedTestRoot root;
    EngineInstallation installation;
    std::string hex;
    for (const unsigned char byte : TestVirus())
        hex += "0123456789abcdef"[byte >> 4] + std::string(1, "0123456789abcdef"[byte & 15]);
    WriteFile(installation.Folder() / "Plugins" / "anywhere.ndb",
              "Corvane.Test.EICAR.Anywhere:0:*:" + hex + "\n");
    installation.Restart();
    const fs::path signing = installation.Folder() / "signing";
    fs::create_directories(installation.Data() / "signed");
    const fs::path credentials = CorvaneTest::SignedFilesFolder() / "tellmark";
    const auto sign = [&](const std::string& content, const fs::path& out)
    {
        WriteFile(signing / "input.exe", content);
        EXPECT_EQ(CorvaneTest::RunProgram(CORVANE_OSSLSIGNCODE,
                                          {"sign", "-certs", credentials.string() + ".pem", "-key",
                                           credentials.string() + ".key", "-in",
                                           (signing / "input.exe").string(), "-out", out.string()})
                      .exitCode,
                  0);
        fs::remove(signing / "input.exe");
    };
    const std::string program = ReadFile(CorvaneTest::UnsignedProgram());
    sign(program + TestVirus(), installation.Data() / "signed" / "small.exe");
    sign(program + TestVirus() + std::string(2 << 20, '\0'),
         installation.Data() / "signed" / "large.exe");
    const fs::path decoy = signing / "decoy.exe";
    sign(program, decoy);

    Recorder signedFiles;
    EXPECT_EQ(installation.Scan(installation.Data() / "signed", signedFiles), 0);
    ASSERT_EQ(signedFiles.reports.size(), 2u);
    for (const Report& report : signedFiles.reports)
        EXPECT_EQ(report.verifiedSigner, L"Tellmark Limited") << report.objectPath;

    const fs::path detected = installation.Data() / "plain" / "detected.com";
    for (const bool link : {false, true})
    {
        WriteFile(detected, TestVirus());
        OnScanned(
            [&](const std::string& path)
            {
                if (path != detected.string())
                    return;
                fs::remove(detected);
                if (link)
                    fs::create_symlink(decoy, detected);
                else
                    fs::copy_file(decoy, detected);
            });
        Recorder swapped;
        EXPECT_EQ(installation.Scan(detected.parent_path(), swapped), 0);
        OnScanned(nullptr);
        ASSERT_EQ(swapped.reports.size(), 1u) << link;
        EXPECT_EQ(swapped.reports[0].scanStatus, ThreatScanner::StatusInfected);
        EXPECT_EQ(swapped.reports[0].verifiedSigner, L"(null)") << link;
        fs::remove(detected);
    }
}

TEST(EngineScan, ACacheFileOfAnotherUserIsIgnoredAndReplaced)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give the cache file to another user";
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
