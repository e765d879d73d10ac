#include "FileSystem.h"
#include "NativeFiles.h"
#include "Text.h"

#include "FileSystemHelper/PrivateAccess.h"
#include "FileSystemHelper/WindowsPath.h"

#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
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

// Attributes of cloud files whose data is not on the disk: reading them, or for a folder listing
// it, would fetch it from the network.
const DWORD recallOnOpen = 0x00040000;
const DWORD recallOnDataAccess = 0x00400000;

// A file or folder whose content a filter supplies in place, opened as the reparse point it is,
// is opened again by reopen, through the filter, and kept only when that reaches the same file.
// One whose data is online only is not fetched, and that is reported.
OpenOutcome ThroughFilter(HANDLE first, bool folder, const std::function<HANDLE()>& reopen,
                          HANDLE& opened)
{
    opened = INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION before{};
    if (!HandleInformation(first, before) ||
        (before.dwFileAttributes &
         (FILE_ATTRIBUTE_OFFLINE | (folder ? recallOnOpen : recallOnDataAccess))))
        return OpenOutcome::Failed;
    const HANDLE again = reopen();
    if (again == INVALID_HANDLE_VALUE)
        return OpenOutcome::Failed;
    BY_HANDLE_FILE_INFORMATION after{};
    const FileIdentity was = IdentityFrom(before);
    if (!HandleInformation(again, after) || IdentityFrom(after).device != was.device ||
        IdentityFrom(after).inode != was.inode)
    {
        ::CloseHandle(again);
        return OpenOutcome::Gone;
    }
    opened = again;
    return OpenOutcome::Opened;
}

// While it lives, the system shows this thread no dialog for a drive without a disk (an empty
// card reader or optical drive) or for a file it cannot open: the call fails instead, and the
// scan goes on unattended.
class QuietCriticalErrors
{
public:
    QuietCriticalErrors()
        : set(::SetThreadErrorMode(::GetThreadErrorMode() | SEM_FAILCRITICALERRORS |
                                       SEM_NOOPENFILEERRORBOX,
                                   &previous) != 0)
    {
    }
    ~QuietCriticalErrors()
    {
        if (set)
            ::SetThreadErrorMode(previous, nullptr);
    }
    QuietCriticalErrors(const QuietCriticalErrors&) = delete;
    QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

private:
    DWORD previous = 0;
    bool set;
};

// A process whose token holds the backup privilege (an elevated administrator, a backup
// operator) gets it enabled as each scan starts: every open asks for backup intent, so files
// whose access list keeps even administrators out are read all the same. It grants reading only;
// removing or moving a file still takes the rights its access list gives. A token without the
// privilege is left as it is.
void EnableBackupPrivilege()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (::LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &privileges.Privileges[0].Luid))
        ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    ::CloseHandle(token);
}
} // namespace

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
    if (IsReparseTagNameSurrogate(tag))
        return Reparse::Link;
    // Cloud files carry their provider's variant in bits 12 to 15 of the tag.
    const DWORD cloud = 0x9000001A;
    const DWORD compressed = 0x80000017; // the system's file compression (WOF)
    const DWORD deduplicated = 0x80000013;
    return (tag & 0xFFFF0FFF) == cloud || tag == compressed || tag == deduplicated ? Reparse::Data
                                                                                   : Reparse::Other;
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
    const QuietCriticalErrors quiet;
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
    return FileSystemHelper::SplitWindowsPath(path, folder, name);
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
    // Trailing separators go, but not the one of a volume's or a share's top folder ("C:\",
    // "\\server\share\"), which is given one when it has none.
    const std::size_t root = FileSystemHelper::WindowsRootLength(wide);
    while (wide.size() > std::max<std::size_t>(root, 1) && IsSeparator(wide.back()))
        wide.pop_back();
    if (root > 0 && wide.size() == root && !IsSeparator(wide.back()))
        wide += L'\\';
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
    EnableBackupPrivilege();
    const QuietCriticalErrors quiet;
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

namespace
{
// One entry of the system's list of a file's streams.
struct StreamInformation
{
    ULONG NextEntryOffset;
    ULONG StreamNameLength;
    LARGE_INTEGER StreamSize;
    LARGE_INTEGER StreamAllocationSize;
    WCHAR StreamName[1];
};
const int fileStreamInformation = 22;

// Adds the named data streams of the file or folder as entries of their own, "name:stream": each
// is read and reported as an object of its own, and what an action does to one (removal) touches
// that stream only. A file whose streams cannot be listed is listed without them.
void AddStreams(HANDLE folder, const std::wstring& name, std::vector<FolderEntry>& entries)
{
    HANDLE opened = INVALID_HANDLE_VALUE;
    if (!NT_SUCCESS(OpenRelative(folder, name, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, false, opened)))
        return;
    const Descriptor held(NativeOf(opened));
    std::vector<unsigned char> buffer(4096);
    NTSTATUS status = STATUS_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 6; ++attempt)
    {
        IO_STATUS_BLOCK io{};
        status =
            ::NtQueryInformationFile(opened, &io, buffer.data(), static_cast<ULONG>(buffer.size()),
                                     static_cast<FILE_INFORMATION_CLASS>(fileStreamInformation));
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL)
            break;
        buffer.resize(buffer.size() * 4);
    }
    if (!NT_SUCCESS(status))
        return;
    const std::wstring dataSuffix = L":$DATA";
    for (std::size_t offset = 0;;)
    {
        if (offset + sizeof(StreamInformation) > buffer.size())
            return;
        const auto* stream = reinterpret_cast<const StreamInformation*>(&buffer[offset]);
        const std::size_t length = stream->StreamNameLength / sizeof(wchar_t);
        if (offset + offsetof(StreamInformation, StreamName) + length * sizeof(wchar_t) >
            buffer.size())
            return;
        // ":name:$DATA"; the file's own content is "::$DATA".
        const std::wstring streamName(stream->StreamName, length);
        if (streamName.size() > dataSuffix.size() + 1 && streamName[0] == L':' &&
            streamName.compare(streamName.size() - dataSuffix.size(), dataSuffix.size(),
                               dataSuffix) == 0)
            entries.push_back(
                {Utf8(name + streamName.substr(0, streamName.size() - dataSuffix.size())), false});
        if (stream->NextEntryOffset == 0)
            return;
        offset += stream->NextEntryOffset;
    }
}
} // namespace

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
            {
                entries.push_back(
                    {Utf8(name), (item->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
                AddStreams(HandleOf(folder), name, entries);
            }
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
    // A folder swapped for a junction or a link since it was listed is left out; a cloud folder
    // is entered through its filter; another reparse point is not entered, and that is reported.
    if (const Reparse reparse = ReparseOf(opened); reparse != Reparse::None)
    {
        HANDLE through = INVALID_HANDLE_VALUE;
        const OpenOutcome outcome =
            reparse != Reparse::Data
                ? (reparse == Reparse::Link ? OpenOutcome::Gone : OpenOutcome::Failed)
                : ThroughFilter(
                      opened, true,
                      [&]
                      {
                          HANDLE again = INVALID_HANDLE_VALUE;
                          OpenRelative(HandleOf(parent), WidePath(name), folderAccess, FILE_OPEN,
                                       FILE_DIRECTORY_FILE, true, again);
                          return again;
                      },
                      through);
        folder = std::make_shared<const Descriptor>(NativeOf(through));
        if (outcome != OpenOutcome::Opened)
            return outcome;
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
        EnableBackupPrivilege();
        const QuietCriticalErrors quiet;
        opened = ::CreateFileW(LongPath(nameOrPath).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS |
                                   (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                               nullptr);
        if (opened == INVALID_HANDLE_VALUE)
            return FailedOpen(::GetLastError());
    }
    file.Reset(NativeOf(opened));
    if (!followLink)
    {
        // A file swapped for a link since it was listed is not read; a cloud, compressed or
        // deduplicated file is read through its filter; another reparse point is not read, and
        // that is reported.
        if (const Reparse reparse = ReparseOf(opened); reparse != Reparse::None)
        {
            if (reparse != Reparse::Data)
            {
                file.Reset(-1);
                return reparse == Reparse::Link ? OpenOutcome::Gone : OpenOutcome::Failed;
            }
            HANDLE through = INVALID_HANDLE_VALUE;
            const OpenOutcome outcome = ThroughFilter(
                opened, false,
                [&]
                {
                    HANDLE again = INVALID_HANDLE_VALUE;
                    if (folder)
                        OpenRelative(HandleOf(*folder), WidePath(nameOrPath),
                                     FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_OPEN,
                                     FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, true, again);
                    else
                        again = ::CreateFileW(
                            LongPath(nameOrPath).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS,
                            nullptr);
                    return again;
                },
                through);
            file.Reset(NativeOf(through));
            if (outcome != OpenOutcome::Opened)
                return outcome;
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
    // A file whose content a filter supplies keeps its reparse point when read through it.
    status.regular =
        ::GetFileType(HandleOf(file)) == FILE_TYPE_DISK &&
        !(information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) &&
        (!(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
         ReparseOf(HandleOf(file)) == Reparse::Data);
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
    const QuietCriticalErrors quiet;
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
    // Open to this process's user, the system and administrators only, and to nothing its
    // parent would pass on; a folder that exists already gets that access list again, whatever
    // was done to it since.
    const std::wstring wide = LongPath(path);
    if (FileSystemHelper::CreatePrivateDirectory(wide))
        return IsFolder(path);
    if (::GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    const HANDLE opened = ::CreateFileW(
        wide.c_str(), FILE_READ_ATTRIBUTES | WRITE_DAC | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    const Descriptor held(NativeOf(opened));
    BY_HANDLE_FILE_INFORMATION information{};
    return HandleInformation(opened, information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           FileSystemHelper::MakePrivate(opened, true);
}

void RaiseOpenFileLimit()
{
    // Handles are not limited per process the way descriptors are.
}
} // namespace ThreatScannerEngine
