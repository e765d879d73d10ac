#include "FileSystemHelper/File.h"
#include "FileSystemHelper/Text.h"

#include "ExceptionHelper/Exception.h"
#include "ExceptionHelper/LastError.h"

#include <boost/scope_exit.hpp>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileSystemHelper
{
std::int64_t File::GetSize(FileHandle handle)
{
    struct stat status = {};
    if (::fstat(handle, &status) != 0)
    {
        ExceptionHelper::SetLastError(ExceptionHelper::ErrorFromErrno(errno));
        BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get file size"));
    }
    return static_cast<std::int64_t>(status.st_size);
}

bool File::Read(const std::wstring& path, std::vector<char>& data)
{
    const std::string narrowPath = ToNarrow(path, CodePageUtf8);
    // Opening a FIFO does not wait for a writer, and only a regular file is read.
    const int handle = ::open(narrowPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (handle < 0)
        return false;
    BOOST_SCOPE_EXIT_ALL(handle)
    {
        ::close(handle);
    };
    struct stat status = {};
    if (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode))
        return false;

    const std::int64_t size = GetSize(handle);
    // Like a file mapping, an empty file cannot be mapped.
    if (size <= 0)
        return false;
    void* view = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, handle, 0);
    if (view == MAP_FAILED)
        return false;
    BOOST_SCOPE_EXIT_ALL(view, size)
    {
        ::munmap(view, static_cast<std::size_t>(size));
    };

    data.resize(static_cast<std::size_t>(size));
    std::memcpy(data.data(), view, static_cast<std::size_t>(size));
    return true;
}

bool File::WriteAll(FileHandle handle, const char* data, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t written = ::write(handle, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool File::WriteAllAt(FileHandle handle, const char* data, std::size_t size, std::uint64_t offset)
{
    while (size > 0)
    {
        const ssize_t written = ::pwrite(handle, data, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
    return true;
}
} // namespace FileSystemHelper
