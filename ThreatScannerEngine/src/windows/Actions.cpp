#include "Actions.h"
#include "FileSystem.h"
#include "NativeFiles.h"

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
                     DWORD& attributes)
{
    HANDLE opened = INVALID_HANDLE_VALUE;
    if (!NT_SUCCESS(OpenRelative(reinterpret_cast<HANDLE>(target.folder), WidePath(target.name),
                                 access | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                                 false, opened)))
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

bool WriteAll(HANDLE file, const char* data, std::size_t size)
{
    while (size > 0)
    {
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
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
        if (WriteAll(created, record.data(), record.size()) && ::FlushFileBuffers(created) &&
            file.Close())
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

// Whether the open file still has the size it had when it was scanned.
bool AsScanned(HANDLE file, const ActionTarget& source)
{
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) &&
           static_cast<std::uint64_t>(size.QuadPart) == source.scannedSize;
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
// reserve free on the quarantine's volume.
bool CopyInto(HANDLE file, const ActionTarget& source, HANDLE folder,
              const std::string& quarantineFolder, const std::string& name)
{
    if (!AsScanned(file, source) || !RoomFor(quarantineFolder, source.scannedSize))
        return false;
    HANDLE created = INVALID_HANDLE_VALUE;
    if (!NT_SUCCESS(CreateIn(folder, name, created)))
        return false;
    Descriptor out(NativeOf(created));
    LARGE_INTEGER start{};
    bool copied = ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != 0;
    std::vector<char> buffer(65536);
    std::uint64_t left = source.scannedSize;
    while (copied && left > 0)
    {
        DWORD count = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), left));
        if (!::ReadFile(file, buffer.data(), want, &count, nullptr) || count == 0)
            copied = false;
        else
            copied = WriteAll(created, buffer.data(), count);
        left -= count;
    }
    // Changed while it was copied: the copy may not be what was scanned.
    copied = copied && AsScanned(file, source) && ::FlushFileBuffers(created);
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
    PSECURITY_DESCRIPTOR descriptor = PrivateSecurity(true);
    if (!descriptor)
        return -1;
    const bool secured =
        ::SetKernelObjectSecurity(opened, DACL_SECURITY_INFORMATION, descriptor) != 0;
    ::LocalFree(descriptor);
    if (!secured)
        return -1;
    return held.Release();
}

// Lets only this process's user, the system and administrators at the quarantined file, so that
// its former owner, who may still hold it open, can neither run it nor change it back.
bool SecureQuarantined(HANDLE file)
{
    // The descriptor's access list is protected: nothing the quarantine folder passes on is added.
    PSECURITY_DESCRIPTOR descriptor = PrivateSecurity(false);
    if (!descriptor)
        return false;
    const bool secured =
        ::SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, descriptor) != 0;
    ::LocalFree(descriptor);
    return secured;
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
    if (!OpenScannedFile(target, DELETE | FILE_WRITE_ATTRIBUTES, file, attributes) ||
        !RemoveThrough(HandleOf(file), attributes) || !file.Close())
        return ThreatScanner::FileRemove;
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
