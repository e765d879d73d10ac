// The Windows half: files that are open elsewhere cannot be moved or deleted (the engine may be
// reading the definitions), folders cannot be swapped in one step, and links (symbolic links,
// junctions) inside the installation are never followed.
#include "Platform.h"

#include "Failure.h"

#include "FileSystemHelper/Text.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace UpdateServiceCom::Platform
{
namespace
{
struct HandleCloser
{
    void operator()(HANDLE handle) const
    {
        if (handle && handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

std::string Utf8(const std::wstring& text)
{
    return FileSystemHelper::ToNarrow(text, FileSystemHelper::CodePageUtf8);
}

std::string Describe(const std::filesystem::path& path)
{
    return Utf8(path.wstring());
}

[[noreturn]] void Fail(const std::string& what, const std::filesystem::path& path, DWORD error)
{
    throw Failure(LocalFileError,
                  "Couldn't " + what + " " + Describe(path) + ": error " + std::to_string(error));
}

// Whether an error means that another process has the file open (or a folder inside it).
bool InUse(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED || error == ERROR_DIR_NOT_EMPTY;
}

// Runs attempt until it succeeds, fails for another reason than a file in use, or a scan that
// is reading the definitions had time enough to finish loading them. Returns the last error.
template <typename Attempt> DWORD WhileInUse(Attempt attempt)
{
    constexpr int Attempts = 200; // 10 seconds
    for (int tried = 1;; ++tried)
    {
        const DWORD error = attempt();
        if (error == ERROR_SUCCESS || !InUse(error) || tried >= Attempts)
            return error;
        ::Sleep(50);
    }
}

bool IsLink(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes a folder's content, then the folder. The folder is held open, not shared for deleting
// or renaming, so that it cannot be swapped for a link while its entries are removed by name.
DWORD RemoveFolder(const std::wstring& folder)
{
    Handle held(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (held.get() == INVALID_HANDLE_VALUE)
        return ::GetLastError();
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(held.get(), &information))
        return ::GetLastError();
    if (IsLink(information.dwFileAttributes))
    {
        held.reset();
        return ::RemoveDirectoryW(folder.c_str()) ? ERROR_SUCCESS : ::GetLastError();
    }
    WIN32_FIND_DATAW entry{};
    HANDLE search = ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return ::GetLastError();
    DWORD result = ERROR_SUCCESS;
    do
    {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + L"\\" + name;
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        DWORD error = ERROR_SUCCESS;
        if (isFolder && !IsLink(entry.dwFileAttributes))
            error = RemoveFolder(path);
        else if (!(isFolder ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str())))
            error = ::GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && result == ERROR_SUCCESS)
            result = error;
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    held.reset();
    if (result != ERROR_SUCCESS)
        return result;
    return ::RemoveDirectoryW(folder.c_str()) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD RemoveEntry(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS
                                                                              : error;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ::DeleteFileW(path.c_str()) ? ERROR_SUCCESS : ::GetLastError();
    const DWORD error = IsLink(attributes)
                            ? (::RemoveDirectoryW(path.c_str()) ? ERROR_SUCCESS : ::GetLastError())
                            : RemoveFolder(path);
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
}

} // namespace

void SyncFile(const std::filesystem::path& file)
{
    Handle handle(::CreateFileW(file.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE)
        Fail("open", file, ::GetLastError());
    if (!::FlushFileBuffers(handle.get()))
        Fail("flush", file, ::GetLastError());
}

void SyncFolder(const std::filesystem::path&)
{
    // A folder's entries cannot be flushed through a handle on Windows; renames are written
    // through instead (MOVEFILE_WRITE_THROUGH), and the file system journals its metadata.
}

bool ExchangeFolders(const std::filesystem::path&, const std::filesystem::path&)
{
    return false;
}

void Rename(const std::filesystem::path& from, const std::filesystem::path& to)
{
    // A file replaces a file of the target name, as on POSIX; a folder never replaces anything.
    const DWORD error = WhileInUse(
        [&]
        {
            return ::MoveFileExW(from.c_str(), to.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                       ? ERROR_SUCCESS
                       : ::GetLastError();
        });
    if (error != ERROR_SUCCESS)
        Fail("rename to " + Describe(to), from, error);
}

void RemoveAll(const std::filesystem::path& path)
{
    const DWORD error = WhileInUse([&] { return RemoveEntry(path.wstring()); });
    if (error != ERROR_SUCCESS)
        Fail("remove", path, error);
}

bool TryRemoveAll(const std::filesystem::path& path)
{
    return RemoveEntry(path.wstring()) == ERROR_SUCCESS;
}

std::string EnginePath(const std::filesystem::path& path)
{
    return Describe(path);
}

std::filesystem::path LibraryFolder()
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&LibraryFolder), &module))
        throw Failure(Internal, "Couldn't find the library's own file");
    std::wstring name(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD length =
            ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            throw Failure(Internal, "Couldn't find the library's own file");
        if (length < name.size())
        {
            name.resize(length);
            return std::filesystem::path(name).parent_path();
        }
        name.resize(name.size() * 2);
    }
}

std::filesystem::path ToPath(const wchar_t* text)
{
    return std::filesystem::path(std::wstring(text));
}

void KillThisProcess()
{
    ::TerminateProcess(::GetCurrentProcess(), 137);
    std::_Exit(137);
}

FileLock::~FileLock()
{
    Unlock();
}

bool FileLock::TryLock(const std::filesystem::path& file)
{
    Unlock();
    const HANDLE opened =
        ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        throw Failure(LocalFileError, "Couldn't open " + Describe(file));
    handle = reinterpret_cast<std::intptr_t>(opened);
    OVERLAPPED whole{};
    if (::LockFileEx(opened, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                     MAXDWORD, &whole))
        return true;
    Unlock();
    return false;
}

void FileLock::Unlock()
{
    // Closing the handle releases the lock.
    if (handle != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
}
} // namespace UpdateServiceCom::Platform
