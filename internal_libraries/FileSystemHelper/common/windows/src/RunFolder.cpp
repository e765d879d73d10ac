#include "FileSystemHelper/RunFolder.h"
#include "FileSystemHelper/PrivateAccess.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <vector>
#include <windows.h>

namespace FileSystemHelper
{
namespace
{
// Opens a folder itself, never a reparse point in its place, asking for the right to remove it:
// refused while another process holds it open without sharing that right.
HANDLE OpenFolder(const boost::filesystem::path& folder, DWORD access, DWORD sharing)
{
    return ::CreateFileW(folder.wstring().c_str(), access, sharing, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}
} // namespace

// Open to this process's user, the system and administrators from the start, whatever the
// shared folder passes on: other users can neither read nor swap what the engine extracts there.
bool RunFolder::Create(const boost::filesystem::path& folder)
{
    return CreatePrivateDirectory(folder.wstring());
}

// A handle that does not share the right to remove the folder: while it is open, neither the
// folder nor any folder above it can be removed or renamed.
bool RunFolder::Hold()
{
    const HANDLE opened =
        OpenFolder(path, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(opened, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    {
        ::CloseHandle(opened);
        return false;
    }
    handle = reinterpret_cast<std::intptr_t>(opened);
    return true;
}

// The folder cannot be removed while this process holds it, so it is let go first.
void RunFolder::Release()
{
    if (handle != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
}

void RemoveAbandonedRunFolders(const boost::filesystem::path& parent, const std::string& prefix)
{
    // The prefix is ASCII; names are compared as the system keeps them.
    const std::wstring widePrefix(prefix.begin(), prefix.end());
    boost::system::error_code error;
    std::vector<boost::filesystem::path> found;
    for (boost::filesystem::directory_iterator it(parent, error), end; !error && it != end;
         it.increment(error))
    {
        if (it->path().filename().wstring().compare(0, widePrefix.size(), widePrefix) == 0)
            found.push_back(it->path());
    }
    for (const boost::filesystem::path& folder : found)
    {
        const HANDLE probe = OpenFolder(folder, DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        if (probe == INVALID_HANDLE_VALUE)
            continue; // held by a running process, or already gone
        BY_HANDLE_FILE_INFORMATION information{};
        const bool folderItself = ::GetFileInformationByHandle(probe, &information) &&
                                  !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        ::CloseHandle(probe);
        boost::system::error_code ignored;
        if (folderItself)
            boost::filesystem::remove_all(folder, ignored);
    }
}
} // namespace FileSystemHelper
