#include "Walk.h"

#include "ThreatScanner.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ThreatScannerEngine
{
namespace
{
struct Entry
{
    std::string name;
    bool folder;
};

bool IsSkipped(const struct stat& status, const std::vector<FileIdentity>& skippedFolders)
{
    return std::any_of(skippedFolders.begin(), skippedFolders.end(),
                       [&](const FileIdentity& id)
                       { return id.device == status.st_dev && id.inode == status.st_ino; });
}

std::string Join(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

// Reads a folder's entries, sorted by name; only regular files and folders on the same file
// system are kept. Returns false when the folder cannot be read.
bool ReadFolder(const std::string& path, dev_t device,
                const std::vector<FileIdentity>& skippedFolders, std::vector<Entry>& entries)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(fd), ::closedir);
    if (!folder)
    {
        ::close(fd);
        return false;
    }
    bool readable = true;
    for (;;)
    {
        errno = 0;
        const dirent* item = ::readdir(folder.get());
        if (!item)
        {
            readable = errno == 0;
            break;
        }
        const std::string name = item->d_name;
        if (name == "." || name == "..")
            continue;
        if (item->d_type == DT_REG)
        {
            entries.push_back({name, false});
            continue;
        }
        if (item->d_type != DT_DIR && item->d_type != DT_UNKNOWN)
            continue; // links, devices, pipes and sockets
        struct stat status
        {
        };
        if (::fstatat(::dirfd(folder.get()), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since it was listed
        if (S_ISREG(status.st_mode))
            entries.push_back({name, false});
        else if (S_ISDIR(status.st_mode) && status.st_dev == device &&
                 !IsSkipped(status, skippedFolders))
            entries.push_back({name, true});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return readable;
}
} // namespace

int WalkTree(const std::string& root, const std::vector<FileIdentity>& skippedFolders,
             const std::function<void(const std::string&)>& onFile,
             const std::function<void(const std::string&, int)>& onError)
{
    // Reported paths, and the original paths quarantine records keep, are absolute.
    std::string start = root;
    if (start.front() != '/')
    {
        char current[PATH_MAX];
        if (!::getcwd(current, sizeof current))
            return ThreatScanner::PathError;
        start = Join(current, start);
    }
    struct stat status
    {
    };
    if (::lstat(start.c_str(), &status) != 0)
        return errno == EACCES ? ThreatScanner::PathAccess : ThreatScanner::PathError;
    if (S_ISLNK(status.st_mode))
    {
        char resolved[PATH_MAX];
        if (!::realpath(start.c_str(), resolved) || ::stat(resolved, &status) != 0)
            return errno == EACCES ? ThreatScanner::PathAccess : ThreatScanner::PathError;
        start = resolved;
    }
    if (S_ISREG(status.st_mode))
    {
        onFile(start);
        return ThreatScanner::Success;
    }
    if (!S_ISDIR(status.st_mode) || IsSkipped(status, skippedFolders))
        return ThreatScanner::Success;

    // An explicit stack keeps deep trees off the call stack.
    struct Level
    {
        std::string path;
        std::vector<Entry> entries;
        std::size_t next = 0;
    };
    std::vector<Level> stack;
    const auto enter = [&](const std::string& path)
    {
        Level level{path, {}, 0};
        if (!ReadFolder(path, status.st_dev, skippedFolders, level.entries))
            onError(path, ThreatScanner::PathAccess);
        stack.push_back(std::move(level));
    };
    enter(start);
    while (!stack.empty())
    {
        Level& level = stack.back();
        if (level.next == level.entries.size())
        {
            stack.pop_back();
            continue;
        }
        const Entry& entry = level.entries[level.next++];
        const std::string path = Join(level.path, entry.name);
        if (entry.folder)
            enter(path);
        else
            onFile(path);
    }
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
