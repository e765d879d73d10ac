#include "FileSystem.h"

#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ThreatScannerEngine
{
Descriptor::~Descriptor()
{
    if (fd >= 0)
        ::close(static_cast<int>(fd));
}

bool Descriptor::Close()
{
    const int value = static_cast<int>(fd);
    fd = -1;
    return ::close(value) == 0;
}

NativeHandle OpenFolder(const std::string& path, bool noFollow)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0);
    if (path.empty())
    {
        errno = ENOENT;
        return -1;
    }
    if (!noFollow && path.size() < PATH_MAX)
        return ::open(path.c_str(), flags);
    int current = ::open(path[0] == '/' ? "/" : ".", flags);
    std::size_t start = 0;
    while (current >= 0)
    {
        while (start < path.size() && path[start] == '/')
            ++start;
        if (start >= path.size())
            break;
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string component = path.substr(start, end - start);
        start = end;
        const int next = ::openat(current, component.c_str(), flags);
        const int error = errno;
        ::close(current);
        errno = error;
        current = next;
    }
    return current;
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

bool SplitPath(const std::string& path, std::string& folder, std::string& name)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size())
        return false;
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
    return true;
}

namespace
{
int Fd(const Descriptor& descriptor)
{
    return static_cast<int>(descriptor.Get());
}

FileIdentity IdentityFrom(const struct stat& status)
{
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::int64_t Nanoseconds(const struct timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

NodeKind KindOf(const struct stat& status)
{
    if (S_ISREG(status.st_mode))
        return NodeKind::File;
    if (S_ISDIR(status.st_mode))
        return NodeKind::Folder;
    return NodeKind::Other;
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

// Opens the root's folder and examines the root inside it, without following a link.
int ExamineRoot(WalkRoot& found, struct stat& status)
{
    std::string parentPath;
    Split(found.path, parentPath, found.name);
    found.parent = std::make_shared<const Descriptor>(OpenFolder(parentPath, false));
    if (!found.parent->Valid())
        return RootError(errno);
    if (found.name.empty()
            ? ::fstat(Fd(*found.parent), &status) != 0
            : ::fstatat(Fd(*found.parent), found.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return RootError(errno);
    return ThreatScanner::Success;
}
} // namespace

int FindWalkRoot(const std::string& root, WalkRoot& found)
{
    // Reported paths, and the original paths quarantine records keep, are absolute.
    found.path = root;
    if (found.path.front() != '/')
    {
        char current[PATH_MAX];
        if (!::getcwd(current, sizeof current))
            return ThreatScanner::PathError;
        found.path = JoinPath(current, found.path);
    }
    // The root is found inside its open parent folder.
    struct stat status
    {
    };
    if (const int result = ExamineRoot(found, status); result != ThreatScanner::Success)
        return result;
    if (S_ISLNK(status.st_mode))
    {
        char resolved[PATH_MAX];
        if (!::realpath(found.path.c_str(), resolved))
            return RootError(errno);
        found.path = resolved;
        if (const int result = ExamineRoot(found, status); result != ThreatScanner::Success)
            return result;
    }
    found.kind = KindOf(status);
    found.identity = IdentityFrom(status);
    return ThreatScanner::Success;
}

bool ListFolder(const Descriptor& folderFd, std::vector<FolderEntry>& entries)
{
    const int fd = ::openat(Fd(folderFd), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(fd), ::closedir);
    if (!folder)
    {
        ::close(fd);
        return false;
    }
    for (;;)
    {
        errno = 0;
        const dirent* item = ::readdir(folder.get());
        if (!item)
            return errno == 0;
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
        if (::fstatat(Fd(folderFd), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since it was listed
        if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))
            entries.push_back({name, S_ISDIR(status.st_mode)});
    }
}

OpenOutcome OpenSubfolder(const Descriptor& parent, const std::string& name, SharedFolder& folder,
                          FileIdentity& identity)
{
    // A folder swapped for a link fails here with ELOOP or ENOTDIR.
    folder = std::make_shared<const Descriptor>(
        ::openat(Fd(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder->Valid())
        return errno == ENOENT || errno == ELOOP || errno == ENOTDIR ? OpenOutcome::Gone
                                                                     : OpenOutcome::Failed;
    return IdentityOf(*folder, identity) ? OpenOutcome::Opened : OpenOutcome::Failed;
}

bool IdentityOf(const Descriptor& node, FileIdentity& identity)
{
    struct stat status
    {
    };
    if (::fstat(Fd(node), &status) != 0)
        return false;
    identity = IdentityFrom(status);
    return true;
}

OpenOutcome OpenFileToRead(const Descriptor* folder, const std::string& nameOrPath, bool followLink,
                           Descriptor& file)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    file.Reset(folder ? ::openat(Fd(*folder), nameOrPath.c_str(), flags)
                      : ::open(nameOrPath.c_str(), flags));
    if (!file.Valid())
        return errno == ENOENT || errno == ELOOP ? OpenOutcome::Gone : OpenOutcome::Failed;
    return OpenOutcome::Opened;
}

bool DescribeOpenFile(const Descriptor& file, OpenFileStatus& result)
{
    struct stat status
    {
    };
    if (::fstat(Fd(file), &status) != 0)
        return false;
    result.regular = S_ISREG(status.st_mode);
    result.identity = IdentityFrom(status);
    result.size = static_cast<std::uint64_t>(status.st_size);
    result.modified = Nanoseconds(status.st_mtim);
    result.changed = Nanoseconds(status.st_ctim);
    return true;
}

long long ReadSome(const Descriptor& file, void* buffer, std::size_t size)
{
    for (;;)
    {
        const ssize_t count = ::read(Fd(file), buffer, size);
        if (count >= 0 || errno != EINTR)
            return count;
    }
}

long long ReadAt(const Descriptor& file, void* buffer, std::size_t size, std::uint64_t offset)
{
    for (;;)
    {
        const ssize_t count = ::pread(Fd(file), buffer, size, static_cast<off_t>(offset));
        if (count >= 0 || errno != EINTR)
            return count;
    }
}

int ScanningDescriptor(const Descriptor& file)
{
    return Fd(file);
}

bool IsFolder(const std::string& path)
{
    struct stat status
    {
    };
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool FolderIdentity(const std::string& path, FileIdentity& identity)
{
    struct stat status
    {
    };
    if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    identity = IdentityFrom(status);
    return true;
}

bool MakePrivateFolder(const std::string& path)
{
    return IsFolder(path) || (::mkdir(path.c_str(), 0700) == 0 && IsFolder(path));
}

void RaiseOpenFileLimit()
{
    // A walk holds a folder open for each level it is in and for each folder whose files wait
    // in the scan queue; a wide or deep tree needs more descriptors than the usual soft limit.
    struct rlimit limit
    {
    };
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max &&
        limit.rlim_cur < 65536)
    {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 65536);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
} // namespace ThreatScannerEngine
