#pragma once

// The operating-system calls of the library, one implementation per platform.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace UpdateServiceCom::Platform
{
// Flushes a file, or a folder's entries, to the disk; throws Failure (LocalFileError).
void SyncFile(const std::filesystem::path& file);
void SyncFolder(const std::filesystem::path& folder);

// Swaps two folders in one step. Returns false, changing nothing, where the file system cannot.
bool ExchangeFolders(const std::filesystem::path& first, const std::filesystem::path& second);

// Renames a file or folder to a name that is not taken. Where files that are open cannot be
// moved, waits a while for them to be closed. Throws Failure (LocalFileError).
void Rename(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file or a folder with everything in it; a link (symbolic link, junction) is removed
// itself, never what it leads to. Nothing there is no failure. Where files that are open cannot
// be removed, waits a while for them to be closed. Throws Failure (LocalFileError).
void RemoveAll(const std::filesystem::path& path);
// The same without waiting and without failing, for what is only left over; false when something
// is left.
bool TryRemoveAll(const std::filesystem::path& path);

// What the engine's loader is handed to load a definitions folder as the engine does: the folder
// itself, or where the engine loads file by file, each definitions file in its order.
std::vector<std::string> DefinitionsToLoad(const std::filesystem::path& folder);

// The folder this library was loaded from.
std::filesystem::path LibraryFolder();

// A wide path as a path of this system: on POSIX the bytes it stands for, through the program's
// lossless conversion (bytes that are not UTF-8 travel as U+DC80..U+DCFF). Throws Failure for
// text that stands for none.
std::filesystem::path ToPath(const wchar_t* text);

// Ends this process at once, as if killed (the test build's kill points).
[[noreturn]] void KillThisProcess();

// Holds an exclusive lock on a file as long as it lives, so that two processes never work on
// one installation at once.
class FileLock
{
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock without waiting; false when another process holds it. Throws Failure
    // (LocalFileError) when the lock file cannot be opened.
    bool TryLock(const std::filesystem::path& file);
    void Unlock();
    bool Locked() const { return handle != -1; }

private:
    std::intptr_t handle = -1; // a descriptor, or a handle
};
} // namespace UpdateServiceCom::Platform
