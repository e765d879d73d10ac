// The Windows half: files that are open elsewhere cannot be moved or deleted (the engine may be
// reading the definitions), folders cannot be swapped in one step, and links (symbolic links,
// junctions) inside the installation are never followed.
#include "Platform.h"

#include "Failure.h"

#include "FileSystemHelper/File.h"
#include "FileSystemHelper/Text.h"
#include "ScanProtocol/Channel.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

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

// Whether the user may not delete or rename the entry, or not add to the folder it would go
// into. An open handle under a folder also makes its rename fail as access denied, but it does
// not make these opens fail (at most as a sharing violation): a denial they meet too is the
// user's rights, which waiting does not change.
bool LacksRights(const std::filesystem::path& entry, const std::filesystem::path& into)
{
    const auto denied = [](const std::filesystem::path& path, DWORD access)
    {
        const Handle opened(::CreateFileW(
            path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return opened.get() == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED;
    };
    return denied(entry, DELETE) ||
           (!into.empty() && denied(into, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY));
}

// Runs attempt until it succeeds, fails for another reason than a file in use, or wait has
// passed. An access denial that the user's rights explain (LacksRights of entry and into) ends it
// at once. Returns the last error.
template <typename Attempt>
DWORD WhileInUse(Attempt attempt, std::chrono::milliseconds wait,
                 const std::filesystem::path& entry, const std::filesystem::path& into = {})
{
    const int attempts = static_cast<int>(std::max<long long>(wait.count() / 50, 0)) + 1;
    for (int tried = 1;; ++tried)
    {
        const DWORD error = attempt();
        if (error == ERROR_SUCCESS || !InUse(error) || tried >= attempts)
            return error;
        if (error == ERROR_ACCESS_DENIED && tried == 1 && LacksRights(entry, into))
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

void Rename(const std::filesystem::path& from, const std::filesystem::path& to,
            std::chrono::milliseconds inUse)
{
    // A file replaces a file of the target name, as on POSIX; a folder never replaces anything.
    const DWORD error = WhileInUse(
        [&]
        {
            return ::MoveFileExW(from.c_str(), to.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                       ? ERROR_SUCCESS
                       : ::GetLastError();
        },
        inUse, from, to.parent_path());
    if (error != ERROR_SUCCESS)
        Fail("rename to " + Describe(to), from, error);
}

void RemoveAll(const std::filesystem::path& path, std::chrono::milliseconds inUse)
{
    const DWORD error = WhileInUse([&] { return RemoveEntry(path.wstring()); }, inUse, path);
    if (error != ERROR_SUCCESS)
        Fail("remove", path, error);
}

bool TryRemoveAll(const std::filesystem::path& path)
{
    return RemoveEntry(path.wstring()) == ERROR_SUCCESS;
}

ScanProtocol::OwnedDescriptor OpenFolderToPass(const std::filesystem::path& folder)
{
    // What the service is passed: listing the folder and opening its files relative to it.
    ScanProtocol::OwnedDescriptor opened(reinterpret_cast<std::intptr_t>(::CreateFileW(
        folder.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    // INVALID_HANDLE_VALUE is -1, the value of no handle.
    BY_HANDLE_FILE_INFORMATION information{};
    if (opened.Get() == -1 ||
        !::GetFileInformationByHandle(reinterpret_cast<HANDLE>(opened.Get()), &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {};
    return opened;
}

std::string EnginePath(const std::filesystem::path& path)
{
    return Describe(path);
}

std::filesystem::path ToPath(const wchar_t* text)
{
    return std::filesystem::path(std::wstring(text));
}

std::filesystem::path PathFromUtf8(const std::string& text)
{
    const std::wstring wide = FileSystemHelper::ToWide(text, FileSystemHelper::CodePageUtf8);
    if (wide.empty() && !text.empty())
        throw Failure(Internal, "Couldn't convert a path from UTF-8");
    return std::filesystem::path(wide);
}

namespace
{
[[noreturn]] void Unsafe(const std::string& what)
{
    throw Failure(SourceUnsafe, what);
}

// The user this process runs as.
std::vector<unsigned char> CurrentUser()
{
    HANDLE token = nullptr;
    std::vector<unsigned char> user;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return user;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
    {
        const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        const auto* bytes = static_cast<const unsigned char*>(sid);
        user.assign(bytes, bytes + ::GetLengthSid(sid));
    }
    ::CloseHandle(token);
    return user;
}

// Administrators, the system, the installer service and the user running the update may own or
// change what the update reads; nobody else.
bool Trusted(PSID sid)
{
    if (!sid || !::IsValidSid(sid))
        return false;
    if (::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
        ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinCreatorOwnerSid))
        return true;
    static const std::vector<unsigned char> user = CurrentUser();
    static const std::wstring installer =
        L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    LPWSTR text = nullptr;
    bool trusted = !user.empty() && ::EqualSid(sid, const_cast<unsigned char*>(user.data()));
    if (!trusted && ::ConvertSidToStringSidW(sid, &text))
    {
        trusted = installer == text;
        ::LocalFree(text);
    }
    return trusted;
}

// True when the object's owner is trusted and no one else may write to it, delete it, or change
// who may.
bool OwnedAndGuarded(HANDLE object)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                          &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    constexpr ACCESS_MASK changes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                    FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                    WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    // No access list at all lets everyone do everything.
    bool guarded = Trusted(owner) && dacl;
    for (DWORD at = 0; guarded && at < dacl->AceCount; ++at)
    {
        void* entry = nullptr;
        if (!::GetAce(dacl, at, &entry))
        {
            guarded = false;
            break;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & changes) && !Trusted(reinterpret_cast<PSID>(&allowed->SidStart)))
            guarded = false;
    }
    ::LocalFree(descriptor);
    return guarded;
}

std::wstring Child(const std::filesystem::path& folder, const std::string& name)
{
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("\\/:") != std::string::npos)
        Unsafe(name + " is not a file name");
    return (folder / PathFromUtf8(name)).wstring();
}

// Opens a file of the source folder for reading once it has passed the rules.
Handle OpenSourceFile(const std::filesystem::path& folder, const std::string& name,
                      const std::string& description)
{
    Handle file(::CreateFileW(Child(folder, name).c_str(), GENERIC_READ | READ_CONTROL,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        throw Failure(LocalFileError, "Couldn't open " + description + ": error " +
                                          std::to_string(::GetLastError()));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ||
        !OwnedAndGuarded(file.get()))
        Unsafe(description +
               " is not a plain file of the administrators' that only they may change");
    return file;
}
} // namespace

SourceFolder::SourceFolder(const std::filesystem::path& folder) : description(Describe(folder))
{
    if (!folder.is_absolute())
        Unsafe("The source folder " + description + " is not an absolute path");
    // Held without sharing deletion, so that the folder cannot be renamed or replaced while the
    // update reads from it; its files are then opened below the same path.
    HANDLE opened =
        ::CreateFileW(folder.wstring().c_str(), FILE_LIST_DIRECTORY | READ_CONTROL,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            throw Failure(SourceIncomplete, "There is no folder " + description);
        Fail("open", folder, error);
    }
    Handle held(opened);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(opened, &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        Unsafe("The source folder " + description + " is a link or not a folder");
    if (!OwnedAndGuarded(opened))
        Unsafe("The source folder " + description +
               " belongs to another user or others may write to it");
    path = folder;
    handle = reinterpret_cast<std::intptr_t>(held.release());
}

SourceFolder::~SourceFolder()
{
    if (handle != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::vector<std::string> SourceFolder::Names() const
{
    std::vector<std::string> names;
    std::vector<unsigned char> buffer(64 * 1024 + sizeof(FILE_ID_BOTH_DIR_INFO));
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;)
    {
        if (!::GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(handle), kind, buffer.data(),
                                            static_cast<DWORD>(buffer.size())))
        {
            if (::GetLastError() == ERROR_NO_MORE_FILES)
                return names;
            throw Failure(LocalFileError, "Couldn't list " + description);
        }
        kind = FileIdBothDirectoryInfo;
        for (std::size_t offset = 0;;)
        {
            const auto* item = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(&buffer[offset]);
            const std::wstring name(item->FileName, item->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                names.push_back(Utf8(name));
            if (item->NextEntryOffset == 0)
                break;
            offset += item->NextEntryOffset;
        }
    }
}

std::string SourceFolder::ReadStart(const std::string& name, std::size_t bytes,
                                    std::uint64_t& size) const
{
    const Handle file = OpenSourceFile(path, name, description + "\\" + name);
    LARGE_INTEGER length{};
    size = ::GetFileSizeEx(file.get(), &length) ? static_cast<std::uint64_t>(length.QuadPart) : 0;
    std::string start(bytes, '\0');
    std::size_t done = 0;
    while (done < bytes)
    {
        DWORD count = 0;
        if (!::ReadFile(file.get(), start.data() + done, static_cast<DWORD>(bytes - done), &count,
                        nullptr) ||
            count == 0)
            break;
        done += count;
    }
    start.resize(done);
    return start;
}

std::uint64_t SourceFolder::CopyTo(const std::string& name, const std::filesystem::path& target,
                                   std::uint64_t maxBytes,
                                   const std::function<void(std::uint64_t)>& progress) const
{
    const std::string what = description + "\\" + name;
    const Handle file = OpenSourceFile(path, name, what);
    Handle copy(::CreateFileW(target.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (copy.get() == INVALID_HANDLE_VALUE)
        throw Failure(LocalFileError, "Couldn't create " + Describe(target));
    std::vector<char> buffer(1 << 16);
    std::uint64_t total = 0;
    bool failed = false;
    for (;;)
    {
        DWORD count = 0;
        if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count,
                        nullptr))
        {
            failed = true;
            break;
        }
        if (count == 0)
            break;
        total += count;
        if (total > maxBytes || !FileSystemHelper::File::WriteAll(copy.get(), buffer.data(), count))
        {
            failed = true;
            break;
        }
        progress(total);
    }
    copy.reset();
    if (failed)
    {
        ::DeleteFileW(target.wstring().c_str());
        throw Failure(total > maxBytes ? Oversized : LocalFileError, "Couldn't copy " + what);
    }
    return total;
}

void KillThisProcess()
{
    ::TerminateProcess(::GetCurrentProcess(), 137);
    std::_Exit(137);
}
} // namespace UpdateServiceCom::Platform
