#include "Platform.h"

#include "Failure.h"

#include "FileSystemHelper/File.h"
#include "FileSystemHelper/Text.h"
#include "ScanProtocol/Channel.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace UpdateServiceCom::Platform
{
namespace
{
void Sync(const std::filesystem::path& path, int flags)
{
    const int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (handle < 0)
        throw Failure(LocalFileError, "Couldn't open " + path.string());
    const int result = ::fsync(handle);
    ::close(handle);
    if (result != 0)
        throw Failure(LocalFileError, "Couldn't flush " + path.string());
}
} // namespace

void SyncFile(const std::filesystem::path& file)
{
    Sync(file, 0);
}

void SyncFolder(const std::filesystem::path& folder)
{
    Sync(folder, O_DIRECTORY);
}

bool ExchangeFolders(const std::filesystem::path& first, const std::filesystem::path& second)
{
    if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)
        return false;
    throw Failure(LocalFileError, "Couldn't swap " + first.string() + " and " + second.string());
}

// Open files never keep a name from being moved or removed here.
void Rename(const std::filesystem::path& from, const std::filesystem::path& to,
            std::chrono::milliseconds)
{
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (error)
        throw Failure(LocalFileError, "Couldn't rename " + from.string() + " to " + to.string() +
                                          ": " + error.message());
}

void RemoveAll(const std::filesystem::path& path, std::chrono::milliseconds)
{
    // Symbolic links are removed, not followed.
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error)
        throw Failure(LocalFileError, "Couldn't remove " + path.string() + ": " + error.message());
}

bool TryRemoveAll(const std::filesystem::path& path)
{
    std::error_code error;
    std::filesystem::remove_all(path, error);
    return !error;
}

ScanProtocol::OwnedDescriptor OpenFolderToPass(const std::filesystem::path& folder)
{
    return ScanProtocol::OwnedDescriptor(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::string EnginePath(const std::filesystem::path& path)
{
    return path.string();
}

std::filesystem::path ToPath(const wchar_t* text)
{
    const std::wstring wide(text);
    std::string bytes = FileSystemHelper::ToNarrow(wide, FileSystemHelper::CodePageUtf8);
    if (bytes.empty() && !wide.empty())
        throw Failure(Internal, "Couldn't convert a path to the system's encoding");
    return bytes;
}

std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::path(text);
}

namespace
{
// Who may own what the update reads from a source folder: root, or the user the update runs as,
// who can change the installation anyway.
bool TrustedOwner(const struct stat& status)
{
    return status.st_uid == 0 || status.st_uid == ::geteuid();
}

[[noreturn]] void Unsafe(const std::string& what)
{
    throw Failure(SourceUnsafe, what);
}

// Opens a folder inside an open one (or an absolute one when parent is AT_FDCWD), never
// through a link.
int OpenFolderAt(int parent, const std::string& name, const std::string& path)
{
    const int folder =
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder >= 0)
        return folder;
    if (errno == ENOENT)
        throw Failure(SourceIncomplete, "There is no folder " + path);
    if (errno == ELOOP || errno == ENOTDIR)
        Unsafe(path + " is a link or not a folder");
    throw Failure(LocalFileError, "Couldn't open " + path + ": " + std::strerror(errno));
}

struct stat StatusOf(int descriptor, const std::string& path)
{
    struct stat status
    {
    };
    if (::fstat(descriptor, &status) != 0)
        throw Failure(LocalFileError, "Couldn't examine " + path);
    return status;
}

// Opens a file of the source folder for reading once it has passed the rules.
int OpenSourceFile(int folder, const std::string& name, const std::string& path)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        Unsafe(path + " is not a file name");
    const int file = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (file < 0)
    {
        if (errno == ELOOP)
            Unsafe(path + " is a link");
        throw Failure(LocalFileError, "Couldn't open " + path + ": " + std::strerror(errno));
    }
    struct stat status
    {
    };
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || !TrustedOwner(status) ||
        (status.st_mode & (S_IWGRP | S_IWOTH)))
    {
        ::close(file);
        Unsafe(path + " is not a plain file of the administrator's that only its owner may change");
    }
    return file;
}
} // namespace

SourceFolder::SourceFolder(const std::filesystem::path& folder) : description(folder.string())
{
    if (!folder.is_absolute())
        Unsafe("The source folder " + description + " is not an absolute path");
    // Every folder from the top down, each opened inside the one above it.
    int current = OpenFolderAt(AT_FDCWD, "/", "/");
    std::string walked;
    try
    {
        const auto below = folder.relative_path();
        std::vector<std::string> names;
        for (const auto& part : below)
        {
            if (!part.empty() && part != ".")
                names.push_back(part.string());
        }
        for (std::size_t at = 0;; ++at)
        {
            const struct stat status = StatusOf(current, walked.empty() ? "/" : walked);
            const bool last = at == names.size();
            const bool othersWrite = status.st_mode & (S_IWGRP | S_IWOTH);
            if (!TrustedOwner(status) || (othersWrite && (last || !(status.st_mode & S_ISVTX))))
                Unsafe("The source folder " + description + " or a folder above it (" +
                       (walked.empty() ? "/" : walked) +
                       ") belongs to another user or others may write to it");
            if (last)
                break;
            if (names[at] == "..")
                Unsafe("The source folder " + description + " is not a plain path");
            walked += "/" + names[at];
            const int next = OpenFolderAt(current, names[at], walked);
            ::close(current);
            current = next;
        }
    }
    catch (...)
    {
        ::close(current);
        throw;
    }
    handle = current;
}

SourceFolder::~SourceFolder()
{
    if (handle >= 0)
        ::close(static_cast<int>(handle));
}

std::vector<std::string> SourceFolder::Names() const
{
    const int copy = ::openat(static_cast<int>(handle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!listing)
    {
        if (copy >= 0)
            ::close(copy);
        throw Failure(LocalFileError, "Couldn't list " + description);
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing))
    {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(listing);
    return names;
}

std::string SourceFolder::ReadStart(const std::string& name, std::size_t bytes,
                                    std::uint64_t& size) const
{
    const std::string path = description + "/" + name;
    const int file = OpenSourceFile(static_cast<int>(handle), name, path);
    struct stat status
    {
    };
    size = ::fstat(file, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    std::string start(bytes, '\0');
    std::size_t done = 0;
    while (done < bytes)
    {
        const ssize_t count = ::read(file, start.data() + done, bytes - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        done += static_cast<std::size_t>(count);
    }
    ::close(file);
    start.resize(done);
    return start;
}

std::uint64_t SourceFolder::CopyTo(const std::string& name, const std::filesystem::path& target,
                                   std::uint64_t maxBytes,
                                   const std::function<void(std::uint64_t)>& progress) const
{
    const std::string path = description + "/" + name;
    const int file = OpenSourceFile(static_cast<int>(handle), name, path);
    const int copy =
        ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (copy < 0)
    {
        ::close(file);
        throw Failure(LocalFileError, "Couldn't create " + target.string());
    }
    std::vector<char> buffer(1 << 16);
    std::uint64_t total = 0;
    bool failed = false;
    for (;;)
    {
        const ssize_t count = ::read(file, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
        {
            failed = count < 0;
            break;
        }
        total += static_cast<std::uint64_t>(count);
        if (total > maxBytes)
        {
            failed = true;
            break;
        }
        if (!FileSystemHelper::File::WriteAll(copy, buffer.data(), static_cast<std::size_t>(count)))
        {
            failed = true;
            break;
        }
        progress(total);
    }
    ::close(file);
    if (::close(copy) != 0)
        failed = true;
    if (failed)
    {
        ::unlink(target.c_str());
        throw Failure(total > maxBytes ? Oversized : LocalFileError, "Couldn't copy " + path);
    }
    return total;
}

void KillThisProcess()
{
    std::raise(SIGKILL);
    std::_Exit(137);
}
} // namespace UpdateServiceCom::Platform
