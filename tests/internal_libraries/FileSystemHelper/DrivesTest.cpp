#include "FileSystemHelper/Drives.h"
#include "Installation.h"

#include <algorithm>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include "FileSystemHelper/MountTable.h"

#include <fstream>
#include <sstream>
#endif

using namespace FileSystemHelper;

#ifdef _WIN32
namespace
{
std::vector<std::wstring> RootPaths()
{
    const Drives drives;
    std::vector<std::wstring> roots;
    for (const auto& drive : drives)
        roots.push_back(drive->rootPath);
    return roots;
}
} // namespace

// The drive letters first, in letter order, then the volumes no letter reaches: by the folder
// they are mounted on or by their volume name, each a root path that ends in a backslash. A
// letter made for a folder of another drive (subst) is not listed: its files are scanned
// through their own drive.
TEST(Drives, ListsEveryDriveAsLetterColonBackslashInLetterOrderThenOtherVolumes)
{
    std::vector<std::wstring> roots = RootPaths();
    ASSERT_FALSE(roots.empty());
    const auto others = std::find_if(roots.begin(), roots.end(),
                                     [](const std::wstring& root) { return root.size() != 3; });
    for (auto other = others; other != roots.end(); ++other)
    {
        ASSERT_GT(other->size(), 3u);
        EXPECT_EQ(other->back(), L'\\') << other->c_str();
    }
    roots.erase(others, roots.end());
    for (const auto& root : roots)
    {
        ASSERT_EQ(root.size(), 3u) << root.c_str();
        EXPECT_TRUE(root[0] >= L'A' && root[0] <= L'Z') << root.c_str();
        EXPECT_EQ(root.substr(1), L":\\");
    }
    EXPECT_TRUE(std::is_sorted(roots.begin(), roots.end()));
    EXPECT_EQ(std::adjacent_find(roots.begin(), roots.end()), roots.end()) << "a root listed twice";
    EXPECT_NE(std::find(roots.begin(), roots.end(), L"C:\\"), roots.end());
    // Wine maps the Unix root folder as drive Z: beside its own C:.
    if (CorvaneTest::RunningOnWine())
    {
        EXPECT_NE(std::find(roots.begin(), roots.end(), L"Z:\\"), roots.end());
    }

    wchar_t letter = L'Y';
    while (letter > L'D' &&
           std::find(roots.begin(), roots.end(), std::wstring(1, letter) + L":\\") != roots.end())
        --letter;
    const std::wstring substitute = std::wstring(1, letter) + L":";
    if (!::DefineDosDeviceW(0, substitute.c_str(), L"C:\\windows"))
        GTEST_SKIP() << "no drive letter can be made for a folder here";
    const std::vector<std::wstring> withSubstitute = RootPaths();
    const bool reachable =
        ::GetFileAttributesW((substitute + L"\\").c_str()) != INVALID_FILE_ATTRIBUTES;
    ::DefineDosDeviceW(DDD_REMOVE_DEFINITION, substitute.c_str(), nullptr);
    if (!reachable)
        GTEST_SKIP() << "a drive letter made for a folder leads nowhere here (Wine)";
    EXPECT_EQ(std::find(withSubstitute.begin(), withSubstitute.end(), substitute + L"\\"),
              withSubstitute.end());
    EXPECT_NE(std::find(withSubstitute.begin(), withSubstitute.end(), L"C:\\"),
              withSubstitute.end());
}

TEST(Drives, TypesComeFromThePlatform)
{
    EXPECT_EQ(DriveTypeOf(L"C:\\"), DriveFixed);
    EXPECT_EQ(DriveTypeOf(L""), DriveNoRootDir);
    const std::vector<std::wstring> roots = RootPaths();
    for (wchar_t letter = L'Z'; letter >= L'D'; --letter)
    {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        if (std::find(roots.begin(), roots.end(), root) == roots.end())
        {
            EXPECT_EQ(DriveTypeOf(root), DriveNoRootDir) << root.c_str();
            break;
        }
    }
    if (CorvaneTest::RunningOnWine())
    {
        const DriveType unixRoot = DriveTypeOf(L"Z:\\");
        EXPECT_TRUE(unixRoot == DriveFixed || unixRoot == DriveRemote) << unixRoot;
    }
}
#else
// The Linux stand-in: drives are the mount points of storage file systems, read from a mount
// table in the form of /proc/self/mounts.
namespace
{
const std::string table = "/dev/corvane-test-disk1 / ext4 rw 0 0\n"
                          "proc /proc proc rw 0 0\n"
                          "sysfs /sys sysfs rw 0 0\n"
                          "/dev/corvane-test-disk2 /srv/with\\040blank xfs rw 0 0\n"
                          "tmpfs /dev/shm tmpfs rw 0 0\n"
                          "server:/export /mnt/nfs nfs4 rw 0 0\n"
                          "/dev/sr0 /media/cd iso9660 ro 0 0\n"
                          "/dev/corvane-test-disk2 /srv/with\\040blank xfs rw 0 0\n";

std::vector<std::wstring> Roots(const Drives& drives)
{
    std::vector<std::wstring> roots;
    for (const auto& drive : drives)
        roots.push_back(drive->rootPath);
    return roots;
}
} // namespace

TEST(Drives, ListsStorageMountsAsRootPathsWithoutPseudoFileSystems)
{
    EXPECT_EQ(Roots(Drives(MountTableDrives(table))),
              (std::vector<std::wstring>{L"/", L"/srv/with blank/", L"/dev/shm/", L"/mnt/nfs/",
                                         L"/media/cd/"}));
    // The host's own table lists the root too.
    const std::vector<std::wstring> host = Roots(Drives());
    EXPECT_NE(std::find(host.begin(), host.end(), L"/"), host.end());
}

// In a chroot or a container the root need not have a mount entry; a full scan still walks it.
TEST(Drives, TheRootIsADriveWithoutAMountEntry)
{
    const std::string chroot =
        "proc /proc proc rw 0 0\n/dev/corvane-test-disk1 /data ext4 rw 0 0\n";
    EXPECT_EQ(Roots(Drives(MountTableDrives(chroot))),
              (std::vector<std::wstring>{L"/", L"/data/"}));
    EXPECT_EQ(Roots(Drives(MountTableDrives(""))), std::vector<std::wstring>{L"/"});
    EXPECT_EQ(DriveTypeOf(L"/", chroot), DriveUnknown);
    EXPECT_EQ(DriveTypeOf(L"/data/", chroot), DriveFixed);
    EXPECT_EQ(MountedDevice("/", chroot), "");
    EXPECT_EQ(MountedDevice("/data//", chroot), "/dev/corvane-test-disk1");
}

// The device whose boot sector a boot scan reads: the last mount at the place is in effect.
TEST(Drives, TheDeviceOfAMountIsTheLastOneMountedThere)
{
    const std::string stacked = table + "/dev/corvane-test-disk3 / ext4 rw 0 0\n";
    EXPECT_EQ(MountedDevice("/", table), "/dev/corvane-test-disk1");
    EXPECT_EQ(MountedDevice("/", stacked), "/dev/corvane-test-disk3");
    EXPECT_EQ(MountedDevice("/srv/with blank/", table), "/dev/corvane-test-disk2");
    EXPECT_EQ(MountedDevice("/proc", table), "proc");
    EXPECT_EQ(MountedDevice("/srv", table), "");
}

TEST(Drives, TypesFollowTheFileSystem)
{
    EXPECT_EQ(DriveTypeOf(L"/proc/", table), DriveNoRootDir);
    EXPECT_EQ(DriveTypeOf(L"/no/such/mount/", table), DriveNoRootDir);
    EXPECT_EQ(DriveTypeOf(L"", table), DriveNoRootDir);
    EXPECT_EQ(DriveTypeOf(L"/", table), DriveFixed);
    EXPECT_EQ(DriveTypeOf(L"/srv/with blank", table), DriveFixed);
    EXPECT_EQ(DriveTypeOf(L"/dev/shm/", table), DriveRamDisk);
    EXPECT_EQ(DriveTypeOf(L"/mnt/nfs/", table), DriveRemote);
    EXPECT_EQ(DriveTypeOf(L"/media/cd/", table), DriveCdRom);
}
#endif
