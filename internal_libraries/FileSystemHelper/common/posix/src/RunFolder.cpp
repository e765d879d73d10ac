#include "FileSystemHelper/RunFolder.h"

#include <boost/filesystem/operations.hpp>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileSystemHelper
{
namespace
{
bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
} // namespace

bool RunFolder::Create(const boost::filesystem::path& folder)
{
    // The umask can only take bits away; the caller sets the mode exactly afterwards.
    return ::mkdir(folder.c_str(), 0700) == 0;
}

// A shared lock on the folder. A sweeping run removes a folder only while it holds the
// exclusive lock; should it have taken that between the folder's creation and this lock, the
// folder is gone by the time this lock is granted, and another one is made.
bool RunFolder::Hold()
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat opened
    {
    };
    struct stat named
    {
    };
    if (::flock(fd, LOCK_SH) == 0 && ::fstat(fd, &opened) == 0 &&
        ::lstat(path.c_str(), &named) == 0 && SameFile(opened, named))
    {
        handle = fd;
        return true;
    }
    ::close(fd);
    return false;
}

// The folder is removed while it is still held: no sweeping run looks into it meanwhile.
void RunFolder::Release()
{
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path, ignored);
    if (handle >= 0)
        ::close(static_cast<int>(handle));
    handle = -1;
}

void RemoveAbandonedRunFolders(const boost::filesystem::path& parent, const std::string& prefix)
{
    const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (parentFd < 0)
        return;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(parentFd), ::closedir);
    if (!listing)
    {
        ::close(parentFd);
        return;
    }
    while (const dirent* item = ::readdir(listing.get()))
    {
        const std::string name = item->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const int fd =
            ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat locked
        {
        };
        struct stat named
        {
        };
        // Removed only while this process holds the exclusive lock, and only if the name still
        // names the folder it locked.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 &&
            ::fstatat(parentFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(locked, named))
        {
            boost::system::error_code ignored;
            boost::filesystem::remove_all(parent / name, ignored);
        }
        ::close(fd);
    }
}
} // namespace FileSystemHelper
