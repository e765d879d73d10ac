#include "Platform.h"

#include "Failure.h"

#include "FileSystemHelper/Text.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
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

void Rename(const std::filesystem::path& from, const std::filesystem::path& to)
{
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (error)
        throw Failure(LocalFileError, "Couldn't rename " + from.string() + " to " + to.string() +
                                          ": " + error.message());
}

void RemoveAll(const std::filesystem::path& path)
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

std::vector<std::string> DefinitionsToLoad(const std::filesystem::path& folder)
{
    // The engine hands libclamav the whole folder.
    return {folder.string()};
}

std::filesystem::path LibraryFolder()
{
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) || !info.dli_fname)
        throw Failure(Internal, "Couldn't find the library's own file");
    return std::filesystem::path(info.dli_fname).parent_path();
}

std::filesystem::path ToPath(const wchar_t* text)
{
    const std::wstring wide(text);
    std::string bytes = FileSystemHelper::ToNarrow(wide, FileSystemHelper::CodePageUtf8);
    if (bytes.empty() && !wide.empty())
        throw Failure(Internal, "Couldn't convert a path to the system's encoding");
    return bytes;
}

void KillThisProcess()
{
    std::raise(SIGKILL);
    std::_Exit(137);
}

FileLock::~FileLock()
{
    Unlock();
}

bool FileLock::TryLock(const std::filesystem::path& file)
{
    Unlock();
    const int descriptor =
        ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (descriptor < 0)
        throw Failure(LocalFileError, "Couldn't open " + file.string());
    handle = descriptor;
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0)
        return true;
    Unlock();
    return false;
}

void FileLock::Unlock()
{
    if (handle >= 0)
        ::close(static_cast<int>(handle));
    handle = -1;
}
} // namespace UpdateServiceCom::Platform
