#include "FileSystem.h"
#include "NativeFiles.h"
#include "Text.h"

#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <sddl.h>
#include <vector>

namespace ThreatScannerEngine
{
namespace
{
bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// FILETIME (100 ns since 1601) as nanoseconds since 1970.
std::int64_t Nanoseconds(std::int64_t fileTime)
{
    return (fileTime - 116444736000000000LL) * 100;
}

std::int64_t Nanoseconds(const FILETIME& time)
{
    return Nanoseconds(static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime));
}

// The full path of what a Win32 path names, without the \\?\ prefix that adds.
std::wstring FullPath(const std::wstring& path)
{
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return {};
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return {};
    full.resize(length);
    return full;
}

const ACCESS_MASK folderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
} // namespace

PSECURITY_DESCRIPTOR PrivateSecurity(bool folder)
{
    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    std::vector<unsigned char> buffer(256);
    DWORD size = 0;
    bool known = ::GetTokenInformation(token, TokenUser, buffer.data(),
                                       static_cast<DWORD>(buffer.size()), &size) != 0;
    if (!known && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER)
    {
        buffer.resize(size);
        known = ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != 0;
    }
    ::CloseHandle(token);
    wchar_t* user = nullptr;
    if (!known ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &user))
        return nullptr;
    // Full access for this user, the system and administrators; the owner's implicit right to
    // change the access list is cut down to reading it (the owner rights entry), so that a file's
    // former owner cannot open it up again.
    const std::wstring inherit = folder ? L"OICI" : L"";
    std::wstring sddl = L"D:P";
    for (const std::wstring& sid :
         {std::wstring(L"S-1-5-18"), std::wstring(L"S-1-5-32-544"), std::wstring(user)})
        sddl += L"(A;" + inherit + L";0x1f01ff;;;" + sid + L")";
    sddl += L"(A;" + inherit + L";0x20000;;;S-1-3-4)";
    ::LocalFree(user);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return nullptr;
    return descriptor;
}

std::string Utf8(const std::wstring& text)
{
    std::string result;
    ToUtf8(text.c_str(), result);
    return result;
}

std::wstring WidePath(const std::string& path)
{
    return ToWide(path);
}

std::wstring LongPath(const std::string& path)
{
    const std::wstring wide = WidePath(path);
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\??\\", 0) == 0)
        return wide;
    const std::wstring full = FullPath(wide);
    if (full.empty())
        return wide;
    if (full.rfind(L"\\\\.\\", 0) == 0)
        return full; // devices
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

NTSTATUS OpenRelative(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                      ULONG disposition, ULONG options, bool follow, HANDLE& opened)
{
    opened = INVALID_HANDLE_VALUE;
    // One component only: the name can never lead out of the folder.
    if (name.empty() || name == L"." || name == L".." ||
        name.find_first_of(L"\\/") != std::wstring::npos || name.size() * sizeof(wchar_t) > 0xFFFE)
        return STATUS_OBJECT_NAME_INVALID;
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<PWSTR>(name.c_str());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, 0, folder, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status = ::NtCreateFile(
        &handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
        options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
            (follow ? 0 : FILE_OPEN_REPARSE_POINT),
        nullptr, 0);
    if (NT_SUCCESS(status))
        opened = handle;
    return status;
}

bool IsGone(NTSTATUS status)
{
    return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND ||
           status == STATUS_NOT_A_DIRECTORY || status == STATUS_FILE_IS_A_DIRECTORY ||
           status == STATUS_DELETE_PENDING || status == STATUS_OBJECT_NAME_INVALID;
}

Reparse ReparseOf(DWORD attributes, DWORD tag)
{
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return Reparse::None;
    return IsReparseTagNameSurrogate(tag) ? Reparse::Link : Reparse::Other;
}

Reparse ReparseOf(HANDLE opened)
{
    FILE_ATTRIBUTE_TAG_INFO information{};
    // What cannot be examined counts as a link: it is left alone.
    if (!::GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &information,
                                        sizeof information))
        return Reparse::Link;
    return ReparseOf(information.FileAttributes, information.ReparseTag);
}

bool HandleInformation(HANDLE file, BY_HANDLE_FILE_INFORMATION& information)
{
    return ::GetFileInformationByHandle(file, &information) != 0;
}

FileIdentity IdentityFrom(const BY_HANDLE_FILE_INFORMATION& information)
{
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                information.nFileIndexLow};
}

Descriptor::~Descriptor()
{
    if (fd != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(fd));
}

bool Descriptor::Close()
{
    const HANDLE value = reinterpret_cast<HANDLE>(fd);
    fd = -1;
    return ::CloseHandle(value) != 0;
}

NativeHandle OpenFolder(const std::string& path, bool noFollow)
{
    if (path.empty())
        return -1;
    const HANDLE folder = ::CreateFileW(
        LongPath(path).c_str(), folderAccess,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (noFollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!HandleInformation(folder, information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (noFollow && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)))
    {
        ::CloseHandle(folder);
        ::SetLastError(ERROR_DIRECTORY);
        return -1;
    }
    return NativeOf(folder);
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        return folder + name;
    return folder + "\\" + name;
}

bool SplitPath(const std::string& path, std::string& folder, std::string& name)
{
    const std::size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 == path.size())
        return false;
    folder = path.substr(0, slash);
    // The top folder of a drive keeps its separator: "C:" alone names the drive's current folder.
    if (folder.empty() || folder.back() == ':')
        folder = path.substr(0, slash + 1);
    name = path.substr(slash + 1);
    return true;
}

namespace
{
int RootError(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
               ? ThreatScanner::PathAccess
               : ThreatScanner::PathError;
}

int RootError(NTSTATUS status)
{
    return status == STATUS_ACCESS_DENIED || status == STATUS_SHARING_VIOLATION
               ? ThreatScanner::PathAccess
               : ThreatScanner::PathError;
}

// Opens the root's folder and examines the root inside it, without following a reparse point.
int ExamineRoot(WalkRoot& found, DWORD& attributes)
{
    std::wstring wide = FullPath(WidePath(found.path));
    if (wide.empty())
        return ThreatScanner::PathError;
    // Trailing separators go, but not the one of a drive's top folder ("C:\").
    while (wide.size() > 1 && IsSeparator(wide.back()) && wide[wide.size() - 2] != L':' &&
           !(wide.size() == 2 && IsSeparator(wide[0])))
        wide.pop_back();
    found.path = Utf8(wide);
    std::string parentPath;
    if (!SplitPath(found.path, parentPath, found.name))
    {
        parentPath = found.path;
        found.name.clear();
    }
    found.parent = std::make_shared<const Descriptor>(OpenFolder(parentPath, false));
    if (!found.parent->Valid())
        return RootError(::GetLastError());
    BY_HANDLE_FILE_INFORMATION information{};
    if (found.name.empty())
    {
        if (!HandleInformation(HandleOf(*found.parent), information))
            return RootError(::GetLastError());
    }
    else
    {
        HANDLE root = INVALID_HANDLE_VALUE;
        const NTSTATUS status = OpenRelative(HandleOf(*found.parent), WidePath(found.name),
                                             FILE_READ_ATTRIBUTES, FILE_OPEN, 0, false, root);
        if (!NT_SUCCESS(status))
            return RootError(status);
        const Descriptor held(NativeOf(root));
        if (!HandleInformation(root, information))
            return RootError(::GetLastError());
    }
    attributes = information.dwFileAttributes;
    found.identity = IdentityFrom(information);
    return ThreatScanner::Success;
}
} // namespace

int FindWalkRoot(const std::string& root, WalkRoot& found)
{
    found.path = root;
    DWORD attributes = 0;
    if (const int result = ExamineRoot(found, attributes); result != ThreatScanner::Success)
        return result;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    {
        // A link given as the root itself is followed, once, to where it leads.
        const HANDLE target =
            ::CreateFileW(LongPath(found.path).c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (target == INVALID_HANDLE_VALUE)
            return RootError(::GetLastError());
        const Descriptor held(NativeOf(target));
        std::wstring resolved(32768, L'\0');
        const DWORD length = ::GetFinalPathNameByHandleW(
            target, resolved.data(), static_cast<DWORD>(resolved.size()), VOLUME_NAME_DOS);
        if (length == 0 || length >= resolved.size())
            return RootError(::GetLastError());
        resolved.resize(length);
        if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0)
            resolved = L"\\\\" + resolved.substr(8);
        else if (resolved.rfind(L"\\\\?\\", 0) == 0)
            resolved = resolved.substr(4);
        found.path = Utf8(resolved);
        if (const int result = ExamineRoot(found, attributes); result != ThreatScanner::Success)
            return result;
    }
    // A reparse point still there after that is not a link: opening it fails, and says so.
    found.kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NodeKind::Folder : NodeKind::File;
    return ThreatScanner::Success;
}

bool ListFolder(const Descriptor& folder, std::vector<FolderEntry>& entries)
{
    std::vector<unsigned char> buffer(64 * 1024 + sizeof(FILE_ID_BOTH_DIR_INFO));
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;)
    {
        if (!::GetFileInformationByHandleEx(HandleOf(folder), kind, buffer.data(),
                                            static_cast<DWORD>(buffer.size())))
            return ::GetLastError() == ERROR_NO_MORE_FILES;
        kind = FileIdBothDirectoryInfo;
        std::size_t offset = 0;
        for (;;)
        {
            const auto* item = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(&buffer[offset]);
            const std::wstring name(item->FileName, item->FileNameLength / sizeof(wchar_t));
            // Links (symbolic links, junctions, mount points) are never entered or read. Other
            // reparse points are listed: opening them fails, and says so. A listing gives a
            // reparse point's tag where it gives extended attributes' size otherwise.
            if (name != L"." && name != L".." &&
                ReparseOf(item->FileAttributes, item->EaSize) != Reparse::Link &&
                !(item->FileAttributes & FILE_ATTRIBUTE_DEVICE))
                entries.push_back(
                    {Utf8(name), (item->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
            if (item->NextEntryOffset == 0)
                break;
            offset += item->NextEntryOffset;
        }
    }
}

OpenOutcome OpenSubfolder(const Descriptor& parent, const std::string& name, SharedFolder& folder,
                          FileIdentity& identity)
{
    HANDLE opened = INVALID_HANDLE_VALUE;
    const NTSTATUS status = OpenRelative(HandleOf(parent), WidePath(name), folderAccess, FILE_OPEN,
                                         FILE_DIRECTORY_FILE, false, opened);
    folder = std::make_shared<const Descriptor>(NativeOf(opened));
    if (!NT_SUCCESS(status))
        return IsGone(status) ? OpenOutcome::Gone : OpenOutcome::Failed;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!HandleInformation(opened, information))
        return OpenOutcome::Failed;
    // A folder swapped for a junction or a link since it was listed is left out; a folder whose
    // content a filter supplies is not entered, and that is reported.
    if (const Reparse reparse = ReparseOf(opened); reparse != Reparse::None)
    {
        folder = std::make_shared<const Descriptor>(-1);
        return reparse == Reparse::Link ? OpenOutcome::Gone : OpenOutcome::Failed;
    }
    identity = IdentityFrom(information);
    return OpenOutcome::Opened;
}

bool IdentityOf(const Descriptor& node, FileIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!HandleInformation(HandleOf(node), information))
        return false;
    identity = IdentityFrom(information);
    return true;
}

namespace
{
// The system's answers when an antivirus filter refuses to open a file it judged malware; the
// Win32 codes are missing from some SDK headers.
const DWORD errorVirusInfected = 225;
const DWORD errorVirusDeleted = 226;

OpenOutcome FailedOpen(NTSTATUS status)
{
    if (IsGone(status))
        return OpenOutcome::Gone;
    return status == STATUS_VIRUS_INFECTED || status == STATUS_VIRUS_DELETED ? OpenOutcome::Blocked
                                                                             : OpenOutcome::Failed;
}

OpenOutcome FailedOpen(DWORD error)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return OpenOutcome::Gone;
    return error == errorVirusInfected || error == errorVirusDeleted ? OpenOutcome::Blocked
                                                                     : OpenOutcome::Failed;
}
} // namespace

OpenOutcome OpenFileToRead(const Descriptor* folder, const std::string& nameOrPath, bool followLink,
                           Descriptor& file)
{
    HANDLE opened = INVALID_HANDLE_VALUE;
    if (folder)
    {
        const NTSTATUS status = OpenRelative(
            HandleOf(*folder), WidePath(nameOrPath), FILE_READ_DATA | FILE_READ_ATTRIBUTES,
            FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, followLink, opened);
        if (!NT_SUCCESS(status))
            return FailedOpen(status);
    }
    else
    {
        opened = ::CreateFileW(
            LongPath(nameOrPath).c_str(), GENERIC_READ,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_SEQUENTIAL_SCAN | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
        if (opened == INVALID_HANDLE_VALUE)
            return FailedOpen(::GetLastError());
    }
    file.Reset(NativeOf(opened));
    if (!followLink)
    {
        // A file swapped for a link since it was listed is not read; one whose content a filter
        // supplies is not read either, and that is reported.
        if (const Reparse reparse = ReparseOf(opened); reparse != Reparse::None)
        {
            file.Reset(-1);
            return reparse == Reparse::Link ? OpenOutcome::Gone : OpenOutcome::Failed;
        }
    }
    return OpenOutcome::Opened;
}

bool DescribeOpenFile(const Descriptor& file, OpenFileStatus& status)
{
    BY_HANDLE_FILE_INFORMATION information{};
    FILE_BASIC_INFO basic{};
    if (!HandleInformation(HandleOf(file), information) ||
        !::GetFileInformationByHandleEx(HandleOf(file), FileBasicInfo, &basic, sizeof basic))
        return false;
    status.regular =
        ::GetFileType(HandleOf(file)) == FILE_TYPE_DISK &&
        !(information.dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
    status.identity = IdentityFrom(information);
    status.size =
        (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    status.modified = Nanoseconds(information.ftLastWriteTime);
    status.changed = Nanoseconds(basic.ChangeTime.QuadPart);
    return true;
}

long long ReadSome(const Descriptor& file, void* buffer, std::size_t size)
{
    DWORD count = 0;
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!::ReadFile(HandleOf(file), buffer, chunk, &count, nullptr))
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return count;
}

long long ReadAt(const Descriptor& file, void* buffer, std::size_t size, std::uint64_t offset)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!::ReadFile(HandleOf(file), buffer, chunk, &count, &at))
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return count;
}

int ScanningDescriptor(const Descriptor&)
{
    return -1;
}

bool IsFolder(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(LongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderIdentity(const std::string& path, FileIdentity& identity)
{
    if (path.empty())
        return false;
    const Descriptor folder(OpenFolder(path, false));
    return folder.Valid() && IdentityOf(folder, identity);
}

bool MakePrivateFolder(const std::string& path)
{
    if (IsFolder(path))
        return true;
    // Open to this process's user, the system and administrators only, and to nothing its
    // parent would pass on.
    SECURITY_ATTRIBUTES security{sizeof security, PrivateSecurity(true), FALSE};
    if (!security.lpSecurityDescriptor)
        return false;
    const BOOL created = ::CreateDirectoryW(LongPath(path).c_str(), &security);
    ::LocalFree(security.lpSecurityDescriptor);
    return created && IsFolder(path);
}

void RaiseOpenFileLimit()
{
    // Handles are not limited per process the way descriptors are.
}
} // namespace ThreatScannerEngine
