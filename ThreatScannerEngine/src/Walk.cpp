#include "Walk.h"

#include "ThreatScanner/ThreatScanner.h"

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
void (*walkListedHook)(const char* folder) = nullptr;

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

// Reads an open folder's entries, sorted by name; only regular files and folders are kept.
// Returns false when the folder cannot be read.
bool ReadFolder(int folderFd, std::vector<Entry>& entries)
{
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
        if (item->d_type == DT_REG || item->d_type == DT_DIR)
        {
            entries.push_back({name, item->d_type == DT_DIR});
            continue;
        }
        if (item->d_type != DT_UNKNOWN)
            continue; // links, devices, pipes and sockets
        struct stat status
        {
        };
        if (::fstatat(folderFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since it was listed
        if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))
            entries.push_back({name, S_ISDIR(status.st_mode)});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return readable;
}

// Splits an absolute path into its folder and last name ("/" has no name).
void Split(const std::string& path, std::string& folder, std::string& name)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    folder = slash == 0 ? "/" : trimmed.substr(0, slash);
    name = trimmed == "/" ? std::string() : trimmed.substr(slash + 1);
}

int RootError(int error)
{
    return error == EACCES ? ThreatScanner::PathAccess : ThreatScanner::PathError;
}
} // namespace

int WalkTree(const std::string& root, const std::vector<FileIdentity>& skippedFolders,
             const WalkVisitor& onFile, const std::function<void(const std::string&, int)>& onError)
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

    // The root is found inside its open parent folder.
    struct stat status
    {
    };
    std::string parentPath;
    std::string name;
    Split(start, parentPath, name);
    auto parent = std::make_shared<const Descriptor>(OpenFolder(parentPath, false));
    if (!parent->Valid())
        return RootError(errno);
    if (name.empty())
    {
        if (::fstat(parent->Get(), &status) != 0)
            return RootError(errno);
    }
    else if (::fstatat(parent->Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return RootError(errno);
    if (S_ISLNK(status.st_mode))
    {
        char resolved[PATH_MAX];
        if (!::realpath(start.c_str(), resolved))
            return RootError(errno);
        start = resolved;
        Split(start, parentPath, name);
        parent = std::make_shared<const Descriptor>(OpenFolder(parentPath, false));
        if (!parent->Valid())
            return RootError(errno);
        if (name.empty()
                ? ::fstat(parent->Get(), &status) != 0
                : ::fstatat(parent->Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            return RootError(errno);
    }
    if (S_ISREG(status.st_mode))
    {
        onFile(parent, name, start);
        return ThreatScanner::Success;
    }
    if (!S_ISDIR(status.st_mode) || IsSkipped(status, skippedFolders))
        return ThreatScanner::Success;
    const dev_t device = status.st_dev;

    // An explicit stack keeps deep trees off the call stack. Each level holds its folder open
    // while its entries are visited, and the files found hold it until they are acted on.
    struct Level
    {
        SharedFolder folder;
        std::string path;
        std::vector<Entry> entries;
        std::size_t next = 0;
    };
    std::vector<Level> stack;
    const auto enter = [&](SharedFolder folder, std::string path)
    {
        Level level{std::move(folder), std::move(path), {}, 0};
        if (!ReadFolder(level.folder->Get(), level.entries))
            onError(level.path, ThreatScanner::PathAccess);
        if (walkListedHook)
            walkListedHook(level.path.c_str());
        stack.push_back(std::move(level));
    };
    {
        SharedFolder top = name.empty() ? parent
                                        : std::make_shared<const Descriptor>(::openat(
                                              parent->Get(), name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened
        {
        };
        if (!top->Valid() || ::fstat(top->Get(), &opened) != 0 || opened.st_ino != status.st_ino ||
            opened.st_dev != status.st_dev)
        {
            onError(start, ThreatScanner::PathAccess);
            return ThreatScanner::Success;
        }
        enter(std::move(top), start);
    }
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
        if (!entry.folder)
        {
            onFile(level.folder, entry.name, path);
            continue;
        }
        // Opened inside the held parent and never through a link: a folder swapped for a link
        // since it was listed fails here (ELOOP, ENOTDIR) and is left out like one that went.
        auto folder = std::make_shared<const Descriptor>(
            ::openat(level.folder->Get(), entry.name.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder->Valid())
        {
            if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR)
                onError(path, ThreatScanner::PathAccess);
            continue;
        }
        struct stat opened
        {
        };
        if (::fstat(folder->Get(), &opened) != 0)
        {
            onError(path, ThreatScanner::PathAccess);
            continue;
        }
        if (opened.st_dev != device || IsSkipped(opened, skippedFolders))
            continue;
        enter(std::move(folder), path);
    }
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
