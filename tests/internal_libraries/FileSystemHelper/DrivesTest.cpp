#include "FileSystemHelper/Drives.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace FileSystemHelper;

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
