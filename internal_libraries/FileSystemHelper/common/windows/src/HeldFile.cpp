#include "FileSystemHelper/HeldFile.h"

#include "FileSystemHelper/PrivateAccess.h"
#include "FileSystemHelper/Text.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <windows.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace FileSystemHelper
{
// An open file cannot be deleted here, which is all the protection a log file needs: Hold and
// Create keep no handle. Only Lock does.
HeldFile::~HeldFile()
{
    Release();
}

void HeldFile::Release()
{
    // Closing the handle releases its lock.
    if (handle != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
}

LockResult HeldFile::Lock(const boost::filesystem::path& file, LockMode mode,
                          std::chrono::milliseconds wait)
{
    Release();
    const std::wstring name = WidePath(file);
    constexpr DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    // Whoever may open a lock file may hold it, shared or not, for as long as it likes: a new
    // lock file is kept to its user, the system and administrators, so that another user cannot
    // hold back their work. Others' runs then go on without it.
    HANDLE opened = INVALID_HANDLE_VALUE;
    if (mode == LockMode::Exclusive)
    {
        const PSECURITY_DESCRIPTOR privateSecurity = PrivateSecurity(false);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, privateSecurity, FALSE};
        opened = privateSecurity ? ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                 sharing, &attributes, OPEN_ALWAYS, flags, nullptr)
                                 : INVALID_HANDLE_VALUE;
        const DWORD error = ::GetLastError();
        ::LocalFree(privateSecurity);
        ::SetLastError(error);
    }
    if (mode == LockMode::Shared ||
        (opened == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED))
        opened = ::CreateFileW(name.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, flags,
                               nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return LockResult::Failed;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(opened, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    {
        ::CloseHandle(opened);
        return LockResult::Failed;
    }
    const DWORD lockFlags =
        LOCKFILE_FAIL_IMMEDIATELY | (mode == LockMode::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;)
    {
        OVERLAPPED whole{};
        if (::LockFileEx(opened, lockFlags, 0, MAXDWORD, MAXDWORD, &whole))
        {
            handle = reinterpret_cast<std::intptr_t>(opened);
            return LockResult::Locked;
        }
        const DWORD error = ::GetLastError();
        const bool busy = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING;
        const auto now = std::chrono::steady_clock::now();
        if (!busy || now >= deadline)
        {
            ::CloseHandle(opened);
            return busy ? LockResult::Busy : LockResult::Failed;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(20)));
    }
}

bool HeldFile::Hold(const boost::filesystem::path&)
{
    Release();
    return true;
}

// The file is open until the stream is closed, which protects it.
std::FILE* HeldFile::Create(const boost::filesystem::path& path, Access access, const char* mode)
{
    Release();
    return CreateNewFile(path, access, mode);
}

void RemoveUnheldFiles(const boost::filesystem::path& folder)
{
    boost::system::error_code error;
    std::vector<boost::filesystem::path> entries;
    for (boost::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error))
        entries.push_back(it->path());
    for (const boost::filesystem::path& entry : entries)
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(entry, ignored);
    }
}
} // namespace FileSystemHelper
