#include "FileSystemHelper/Drives.h"

#include <algorithm>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
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

bool UnderWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}
} // namespace

TEST(Drives, ListsEveryDriveAsLetterColonBackslashInLetterOrder)
{
    const std::vector<std::wstring> roots = RootPaths();
    ASSERT_FALSE(roots.empty());
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
    if (UnderWine())
    {
        EXPECT_NE(std::find(roots.begin(), roots.end(), L"Z:\\"), roots.end());
    }
}

TEST(Drives, TypesComeFromThePlatform)
{
    EXPECT_EQ(GetDriveType(L"C:\\"), DriveFixed);
    EXPECT_EQ(GetDriveType(L""), DriveNoRootDir);
    const std::vector<std::wstring> roots = RootPaths();
    for (wchar_t letter = L'Z'; letter >= L'D'; --letter)
    {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        if (std::find(roots.begin(), roots.end(), root) == roots.end())
        {
            EXPECT_EQ(GetDriveType(root), DriveNoRootDir) << root.c_str();
            break;
        }
    }
    if (UnderWine())
    {
        const DriveType unixRoot = GetDriveType(L"Z:\\");
        EXPECT_TRUE(unixRoot == DriveFixed || unixRoot == DriveRemote) << unixRoot;
    }
}
#else
// The Linux stand-in: drives are the mount points of storage file systems.
namespace
{
// The mount type of a mount point in this process's mount table, or empty.
std::string MountType(const std::string& mountPoint)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string line, type;
    while (std::getline(mounts, line))
    {
        std::istringstream fields(line);
        std::string device, point, kind;
        if (fields >> device >> point >> kind && point == mountPoint)
            type = kind;
    }
    return type;
}
} // namespace

TEST(Drives, ListsStorageMountsAsRootPathsWithoutPseudoFileSystems)
{
    const Drives drives;
    std::vector<std::wstring> roots;
    for (const auto& drive : drives)
        roots.push_back(drive->rootPath);
    ASSERT_FALSE(roots.empty());
    EXPECT_NE(std::find(roots.begin(), roots.end(), L"/"), roots.end());
    for (const auto& root : roots)
        EXPECT_EQ(root.back(), L'/') << root.c_str();
    EXPECT_EQ(std::find(roots.begin(), roots.end(), L"/proc/"), roots.end());
    EXPECT_EQ(std::find(roots.begin(), roots.end(), L"/sys/"), roots.end());
    std::sort(roots.begin(), roots.end());
    EXPECT_EQ(std::adjacent_find(roots.begin(), roots.end()), roots.end()) << "a root listed twice";
}

TEST(Drives, TypesFollowTheFileSystem)
{
    EXPECT_EQ(GetDriveType(L"/proc/"), DriveNoRootDir);
    EXPECT_EQ(GetDriveType(L"/no/such/mount/"), DriveNoRootDir);
    EXPECT_EQ(GetDriveType(L""), DriveNoRootDir);
    const DriveType root = GetDriveType(L"/");
    EXPECT_TRUE(root == DriveFixed || root == DriveRemovable || root == DriveRemote) << root;
    if (MountType("/dev/shm") == "tmpfs")
    {
        EXPECT_EQ(GetDriveType(L"/dev/shm/"), DriveRamDisk);
    }
}
#endif
