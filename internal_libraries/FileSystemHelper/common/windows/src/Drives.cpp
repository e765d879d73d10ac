#include "FileSystemHelper/Drives.h"

#include "ExceptionHelper/Exception.h"

#include <boost/make_shared.hpp>
#include <windows.h>

namespace FileSystemHelper
{
// The platform's list is a run of NUL-terminated root paths ("C:\", "D:\", ...) closed by one
// more NUL; every drive is listed, whatever its type.
Drives::Drives()
{
    const DWORD size = ::GetLogicalDriveStringsW(0, nullptr);
    if (size == 0)
        BOOST_THROW_EXCEPTION(
            ExceptionHelper::Exception("Couldn't get logical drive strings buffer size"));
    std::wstring buffer(size, L'\0');
    const DWORD written = ::GetLogicalDriveStringsW(size, &buffer[0]);
    if (written == 0)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't get logical drive strings"));
    // A drive added between the two calls makes the second ask for more room; the buffer then
    // holds nothing usable.
    if (written > size)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't get logical drive strings"));

    std::size_t start = 0;
    while (start < buffer.size())
    {
        std::size_t end = buffer.find(L'\0', start);
        if (end == std::wstring::npos)
            end = buffer.size();
        if (end > start)
            items.push_back(boost::make_shared<Drive>(buffer.substr(start, end - start)));
        start = end + 1;
    }
}

DriveType DriveTypeOf(const std::wstring& rootPath)
{
    // The platform reads an empty string as the current folder's drive; an empty root names
    // no drive.
    if (rootPath.empty())
        return DriveNoRootDir;
    return static_cast<DriveType>(::GetDriveTypeW(rootPath.c_str()));
}
} // namespace FileSystemHelper
