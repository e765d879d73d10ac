#include "FileSystemHelper/Drives.h"

#include "ExceptionHelper/Exception.h"

#include <boost/make_shared.hpp>
#include <vector>
#include <windows.h>

namespace FileSystemHelper
{
namespace
{
// Whether a drive letter is a name for a folder of another drive (made with subst): its device
// is a path ("\??\C:\folder"), not a volume's or a network redirector's device.
bool IsSubstitute(const std::wstring& root)
{
    std::wstring target(1024, L'\0');
    const std::wstring name = root.substr(0, 2);
    const DWORD length =
        ::QueryDosDeviceW(name.c_str(), target.data(), static_cast<DWORD>(target.size()));
    return length > 4 && target.compare(0, 4, L"\\??\\") == 0;
}

bool IsDriveRoot(const std::wstring& path)
{
    return path.size() == 3 && path[1] == L':' && path[2] == L'\\';
}

// The volumes the drive letters miss: for each volume, the folders it is mounted on (a volume
// mounted in a folder of another drive is not entered by that drive's walk, which never follows
// a mount point), or, for a volume with no letter and no folder, its own name
// ("\\?\Volume{...}\").
void AddVolumesWithoutLetters(Drives::List& items)
{
    std::wstring volume(MAX_PATH + 1, L'\0');
    const HANDLE search = ::FindFirstVolumeW(volume.data(), static_cast<DWORD>(volume.size()));
    if (search == INVALID_HANDLE_VALUE)
        return;
    for (BOOL more = TRUE; more;
         more = ::FindNextVolumeW(search, volume.data(), static_cast<DWORD>(volume.size())))
    {
        const std::wstring name = volume.c_str();
        DWORD needed = 0;
        std::wstring paths(1024, L'\0');
        if (!::GetVolumePathNamesForVolumeNameW(name.c_str(), paths.data(),
                                                static_cast<DWORD>(paths.size()), &needed))
        {
            if (::GetLastError() != ERROR_MORE_DATA)
                continue;
            paths.assign(needed, L'\0');
            if (!::GetVolumePathNamesForVolumeNameW(name.c_str(), paths.data(), needed, &needed))
                continue;
        }
        bool lettered = false;
        std::vector<std::wstring> folders;
        for (std::size_t at = 0; at < paths.size() && paths[at] != L'\0';)
        {
            const std::wstring path = paths.c_str() + at;
            at += path.size() + 1;
            if (IsDriveRoot(path))
                lettered = true;
            else
                folders.push_back(path);
        }
        for (const std::wstring& folder : folders)
            items.push_back(boost::make_shared<Drive>(folder));
        if (!lettered && folders.empty())
            items.push_back(boost::make_shared<Drive>(name));
    }
    ::FindVolumeClose(search);
}
} // namespace

// The platform's list is a run of NUL-terminated root paths ("C:\", "D:\", ...) closed by one
// more NUL. Every drive is listed, whatever its type, but a drive letter that names a folder of
// another drive (subst) is left out, so that nothing is scanned twice; the volumes no letter
// reaches follow, by the folder they are mounted on or by their own name.
Drives::Drives()
{
    // An empty card reader or optical drive raises no "no disk" dialog while volumes are asked.
    struct QuietCriticalErrors
    {
        DWORD previous = 0;
        const bool set =
            ::SetThreadErrorMode(::GetThreadErrorMode() | SEM_FAILCRITICALERRORS, &previous) != 0;
        ~QuietCriticalErrors()
        {
            if (set)
                ::SetThreadErrorMode(previous, nullptr);
        }
    } quiet;
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
        if (end > start && !IsSubstitute(buffer.substr(start, end - start)))
            items.push_back(boost::make_shared<Drive>(buffer.substr(start, end - start)));
        start = end + 1;
    }
    AddVolumesWithoutLetters(items);
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
