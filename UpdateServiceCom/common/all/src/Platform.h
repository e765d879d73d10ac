#pragma once

// The operating-system calls of the library, one implementation per platform.

#include <filesystem>
#include <string>

namespace UpdateServiceCom::Platform
{
// Flushes a file, or a folder's entries, to the disk; throws Failure (LocalFileError).
void SyncFile(const std::filesystem::path& file);
void SyncFolder(const std::filesystem::path& folder);

// Swaps two folders in one step. Returns false, changing nothing, where the file system cannot.
bool ExchangeFolders(const std::filesystem::path& first, const std::filesystem::path& second);

// The folder this library was loaded from.
std::filesystem::path LibraryFolder();

// A wide path as the bytes it stands for, through the program's lossless conversion (bytes
// that are not UTF-8 travel as U+DC80..U+DCFF). Throws Failure for text that stands for none.
std::string ToUtf8(const wchar_t* text);

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
    bool Locked() const { return handle >= 0; }

private:
    int handle = -1;
};
} // namespace UpdateServiceCom::Platform
