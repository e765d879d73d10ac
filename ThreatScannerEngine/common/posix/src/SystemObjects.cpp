#include "SystemObjects.h"

#include "FileSystemHelper/MountTable.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ThreatScannerEngine
{
namespace
{
bool IsProcessId(const char* name)
{
    if (!*name)
        return false;
    for (const char* p = name; *p; ++p)
    {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

std::string LinkTarget(const std::string& link)
{
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size())
        return {};
    buffer.resize(static_cast<std::size_t>(length));
    return buffer;
}
} // namespace

std::uint32_t ListProcessExecutables(const std::function<void(Target)>& onTarget)
{
    std::uint32_t denied = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> processes(::opendir("/proc"), ::closedir);
    if (!processes)
        return denied;
    std::set<std::pair<dev_t, ino_t>> seen;
    while (const dirent* item = ::readdir(processes.get()))
    {
        if (!IsProcessId(item->d_name))
            continue;
        const std::string link = std::string("/proc/") + item->d_name + "/exe";
        struct stat status
        {
        };
        // Kernel threads have no executable; other users' processes may not be examined.
        if (::stat(link.c_str(), &status) != 0)
        {
            if (errno == EACCES || errno == EPERM)
                ++denied;
            continue;
        }
        if (!S_ISREG(status.st_mode))
            continue;
        if (!seen.insert({status.st_dev, status.st_ino}).second)
            continue;
        const std::string path = LinkTarget(link);
        if (path.empty())
            continue;
        Target target;
        target.openPath = link;
        target.objectPath = path;
        target.followLink = true;
        target.reportUnreadable = false;
        target.objectType = ThreatScanner::ObjectProcess;
        target.processId = static_cast<std::uint32_t>(std::stoul(item->d_name));
        onTarget(std::move(target));
    }
    return denied;
}

int ReadBootSector(const std::string& root, std::string& device, BootSector& sector)
{
    device = FileSystemHelper::MountedDevice(root, FileSystemHelper::SystemMountTable());
    if (device.empty())
        return ThreatScanner::PathError;
    struct stat status
    {
    };
    if (::stat(device.c_str(), &status) != 0 || !S_ISBLK(status.st_mode))
        return ThreatScanner::NotSupported;
    const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ThreatScanner::FileOpen;
    std::size_t done = 0;
    while (done < sector.size())
    {
        const ssize_t count =
            ::pread(fd, sector.data() + done, sector.size() - done, static_cast<off_t>(done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        done += static_cast<std::size_t>(count);
    }
    ::close(fd);
    return done == sector.size() ? ThreatScanner::Success : ThreatScanner::FileRead;
}
} // namespace ThreatScannerEngine
