#include "FileSystemHelper/File.h"

#include "ExceptionHelper/Exception.h"

#include <boost/scope_exit.hpp>
#include <cstring>
#include <windows.h>

namespace FileSystemHelper
{
std::int64_t File::GetSize(FileHandle handle)
{
    LARGE_INTEGER size = {};
    if (::GetFileSizeEx(handle, &size) != 1)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Windows("Couldn't get file size"));
    return static_cast<std::int64_t>(size.QuadPart);
}

bool File::Read(const std::wstring& path, std::vector<char>& data)
{
    const HANDLE file = ::CreateFileW(path.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BOOST_SCOPE_EXIT_ALL(file)
    {
        ::CloseHandle(file);
    };
    // Only a file on a disk is read, never a device or a pipe.
    if (::GetFileType(file) != FILE_TYPE_DISK)
        return false;

    const std::int64_t size = GetSize(file);
    // An empty file cannot be mapped: the mapping fails and so does the read.
    const HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping || mapping == INVALID_HANDLE_VALUE)
        return false;
    BOOST_SCOPE_EXIT_ALL(mapping)
    {
        ::CloseHandle(mapping);
    };

    const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    if (!view)
        return false;
    BOOST_SCOPE_EXIT_ALL(view)
    {
        ::UnmapViewOfFile(view);
    };

    data.resize(static_cast<std::size_t>(size));
    std::memcpy(data.data(), view, static_cast<std::size_t>(size));
    return true;
}

bool File::WriteAll(FileHandle handle, const char* data, std::size_t size)
{
    while (size > 0)
    {
        // WriteFile takes a 32-bit count.
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(handle, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool File::WriteAllAt(FileHandle handle, const char* data, std::size_t size, std::uint64_t offset)
{
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) &&
           WriteAll(handle, data, size);
}
} // namespace FileSystemHelper
