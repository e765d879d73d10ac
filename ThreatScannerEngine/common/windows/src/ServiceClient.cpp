#include "ServiceClient.h"
#include "FileSystem.h"
#include "NativeFiles.h"

#include "FileSystemHelper/File.h"

#include <algorithm>
#include <vector>
#include <windows.h>

namespace ThreatScannerEngine
{
NativeHandle FolderToPass(const std::string& folder)
{
    // Attributes only: the service compares the folder's identity with its own folder's.
    const HANDLE opened =
        ::CreateFileW(LongPath(folder).c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return opened == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<NativeHandle>(opened);
}

NativeHandle PassableHandle(const Descriptor& file)
{
    // The service reads through a duplicate, which shares the file's position.
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(reinterpret_cast<HANDLE>(file.Get()), start, nullptr, FILE_BEGIN)
               ? file.Get()
               : -1;
}

NativeHandle FileOfBytes(const void* data, std::size_t size)
{
    // A temporary file of this user's own, which the system removes when its last handle (the
    // service's duplicate too) closes.
    std::vector<wchar_t> folder(MAX_PATH + 1);
    std::vector<wchar_t> name(MAX_PATH + 1);
    if (::GetTempPathW(static_cast<DWORD>(folder.size()), folder.data()) == 0 ||
        ::GetTempFileNameW(folder.data(), L"eng", 0, name.data()) == 0)
        return -1;
    const HANDLE created = ::CreateFileW(
        name.data(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (created == INVALID_HANDLE_VALUE)
    {
        ::DeleteFileW(name.data());
        return -1;
    }
    Descriptor file(reinterpret_cast<NativeHandle>(created));
    if (!FileSystemHelper::File::WriteAll(created, static_cast<const char*>(data), size))
        return -1;
    return PassableHandle(file) == -1 ? -1 : file.Release();
}
} // namespace ThreatScannerEngine
