#include "FileSystemHelper/MountTable.h"
#include "FileSystemHelper/Text.h"

#include <boost/make_shared.hpp>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

// Drives are the mount points of storage file systems; kernel pseudo file systems are not.
namespace FileSystemHelper
{
namespace
{
struct Mount
{
    std::string device;
    std::string mountPoint;
    std::string type;
};

const std::set<std::string> pseudoFileSystems = {
    "proc",      "sysfs",   "cgroup",     "cgroup2",    "devpts",          "devtmpfs",
    "mqueue",    "debugfs", "tracefs",    "securityfs", "pstore",          "bpf",
    "configfs",  "fusectl", "hugetlbfs",  "autofs",     "binfmt_misc",     "efivarfs",
    "selinuxfs", "nsfs",    "rpc_pipefs", "nfsd",       "fuse.gvfsd-fuse", "fuse.portal",
    "binder",    "rootfs"};

const std::set<std::string> remoteFileSystems = {
    "nfs",  "nfs4",      "cifs",       "smb3", "smbfs",       "ncpfs", "9p",
    "ceph", "glusterfs", "fuse.sshfs", "afs",  "fuse.rclone", "davfs", "fuse.davfs2"};

// /proc/self/mounts writes blanks, tabs, newlines and backslashes as octal escapes.
std::string Unescape(const std::string& field)
{
    std::string result;
    for (std::size_t i = 0; i < field.size(); ++i)
    {
        if (field[i] == '\\' && i + 3 < field.size())
        {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos)
            {
                result += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        result += field[i];
    }
    return result;
}

std::vector<Mount> ParseMounts(const std::string& table)
{
    std::vector<Mount> mounts;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line))
    {
        std::istringstream fields(line);
        Mount mount;
        if (fields >> mount.device >> mount.mountPoint >> mount.type)
        {
            mount.device = Unescape(mount.device);
            mount.mountPoint = Unescape(mount.mountPoint);
            mounts.push_back(mount);
        }
    }
    return mounts;
}

std::string RootPath(const std::string& mountPoint)
{
    if (!mountPoint.empty() && mountPoint.back() == '/')
        return mountPoint;
    return mountPoint + '/';
}

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool IsRemovableDevice(const std::string& device)
{
    const std::string prefix = "/dev/";
    if (device.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string name = device.substr(prefix.size());
    // A partition's flag lives with its whole disk; /sys/class/block links both.
    std::ifstream flag("/sys/class/block/" + name + "/removable");
    if (!flag)
        flag.open("/sys/class/block/" + name + "/../removable");
    int removable = 0;
    return flag >> removable && removable == 1;
}
} // namespace

std::string SystemMountTable()
{
    std::ifstream file("/proc/self/mounts");
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string MountedDevice(const std::string& folder, const std::string& mountTable)
{
    const std::string wanted = WithoutTrailingSlashes(folder);
    std::string device;
    for (const Mount& mount : ParseMounts(mountTable))
    {
        if (WithoutTrailingSlashes(mount.mountPoint) == wanted)
            device = mount.device;
    }
    return device;
}

Drives::Drives() : items(MountTableDrives(SystemMountTable())) {}

// Without /proc, or without an entry for the root (a chroot), the root folder is still the one
// drive that a full scan walks.
Drives::List MountTableDrives(const std::string& mountTable)
{
    Drives::List items;
    std::set<std::string> seen;
    for (const Mount& mount : ParseMounts(mountTable))
    {
        if (pseudoFileSystems.count(mount.type))
            continue;
        const std::string root = RootPath(mount.mountPoint);
        if (!seen.insert(root).second)
            continue;
        const std::wstring wideRoot = ToWide(root, CodePageUtf8);
        if (!wideRoot.empty())
            items.push_back(boost::make_shared<Drive>(wideRoot));
    }
    if (!seen.count("/"))
        items.insert(items.begin(), boost::make_shared<Drive>(L"/"));
    return items;
}

DriveType DriveTypeOf(const std::wstring& rootPath)
{
    return DriveTypeOf(rootPath, SystemMountTable());
}

DriveType DriveTypeOf(const std::wstring& rootPath, const std::string& mountTable)
{
    if (rootPath.empty())
        return DriveNoRootDir;
    const std::string root = RootPath(ToNarrow(rootPath, CodePageUtf8));
    // The last entry for a mount point is the one in effect.
    const std::vector<Mount> mounts = ParseMounts(mountTable);
    const Mount* found = nullptr;
    for (const Mount& mount : mounts)
        if (RootPath(mount.mountPoint) == root)
            found = &mount;
    if (!found)
        return root == "/" ? DriveUnknown : DriveNoRootDir;
    if (pseudoFileSystems.count(found->type))
        return DriveNoRootDir;
    if (remoteFileSystems.count(found->type))
        return DriveRemote;
    if (found->type == "iso9660" || found->type == "udf")
        return DriveCdRom;
    if (found->type == "tmpfs" || found->type == "ramfs")
        return DriveRamDisk;
    if (IsRemovableDevice(found->device))
        return DriveRemovable;
    return DriveFixed;
}
} // namespace FileSystemHelper
