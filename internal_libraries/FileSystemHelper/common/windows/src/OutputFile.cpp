#include "FileSystemHelper/OutputFile.h"
#include "FileSystemHelper/File.h"
#include "FileSystemHelper/PrivateAccess.h"
#include "FileSystemHelper/Text.h"

#include <boost/filesystem/operations.hpp>
#include <fcntl.h>
#include <io.h>
#include <random>
#include <windows.h>

// Folders and files take the permissions their folder passes on; what Access says is kept by the
// program folder's own permissions there. A private folder gets an access list of its own.
namespace FileSystemHelper
{
bool MayCreateIn(const boost::filesystem::path& folder)
{
    // Opening the folder for adding a file is granted exactly when a file could be created in it.
    const HANDLE opened =
        ::CreateFileW(WidePath(folder).c_str(), FILE_ADD_FILE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(opened);
    return true;
}

namespace
{
class Handle
{
public:
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle()
    {
        if (Valid())
            ::CloseHandle(handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return handle && handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle; }
    HANDLE Release()
    {
        const HANDLE released = handle;
        handle = INVALID_HANDLE_VALUE;
        return released;
    }

private:
    HANDLE handle;
};

// True when nothing has the name, or a plain disk file does: no reparse point (a symbolic link,
// a junction), no folder, no device or pipe.
bool FreeOrRegular(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND;
    }
    if (attributes &
        (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return false;
    const Handle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file.Valid() && ::GetFileType(file.Get()) == FILE_TYPE_DISK;
}

} // namespace

bool CreateFolders(const boost::filesystem::path& folder, Access)
{
    boost::system::error_code error;
    boost::filesystem::create_directories(folder, error);
    return boost::filesystem::is_directory(folder, error);
}

bool CreatePrivateFolder(const boost::filesystem::path& folder)
{
    if (!CreateFolders(folder, Access::Private))
        return false;
    // The folder itself, not a junction planted at the name, gets an access list of its own:
    // this process's user, the system and administrators, nothing passed on from its parent.
    const Handle opened(::CreateFileW(
        folder.wstring().c_str(), FILE_READ_ATTRIBUTES | WRITE_DAC | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    return opened.Valid() && ::GetFileInformationByHandle(opened.Get(), &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           MakePrivate(opened.Get(), true);
}

bool SaveWholeFile(const boost::filesystem::path& path, const std::string& data, Access)
{
    const boost::filesystem::path name = path.filename();
    if (name.empty() || name == "." || name == "..")
        return false;
    const boost::filesystem::path parent = path.has_parent_path() ? path.parent_path() : ".";
    // The folder is held, not shared for deletion: it can be neither renamed nor removed while
    // the file is written into it.
    const Handle folder(::CreateFileW(parent.wstring().c_str(), FILE_LIST_DIRECTORY,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.Valid() || !FreeOrRegular(path.wstring()))
        return false;

    static thread_local std::mt19937_64 random{std::random_device{}()};
    boost::filesystem::path temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && created == INVALID_HANDLE_VALUE; ++attempt)
    {
        // Made of wide text: the name may hold letters outside the ANSI code page.
        temporary = parent / (L"." + name.wstring() + L"." +
                              std::to_wstring(random() % 1000000000000ull) + L".tmp");
        created = ::CreateFileW(temporary.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    Handle file(created);
    if (!file.Valid())
        return false;
    const bool written =
        File::WriteAll(file.Get(), data.data(), data.size()) && ::FlushFileBuffers(file.Get());
    ::CloseHandle(file.Release());
    // A move replaces a link of the name itself, never what it points at.
    if (!written || !::MoveFileExW(temporary.wstring().c_str(), path.wstring().c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    {
        ::DeleteFileW(temporary.wstring().c_str());
        return false;
    }
    return true;
}

std::FILE* CreateNewFile(const boost::filesystem::path& path, Access, const char* mode)
{
    // Shared for reading and writing, as a log is: another process may read it meanwhile.
    Handle file(::CreateFileW(path.wstring().c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid())
        return nullptr;
    const bool binary = mode && std::string(mode).find('b') != std::string::npos;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.Get()),
                                     _O_WRONLY | (binary ? _O_BINARY : _O_TEXT));
    if (fd < 0)
        return nullptr;
    file.Release();
    std::FILE* stream = ::_fdopen(fd, mode);
    if (!stream)
        ::_close(fd);
    return stream;
}
} // namespace FileSystemHelper
