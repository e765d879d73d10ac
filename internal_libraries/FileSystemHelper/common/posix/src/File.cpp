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

namespace
{
// Writes size bytes in as many calls of write(data, size, done) as it takes, done counting the
// bytes already written; an interrupted call is made again.
template <typename Write> bool WriteInParts(const char* data, std::size_t size, Write write)
{
    for (std::uint64_t done = 0; size > 0;)
    {
        const ssize_t written = write(data, size, done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
        done += static_cast<std::uint64_t>(written);
    }
    return true;
}
} // namespace

bool File::WriteAll(FileHandle handle, const char* data, std::size_t size)
{
    return WriteInParts(data, size,
                        [handle](const char* part, std::size_t count, std::uint64_t)
                        { return ::write(handle, part, count); });
}

bool File::WriteAllAt(FileHandle handle, const char* data, std::size_t size, std::uint64_t offset)
{
    return WriteInParts(data, size,
                        [handle, offset](const char* part, std::size_t count, std::uint64_t done) {
                            return ::pwrite(handle, part, count, static_cast<off_t>(offset + done));
                        });
}
} // namespace FileSystemHelper
