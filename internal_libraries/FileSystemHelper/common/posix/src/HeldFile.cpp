#include "FileSystemHelper/HeldFile.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace FileSystemHelper
{
namespace
{
// How often a lock held by someone else is tried again.
constexpr auto LockPollInterval = std::chrono::milliseconds(20);

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
} // namespace

HeldFile::~HeldFile()
{
    Release();
}

void HeldFile::Release()
{
    if (handle >= 0)
        ::close(static_cast<int>(handle));
    handle = -1;
}

// A shared lock: the holder keeps it until it closes the file or ends. Another process removes
// the file only while it holds the exclusive lock, so a file can be removed between its creation
// and its lock; then it is created again.
bool HeldFile::Hold(const boost::filesystem::path& path)
{
    Release();
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        struct stat opened
        {
        };
        struct stat named
        {
        };
        if (::flock(fd, LOCK_SH) == 0 && ::fstat(fd, &opened) == 0 &&
            ::stat(path.c_str(), &named) == 0 && SameFile(opened, named))
        {
            handle = fd;
            return true;
        }
        ::close(fd);
    }
    return false;
}

std::FILE* HeldFile::Create(const boost::filesystem::path& path, Access access, const char* mode)
{
    Release();
    const mode_t fileMode = access == Access::Private ? 0600 : 0644;
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        const int fd = ::open(
            path.c_str(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, fileMode);
        if (fd < 0)
            return nullptr;
        struct stat opened
        {
        };
        struct stat named
        {
        };
        if (::fchmod(fd, fileMode) == 0 && ::flock(fd, LOCK_SH) == 0 && ::fstat(fd, &opened) == 0 &&
            ::lstat(path.c_str(), &named) == 0 && SameFile(opened, named))
        {
            // The stream writes through a second descriptor of the same open file, which
            // shares the lock; the lock lasts as long as this object keeps its own.
            const int writing = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            std::FILE* stream = writing >= 0 ? ::fdopen(writing, mode) : nullptr;
            if (!stream)
            {
                if (writing >= 0)
                    ::close(writing);
                ::close(fd);
                return nullptr;
            }
            handle = fd;
            return stream;
        }
        ::close(fd);
    }
    return nullptr;
}

LockResult HeldFile::Lock(const boost::filesystem::path& file, LockMode mode,
                          std::chrono::milliseconds wait)
{
    Release();
    constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    // Whoever may open a lock file may hold it, shared or not, for as long as it likes: the file
    // is kept to its owner, so that another user cannot hold back the owner's work. Others' runs
    // then go on without it.
    int fd = mode == LockMode::Shared ? -1 : ::open(file.c_str(), O_RDWR | O_CREAT | flags, 0600);
    const bool writable = fd >= 0;
    if (mode == LockMode::Shared ||
        (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)))
        fd = ::open(file.c_str(), O_RDONLY | flags);
    if (fd < 0)
        return LockResult::Failed;
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
    {
        ::close(fd);
        return LockResult::Failed;
    }
    // A lock file left open to others by an earlier run is closed to them now.
    if (writable && status.st_uid == ::geteuid() && (status.st_mode & 077) != 0)
        ::fchmod(fd, status.st_mode & 0700);
    const int operation = (mode == LockMode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;)
    {
        if (::flock(fd, operation) == 0)
        {
            handle = fd;
            return LockResult::Locked;
        }
        const auto now = std::chrono::steady_clock::now();
        if ((errno != EWOULDBLOCK && errno != EINTR) || now >= deadline)
        {
            const bool busy = errno == EWOULDBLOCK || errno == EINTR;
            ::close(fd);
            return busy ? LockResult::Busy : LockResult::Failed;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(deadline - now, LockPollInterval));
    }
}

void RemoveUnheldFiles(const boost::filesystem::path& folder)
{
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folderFd < 0)
        return;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(folderFd), ::closedir);
    if (!listing)
    {
        ::close(folderFd);
        return;
    }
    while (const dirent* item = ::readdir(listing.get()))
    {
        const std::string name = item->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat status
        {
        };
        if (::fstatat(folderFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(status.st_mode))
        {
            boost::system::error_code ignored;
            boost::filesystem::remove_all(folder / name, ignored);
            continue;
        }
        if (!S_ISREG(status.st_mode))
        {
            ::unlinkat(folderFd, name.c_str(), 0);
            continue;
        }
        // Removed only while this process holds the exclusive lock, and only if the name
        // still names the file it locked.
        const int fd =
            ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat locked
        {
        };
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 &&
            ::fstatat(folderFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(locked, status))
            ::unlinkat(folderFd, name.c_str(), 0);
        ::close(fd);
    }
}
} // namespace FileSystemHelper
