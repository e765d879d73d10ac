#pragma once

// The operating-system calls of the library, one implementation per platform.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ScanProtocol
{
class OwnedDescriptor;
}

namespace UpdateServiceCom::Platform
{
// Flushes a file, or a folder's entries, to the disk; throws Failure (LocalFileError).
void SyncFile(const std::filesystem::path& file);
void SyncFolder(const std::filesystem::path& folder);

// Swaps two folders in one step. Returns false, changing nothing, where the file system cannot.
bool ExchangeFolders(const std::filesystem::path& first, const std::filesystem::path& second);

// Renames a file or folder to a name that is not taken. Where files that are open cannot be
// moved, waits up to inUse for them to be closed. Throws Failure (LocalFileError).
void Rename(const std::filesystem::path& from, const std::filesystem::path& to,
            std::chrono::milliseconds inUse);

// Removes a file or a folder with everything in it; a link (symbolic link, junction) is removed
// itself, never what it leads to. Nothing there is no failure. Where files that are open cannot
// be removed, waits up to inUse for them to be closed. Throws Failure (LocalFileError).
void RemoveAll(const std::filesystem::path& path, std::chrono::milliseconds inUse);
// The same without waiting and without failing, for what is only left over; false when something
// is left.
bool TryRemoveAll(const std::filesystem::path& path);

// A resident engine service that loaded a set which is about to replace the definitions folder.
class ServiceLoad
{
public:
    virtual ~ServiceLoad() = default;
    // Tells the service that the set is now the definitions folder, to serve it; false when it
    // did not take it (it then keeps its set until it is asked to switch).
    virtual bool Serve() = 0;
};

// Hands the folder to the engine service that answers at the socket, to load it as the set that
// replaces the definitions folder beside it. Null with refusal 0 when no service answers there,
// or it serves another folder (the set is then to be checked by the caller); null with the
// service's result code in refusal when the set does not load there.
std::unique_ptr<ServiceLoad> LoadInEngineService(const std::string& socket,
                                                 const std::filesystem::path& folder, int& refusal);

// Opens the folder (never a link in its place) to pass to the engine service, which lists it and
// reads its files through what it is passed; invalid when it cannot be opened.
ScanProtocol::OwnedDescriptor OpenFolderToPass(const std::filesystem::path& folder);

// A path as the engine's loader takes it: its bytes, UTF-8 on Windows.
std::string EnginePath(const std::filesystem::path& path);

// A wide path as a path of this system: on POSIX the bytes it stands for, through the program's
// lossless conversion (bytes that are not UTF-8 travel as U+DC80..U+DCFF). Throws Failure for
// text that stands for none.
std::filesystem::path ToPath(const wchar_t* text);

// A path given as UTF-8 text (a file: URL's path) as a path of this system.
std::filesystem::path PathFromUtf8(const std::string& text);

// A folder that another program keeps official signature databases in (the distribution's
// updater), read only while the folder, every folder above it and each file taken from it belong
// to the system's administrator (root; Administrators or SYSTEM on Windows) or to the user who
// runs the update, and nobody else may write to them. Links are never followed. A folder above
// it that others may write to is accepted only where they cannot move what is in it (the sticky
// bit). Files are opened through the folder's handle, so the path is looked at once.
class SourceFolder
{
public:
    // Throws Failure: SourceUnsafe when the folder breaks a rule, SourceIncomplete when it is
    // not there, LocalFileError when it cannot be read.
    explicit SourceFolder(const std::filesystem::path& folder);
    ~SourceFolder();
    SourceFolder(const SourceFolder&) = delete;
    SourceFolder& operator=(const SourceFolder&) = delete;

    // The names of the folder's entries.
    std::vector<std::string> Names() const;
    // The first bytes of a file, fewer when it is shorter, and the file's size.
    std::string ReadStart(const std::string& name, std::size_t bytes, std::uint64_t& size) const;
    // Copies a file of at most maxBytes into target, reporting the bytes copied; returns its
    // size. Throws Failure: SourceUnsafe when the file breaks a rule, LocalFileError otherwise.
    std::uint64_t CopyTo(const std::string& name, const std::filesystem::path& target,
                         std::uint64_t maxBytes,
                         const std::function<void(std::uint64_t)>& progress) const;

private:
    std::intptr_t handle = -1; // a descriptor, or a handle
    std::filesystem::path path;
    std::string description;
};

// Ends this process at once, as if killed (the test build's kill points).
[[noreturn]] void KillThisProcess();

} // namespace UpdateServiceCom::Platform
