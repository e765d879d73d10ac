#include "CacheStore.h"
#include "ResultCache.h"
#include "Service.h"

#include "DefinitionsSet/DefinitionsSet.h"
#include "FileSystem.h"
#include "FileSystemHelper/Text.h"
#include "ThreatScanner/ThreatScanner.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Folders passed by handle: which folder the service serves, and a set loaded for an update
// through the folder the client opened. The engine's loader takes only paths, so the set's files
// are copied, each opened relative to the passed folder, into a private folder of the service's
// own, which is loaded and removed again.
namespace ThreatScannerService
{
using ScanProtocol::Message;
using ScanProtocol::OwnedDescriptor;

namespace
{
// What a set may hold: every entry of its folder counts, and every byte copied.
constexpr std::size_t maxEntries = 4096;
constexpr std::uint64_t maxSetBytes = std::uint64_t(4) << 30;

struct HandleCloser
{
    void operator()(HANDLE handle) const
    {
        if (handle && handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

bool Describe(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information)
{
    return handle && handle != INVALID_HANDLE_VALUE &&
           ::GetFileInformationByHandle(handle, &information);
}

// Which folder the handle names; false when it is no folder (or a reparse point).
bool Identify(HANDLE folder, FolderIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!Describe(folder, information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    identity = {information.dwVolumeSerialNumber,
                (std::uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
    return true;
}

// Opens one of the service's own folders, or the folder that holds it (by its name, so that a
// path of the \\?\ form, which the system takes literally, works too).
Handle OpenOwnFolder(const std::string& path, bool parent = false)
{
    std::filesystem::path folder(FileSystemHelper::ToWide(path, FileSystemHelper::CodePageUtf8));
    if (parent)
    {
        std::error_code error;
        folder = std::filesystem::absolute(folder, error);
        folder = (folder.has_filename() ? folder : folder.parent_path()).parent_path();
    }
    return Handle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Opens the entry name of folder, never following a reparse point; a folder or a file as options
// says (FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE). Null when it cannot be opened.
Handle OpenRelative(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
                    ULONG options)
{
    if (name.empty() || name.size() > 255 || name == L"." || name == L".." ||
        name.find_first_of(L"\\/:") != std::wstring::npos)
        return nullptr;
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    if (!NT_SUCCESS(::NtCreateFile(
            &opened, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, FILE_OPEN,
            options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0)))
        return nullptr;
    return Handle(opened);
}

// The last part of the name the system gives the open folder; empty when there is none.
std::wstring LeafName(HANDLE folder)
{
    std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    auto* information = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!::GetFileInformationByHandleEx(folder, FileNameInfo, information,
                                        static_cast<DWORD>(buffer.size())))
        return {};
    std::wstring name(information->FileName, information->FileNameLength / sizeof(wchar_t));
    while (!name.empty() && name.back() == L'\\')
        name.pop_back();
    return name.substr(name.find_last_of(L'\\') + 1);
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t unit) { return static_cast<wchar_t>(std::towlower(unit)); });
    return text;
}

bool IsUpdateDescription(const std::wstring& name)
{
    return Lower(name) == L"update.txt";
}

// The clean-result cache file that the engine's start-up creates, and its temporary files: no
// part of the set.
bool IsCacheFile(const std::wstring& name)
{
    const std::wstring cache = FileSystemHelper::ToWide(ThreatScannerEngine::cacheFileName,
                                                        FileSystemHelper::CodePageUtf8);
    const std::wstring lower = Lower(name);
    return lower.compare(0, cache.size(), cache) == 0 &&
           (lower.size() == cache.size() || lower[cache.size()] == L'.');
}

// Calls visit with each entry of the open folder, in the order the system lists them; false when
// the listing fails or visit says to stop.
template <typename Visit> bool ListFolder(HANDLE folder, Visit visit)
{
    std::vector<unsigned char> buffer(64 * 1024);
    for (bool first = true;; first = false)
    {
        if (!::GetFileInformationByHandleEx(
                folder, first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                buffer.data(), static_cast<DWORD>(buffer.size())))
            return ::GetLastError() == ERROR_NO_MORE_FILES;
        for (std::size_t at = 0;;)
        {
            const auto& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
            if (!visit(entry, std::wstring(entry.FileName, entry.FileNameLength / sizeof(wchar_t))))
                return false;
            if (entry.NextEntryOffset == 0)
                break;
            at += entry.NextEntryOffset;
        }
    }
}

void Put(std::string& out, std::uint64_t value)
{
    for (int byte = 0; byte < 8; ++byte)
        out += static_cast<char>((value >> (8 * byte)) & 0xff);
}

// Removes the folder and the files in it, never what a link in it leads to; nothing there is
// no failure.
void RemoveCopy(const std::wstring& folder)
{
    WIN32_FIND_DATAW found{};
    const HANDLE listing = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (listing != INVALID_HANDLE_VALUE)
    {
        do
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        while (::FindNextFileW(listing, &found));
        ::FindClose(listing);
    }
    ::RemoveDirectoryW(folder.c_str());
}

// The private folder of the service's own that holds the copy of a passed set's files (one at a
// time: copies are made under the switch lock); removed with everything copied into it when it
// goes. A copy that a service left when it was killed goes first.
class SetCopy
{
public:
    explicit SetCopy(const std::string& tempFolder)
        : path(ThreatScannerEngine::JoinPath(tempFolder, "staged-set")),
          folder(FileSystemHelper::ToWide(path, FileSystemHelper::CodePageUtf8))
    {
        RemoveCopy(folder);
        created = ::CreateDirectoryW(folder.c_str(), nullptr) != 0;
    }
    ~SetCopy()
    {
        if (created)
            RemoveCopy(folder);
    }
    SetCopy(const SetCopy&) = delete;
    SetCopy& operator=(const SetCopy&) = delete;

    // The copy's folder; empty when it could not be made.
    std::string Path() const { return created ? path : std::string(); }

    // Copies what the open file holds, at most budget bytes, to a new file of the name; false
    // when the file is larger or a step fails.
    bool Add(HANDLE source, const std::wstring& name, std::uint64_t& budget)
    {
        const Handle target(::CreateFileW((folder + L"\\" + name).c_str(), GENERIC_WRITE, 0,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (target.get() == INVALID_HANDLE_VALUE)
            return false;
        std::vector<char> buffer(1 << 20);
        for (;;)
        {
            DWORD got = 0;
            if (!::ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                            nullptr))
                return false;
            if (got == 0)
                return true;
            if (got > budget)
                return false;
            budget -= got;
            DWORD written = 0;
            if (!::WriteFile(target.get(), buffer.data(), got, &written, nullptr) || written != got)
                return false;
        }
    }

private:
    std::string path;
    std::wstring folder;
    bool created = false;
};

// Copies the set's files of the passed folder (its definitions files and its description) into
// copy. Only regular files are read; any reparse point, or more entries or bytes than a set holds,
// refuses the whole set.
bool CopySet(HANDLE passed, SetCopy& copy)
{
    std::size_t entries = 0;
    std::uint64_t budget = maxSetBytes;
    return ListFolder(
        passed,
        [&](const FILE_ID_BOTH_DIR_INFO& entry, const std::wstring& name)
        {
            if (++entries > maxEntries || (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                return false;
            if ((entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                !(IsUpdateDescription(name) ||
                  DefinitionsSet::IsDefinitionsFile(
                      FileSystemHelper::ToNarrow(name, FileSystemHelper::CodePageUtf8))))
                return true;
            // Nobody writes the file while it is copied.
            const Handle file = OpenRelative(passed, name, FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ, FILE_NON_DIRECTORY_FILE);
            BY_HANDLE_FILE_INFORMATION information{};
            return Describe(file.get(), information) &&
                   ::GetFileType(file.get()) == FILE_TYPE_DISK &&
                   !(information.dwFileAttributes &
                     (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                   copy.Add(file.get(), name, budget);
        });
}
} // namespace

bool Service::DescribeSet(const std::string& folder, ThreatScannerEngine::CacheDigest& digest)
{
    // Every entry by its name, its file's identity, size and times; the folder's own identity
    // and the engine's version before them.
    const Handle opened(
        ::CreateFileW(FileSystemHelper::ToWide(folder, FileSystemHelper::CodePageUtf8).c_str(),
                      FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FolderIdentity identity;
    if (!Identify(opened.get(), identity))
        return false;
    std::vector<std::string> described;
    if (!ListFolder(opened.get(),
                    [&described](const FILE_ID_BOTH_DIR_INFO& entry, const std::wstring& name)
                    {
                        // The folder's and its parent's own times change with what is beside.
                        if (name == L"." || name == L".." || IsCacheFile(name))
                            return true;
                        std::string line =
                            FileSystemHelper::ToNarrow(name, FileSystemHelper::CodePageUtf8);
                        line += '\0';
                        Put(line, entry.FileAttributes);
                        Put(line, static_cast<std::uint64_t>(entry.FileId.QuadPart));
                        Put(line, static_cast<std::uint64_t>(entry.EndOfFile.QuadPart));
                        Put(line, static_cast<std::uint64_t>(entry.LastWriteTime.QuadPart));
                        Put(line, static_cast<std::uint64_t>(entry.ChangeTime.QuadPart));
                        described.push_back(std::move(line));
                        return described.size() <= maxEntries;
                    }))
        return false;
    std::sort(described.begin(), described.end());
    std::string all = ThreatScannerEngine::Engine::Version();
    all += '\0';
    Put(all, identity.device);
    Put(all, identity.inode);
    for (const std::string& line : described)
    {
        Put(all, line.size());
        all += line;
    }
    digest = ThreatScannerEngine::Sha256(all.data(), all.size());
    return true;
}

bool Service::KeepsCleanResults()
{
    // No clean-result cache is kept on Windows (see the engine's cache store).
    return false;
}

bool Service::IdentifyFolder(const std::string& path, FolderIdentity& identity)
{
    const Handle own = OpenOwnFolder(path);
    return Identify(own.get(), identity);
}

bool Service::IsFolder(std::intptr_t folder, const std::string& path)
{
    FolderIdentity passed;
    FolderIdentity own;
    return Identify(reinterpret_cast<HANDLE>(folder), passed) && IdentifyFolder(path, own) &&
           passed == own;
}

Message Service::LoadStaged(OwnedDescriptor folder, Staged& staged)
{
    const HANDLE passed = reinterpret_cast<HANDLE>(folder.Get());
    FolderIdentity identity;
    if (folder.Get() == -1 || !Identify(passed, identity))
        return ScanProtocol::Refused{ThreatScanner::InvalidArgument};
    // Only a folder beside the definitions folder can take its place by a rename; any other is
    // loaded by the client itself, and this service keeps its own set. A folder has one parent:
    // the passed one is beside the definitions folder when the entry of its name in the
    // definitions folder's parent is that very folder.
    const Handle ownParent = OpenOwnFolder(DefinitionsFolder(settings), true);
    FolderIdentity parentIdentity;
    FolderIdentity beside;
    if (!Identify(ownParent.get(), parentIdentity) ||
        !Identify(OpenRelative(ownParent.get(), LeafName(passed), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               FILE_DIRECTORY_FILE)
                      .get(),
                  beside) ||
        !(beside == identity))
        return ScanProtocol::Refused{ThreatScanner::NotSupported};
    // Every file is read through the passed folder: the service never opens a path that a client
    // names. A set it cannot copy is left to the client to check.
    std::optional<SetCopy> copy;
    return LoadForInstall(identity, staged,
                          [&]
                          {
                              copy.emplace(settings.tempFolder);
                              const bool copied = !copy->Path().empty() && CopySet(passed, *copy);
                              // Nothing of the folder stays open here while the copy loads:
                              // the client is to rename it.
                              folder.Reset();
                              return copied ? copy->Path() : std::string();
                          });
}
} // namespace ThreatScannerService
