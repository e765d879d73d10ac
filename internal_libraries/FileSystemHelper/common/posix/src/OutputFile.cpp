#include "FileSystemHelper/OutputFile.h"
#include "FileSystemHelper/File.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace FileSystemHelper
{
bool MayCreateIn(const boost::filesystem::path& folder)
{
    // The effective user's rights, as a file creation would be judged.
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

namespace
{
mode_t FolderMode(Access access)
{
    return access == Access::Private ? 0700 : 0755;
}

mode_t FileMode(Access access)
{
    return access == Access::Private ? 0600 : 0644;
}

class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd; }
    int Release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }

private:
    int fd;
};

// The folder a name is in, held open (a link among its own components is followed, as for any
// path given).
int OpenParent(const boost::filesystem::path& path)
{
    const boost::filesystem::path parent = path.parent_path();
    return ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Creates one folder with the exact mode; an existing folder counts as success.
bool CreateFolder(const boost::filesystem::path& folder, Access access)
{
    if (::mkdir(folder.c_str(), FolderMode(access)) == 0)
    {
        // The umask may have taken bits away; the folder is not anyone else's yet.
        const Descriptor created(
            ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        return created.Get() >= 0 && ::fchmod(created.Get(), FolderMode(access)) == 0;
    }
    struct stat status
    {
    };
    return errno == EEXIST && ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}
} // namespace

bool CreateFolders(const boost::filesystem::path& folder, Access access)
{
    struct stat status
    {
    };
    if (folder.empty())
        return false;
    if (::stat(folder.c_str(), &status) == 0)
        return S_ISDIR(status.st_mode);
    const boost::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !CreateFolders(parent, access))
        return false;
    // A name that ends in a separator or a dot names its parent, which exists by now.
    if (folder.filename() == "." || folder.filename() == "..")
        return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    return CreateFolder(folder, access);
}

bool CreatePrivateFolder(const boost::filesystem::path& folder)
{
    if (!CreateFolders(folder, Access::Private))
        return false;
    // A link planted at the name is not followed: the folder must be a folder of its own.
    const Descriptor opened(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status
    {
    };
    return opened.Get() >= 0 && ::fstat(opened.Get(), &status) == 0 &&
           ((status.st_mode & 07777) == 0700 || ::fchmod(opened.Get(), 0700) == 0);
}

bool SaveWholeFile(const boost::filesystem::path& path, const std::string& data, Access access)
{
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == ".." || name == "/")
        return false;
    const Descriptor folder(OpenParent(path));
    if (folder.Get() < 0)
        return false;
    struct stat status
    {
    };
    if (::fstatat(folder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode))
        return false;

    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt)
    {
        temporary = "." + name + "." + std::to_string(random() % 1000000000000ull) + ".tmp";
        fd = ::openat(folder.Get(), temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                      FileMode(access));
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    Descriptor file(fd);
    const bool written = ::fchmod(file.Get(), FileMode(access)) == 0 &&
                         File::WriteAll(file.Get(), data.data(), data.size()) &&
                         ::fsync(file.Get()) == 0 && ::close(file.Release()) == 0;
    // Should the name have become a link meanwhile, the rename replaces the link itself; a
    // folder makes it fail. Either way nothing outside the folder is written.
    if (!written || ::renameat(folder.Get(), temporary.c_str(), folder.Get(), name.c_str()) != 0)
    {
        ::unlinkat(folder.Get(), temporary.c_str(), 0);
        return false;
    }
    ::fsync(folder.Get());
    return true;
}

std::FILE* CreateNewFile(const boost::filesystem::path& path, Access access, const char* mode)
{
    Descriptor file(::open(
        path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
        FileMode(access)));
    if (file.Get() < 0 || ::fchmod(file.Get(), FileMode(access)) != 0)
        return nullptr;
    std::FILE* stream = ::fdopen(file.Get(), mode);
    if (stream)
        file.Release();
    return stream;
}
} // namespace FileSystemHelper
