#include "Actions.h"
#include "FileSystem.h"
#include "NativeFiles.h"

#include <winioctl.h>

#include "FileSystemHelper/File.h"
#include "FileSystemHelper/PrivateAccess.h"
#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace ThreatScannerEngine
{
namespace
{
// The rename class of the system's file information call.
constexpr int fileRenameInformation = 10;

// Opens the scanned file inside its held folder, never through a reparse point, and only when
// it is still the file that was scanned; what is done with it afterwards is done through this
// handle, so a name swapped after the check changes nothing.
bool OpenScannedFile(const ActionTarget& target, ACCESS_MASK access, Descriptor& file,
                     DWORD& attributes, bool* denied = nullptr)
{
    HANDLE opened = INVALID_HANDLE_VALUE;
    const NTSTATUS status = OpenRelative(reinterpret_cast<HANDLE>(target.folder),
                                         WidePath(target.name), access | FILE_READ_ATTRIBUTES,
                                         FILE_OPEN, FILE_NON_DIRECTORY_FILE, false, opened);
    if (denied)
        *denied = status == static_cast<NTSTATUS>(0xC0000022L); // STATUS_ACCESS_DENIED
    if (!NT_SUCCESS(status))
        return false;
    file.Reset(NativeOf(opened));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!HandleInformation(opened, information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    const FileIdentity found = IdentityFrom(information);
    attributes = information.dwFileAttributes;
    return found.device == target.identity.device && found.inode == target.identity.inode;
}

// Marks the open file for removal; it goes when the last handle to it is closed. A read-only
// file is made writable first: the attribute keeps nobody from removing it on POSIX systems
// either.
bool RemoveThrough(HANDLE file, DWORD attributes)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition))
        return true;
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) &&
           ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                        sizeof disposition);
}

// Creates a new file in the folder, for writing; fails when the name is taken.
NTSTATUS CreateIn(HANDLE folder, const std::string& name, HANDLE& created)
{
    return OpenRelative(folder, WidePath(name), FILE_WRITE_DATA | FILE_READ_DATA | DELETE,
                        FILE_CREATE, FILE_NON_DIRECTORY_FILE, false, created);
}

// Removes a file this process made in the folder.
void RemoveIn(HANDLE folder, const std::string& name)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!NT_SUCCESS(OpenRelative(folder, WidePath(name), DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE, false, file)))
        return;
    const Descriptor held(NativeOf(file));
    RemoveThrough(file, 0);
}

// Creates <id>.txt exclusively in the folder and writes the record into it; returns the id, or
// empty.
std::string WriteRecord(HANDLE folder, const std::string& record)
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
        const std::string id = UtcTime("%Y%m%dT%H%M%SZ") + "-" + suffix;
        HANDLE created = INVALID_HANDLE_VALUE;
        const NTSTATUS status = CreateIn(folder, id + ".txt", created);
        if (status == STATUS_OBJECT_NAME_COLLISION)
            continue;
        if (!NT_SUCCESS(status))
            return {};
        Descriptor file(NativeOf(created));
        if (FileSystemHelper::File::WriteAll(created, record.data(), record.size()) &&
            ::FlushFileBuffers(created) && file.Close())
            return id;
        RemoveThrough(created, 0);
        return {};
    }
    return {};
}

// Renames the open file into the folder under the name; fails when the name is taken. The new
// name is given relative to the held folder's handle, which the system's rename call takes (its
// Win32 wrapper would read the name as a path of its own).
bool MoveInto(HANDLE file, HANDLE folder, const std::string& name, bool& otherVolume)
{
    const std::wstring wide = WidePath(name);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + wide.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
    std::copy(wide.begin(), wide.end(), rename->FileName);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        ::NtSetInformationFile(file, &io, rename, static_cast<ULONG>(buffer.size()),
                               static_cast<FILE_INFORMATION_CLASS>(fileRenameInformation));
    otherVolume = status == STATUS_NOT_SAME_DEVICE;
    return NT_SUCCESS(status);
}

// Whether the open file still has the size and change time it had when it was scanned.
bool AsScanned(HANDLE file, const ActionTarget& source)
{
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
        !::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        static_cast<std::uint64_t>(standard.EndOfFile.QuadPart) != source.scannedSize)
        return false;
    // FILETIME (100 ns since 1601) as nanoseconds since 1970, as the scan kept it.
    const std::int64_t changed = (basic.ChangeTime.QuadPart - 116444736000000000LL) * 100;
    return source.scannedChange == 0 || changed == source.scannedChange;
}

struct Extent
{
    std::uint64_t start;
    std::uint64_t end;
};

// The stretches of the file's first size bytes that hold data, in order. A file system that
// cannot tell (no sparse files there) gives the whole file as one stretch.
bool DataExtents(HANDLE file, std::uint64_t size, std::vector<Extent>& extents)
{
    extents.clear();
    std::uint64_t from = 0;
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges(64);
    while (from < size)
    {
        FILE_ALLOCATED_RANGE_BUFFER query{};
        query.FileOffset.QuadPart = static_cast<LONGLONG>(from);
        query.Length.QuadPart = static_cast<LONGLONG>(size - from);
        DWORD returned = 0;
        const bool answered =
            ::DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                              ranges.data(), static_cast<DWORD>(ranges.size() * sizeof ranges[0]),
                              &returned, nullptr) != 0;
        const bool more = !answered && ::GetLastError() == ERROR_MORE_DATA;
        if (!answered && !more)
        {
            extents.assign(1, {0, size});
            return true;
        }
        const std::size_t count = returned / sizeof ranges[0];
        if (more && count == 0)
            return false;
        for (std::size_t i = 0; i < count; ++i)
        {
            const auto start = static_cast<std::uint64_t>(ranges[i].FileOffset.QuadPart);
            const std::uint64_t end =
                std::min(size, start + static_cast<std::uint64_t>(ranges[i].Length.QuadPart));
            if (start < from || end <= start)
                continue;
            extents.push_back({start, end});
            from = end;
        }
        if (!more)
            break;
    }
    return true;
}

bool AllZero(const char* data, std::size_t size)
{
    return std::all_of(data, data + size, [](char c) { return c == 0; });
}

// Whether the quarantine's volume keeps its reserve free after the copy.
bool RoomFor(const std::string& quarantineFolder, std::uint64_t bytes)
{
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    return ::GetDiskFreeSpaceExW(LongPath(quarantineFolder).c_str(), &available, &total, nullptr) &&
           LeavesReserve(bytes, total.QuadPart, available.QuadPart);
}

// Copies the bytes of the open file that were scanned to a new file in the quarantine folder
// and flushes it: only while the file is as it was scanned, and only when that leaves the
// reserve free on the quarantine's volume. Holes stay holes: the copy is made sparse, only the
// stretches that hold data are read, and blocks of zeros in them are not written either.
bool CopyInto(HANDLE file, const ActionTarget& source, HANDLE folder,
              const std::string& quarantineFolder, const std::string& name)
{
    std::vector<Extent> extents;
    if (!AsScanned(file, source) || !DataExtents(file, source.scannedSize, extents))
        return false;
    std::uint64_t data = 0;
    for (const Extent& extent : extents)
        data += extent.end - extent.start;
    if (!RoomFor(quarantineFolder, data))
        return false;
    HANDLE created = INVALID_HANDLE_VALUE;
    if (!NT_SUCCESS(CreateIn(folder, name, created)))
        return false;
    Descriptor out(NativeOf(created));
    // Where the volume keeps no sparse files, what is not written reads as zeros all the same.
    DWORD returned = 0;
    ::DeviceIoControl(created, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    bool copied = true;
    std::vector<char> buffer(65536);
    for (const Extent& extent : extents)
    {
        for (std::uint64_t position = extent.start; copied && position < extent.end;)
        {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(position);
            at.OffsetHigh = static_cast<DWORD>(position >> 32);
            const auto want =
                static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), extent.end - position));
            DWORD count = 0;
            copied = ::ReadFile(file, buffer.data(), want, &count, &at) && count > 0 &&
                     (AllZero(buffer.data(), count) ||
                      FileSystemHelper::File::WriteAllAt(created, buffer.data(), count, position));
            position += count;
        }
    }
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(source.scannedSize);
    // Changed while it was copied: the copy may not be what was scanned.
    copied = copied && ::SetFileInformationByHandle(created, FileEndOfFileInfo, &end, sizeof end) &&
             AsScanned(file, source) && ::FlushFileBuffers(created);
    if (!copied)
        RemoveThrough(created, 0);
    return out.Close() && copied;
}

// Opens the quarantine folder, never through a reparse point, and closes it to everybody but
// this process's user, the system and administrators again, whatever was done to its access
// list since it was made. Returns -1 on failure.
NativeHandle OpenPrivateFolder(const std::string& folder)
{
    const HANDLE opened = ::CreateFileW(
        LongPath(folder).c_str(),
        FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_READ_ATTRIBUTES | WRITE_DAC |
            READ_CONTROL | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return -1;
    Descriptor held(NativeOf(opened));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!HandleInformation(opened, information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    if (!FileSystemHelper::MakePrivate(opened, true))
        return -1;
    return held.Release();
}

// Lets only this process's user, the system and administrators at the quarantined file, so that
// its former owner, who may still hold it open, can neither run it nor change it back.
bool SecureQuarantined(HANDLE file)
{
    // The access list is protected: nothing the quarantine folder passes on is added.
    return FileSystemHelper::MakePrivate(file, false);
}
} // namespace

int QuarantineFile(const ActionTarget& source, const std::string& quarantineFolder,
                   const std::string& threatName)
{
    if (quarantineFolder.empty())
        return ThreatScanner::FileMove;
    Descriptor file(-1);
    DWORD attributes = 0;
    if (!OpenScannedFile(source, DELETE | FILE_READ_DATA | FILE_WRITE_ATTRIBUTES | WRITE_DAC, file,
                         attributes))
        return ThreatScanner::FileMove;
    if (!MakePrivateFolder(quarantineFolder))
        return ThreatScanner::FileCreate;
    const Descriptor quarantine(OpenPrivateFolder(quarantineFolder));
    if (!quarantine.Valid())
        return ThreatScanner::FileCreate;
    const HANDLE folder = HandleOf(quarantine);

    char attributeText[16];
    std::snprintf(attributeText, sizeof attributeText, "0x%08lX",
                  static_cast<unsigned long>(attributes));
    const std::string record = "Original path: " + EscapedRecordValue(source.path) + "\n" +
                               "Quarantined at: " + UtcTime("%Y-%m-%dT%H:%M:%SZ") + "\n" +
                               "Threat: " + EscapedRecordValue(threatName) + "\n" +
                               "Original attributes: " + attributeText + "\n";
    // The record is written first: should anything stop half-way, there is never a quarantined
    // file without its original path.
    const std::string id = WriteRecord(folder, record);
    if (id.empty())
        return ThreatScanner::FileCreate;
    const std::string target = id + ".bin";
    const auto fail = [&]()
    {
        RemoveIn(folder, id + ".txt");
        return ThreatScanner::FileMove;
    };

    // The handle was checked to be the scanned file: it is what moves, whatever its name or its
    // folder's name lead to now.
    bool otherVolume = false;
    if (!MoveInto(HandleOf(file), folder, target, otherVolume))
    {
        // Another volume: copy, flush, and only then remove the original.
        if (!otherVolume || !CopyInto(HandleOf(file), source, folder, quarantineFolder, target))
            return fail();
        if (!RemoveThrough(HandleOf(file), attributes))
        {
            RemoveIn(folder, target);
            return fail();
        }
        file.Close();
        HANDLE copy = INVALID_HANDLE_VALUE;
        if (!NT_SUCCESS(OpenRelative(folder, WidePath(target), WRITE_DAC | FILE_WRITE_DATA,
                                     FILE_OPEN, FILE_NON_DIRECTORY_FILE, false, copy)))
            return ThreatScanner::FileWrite;
        file.Reset(NativeOf(copy));
    }
    // Should securing fail, the file stays in the quarantine folder, which only its owner can
    // enter, and the move counts as failed.
    return SecureQuarantined(HandleOf(file)) ? ThreatScanner::Success : ThreatScanner::FileWrite;
}

int RemoveFile(const ActionTarget& target)
{
    Descriptor file(-1);
    DWORD attributes = 0;
    bool denied = false;
    if (!OpenScannedFile(target, DELETE | FILE_WRITE_ATTRIBUTES, file, attributes, &denied))
        return denied ? ThreatScanner::PathAccess : ThreatScanner::FileRemove;
    if (!RemoveThrough(HandleOf(file), attributes) || !file.Close())
        return ThreatScanner::FileRemove;
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
