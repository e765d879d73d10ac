#pragma once

#include "FileSystemHelper/OutputFile.h"

#include <boost/filesystem/path.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace FileSystemHelper
{
enum class LockMode
{
    Shared,   // readers: any number at once
    Exclusive // one holder, and no reader
};

enum class LockResult
{
    Locked,
    Busy,  // another holder's lock was still in the way when the wait ended
    Failed // the lock file cannot be opened, or is not a regular file
};

// Marks a file as in use by this process for as long as the object lives, so that another
// process's RemoveUnheldFiles leaves it alone. On Windows the open file itself is what protects
// it (an open file cannot be deleted), and the object holds nothing; on Linux it is a shared
// flock on the file, kept until the object releases it or the process ends.
//
// Lock instead takes a lock that processes agree on (flock, or LockFileEx on Windows) on a lock
// file, kept until the object releases it or the process ends. Two objects conflict even inside
// one process.
class HeldFile
{
public:
    HeldFile() = default;
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // Creates the file if needed and holds it; a file held before is released. Returns false
    // when the file cannot be created or held.
    bool Hold(const boost::filesystem::path& path);
    // Creates a new file as CreateNewFile does, holds it, and opens it for writing with the
    // fopen mode. The file is held before this returns, and is the one the name names then: a
    // sweep by another process between its creation and the lock only makes it be created
    // again. Null when it cannot be created or held.
    std::FILE* Create(const boost::filesystem::path& path, Access access, const char* mode);
    // Opens the lock file and locks it, trying again for up to wait while another holder is in
    // the way. A shared lock only reads: it needs the file to be there, and writes nothing. An
    // exclusive lock creates the file when it is missing (and opens it for reading only when the
    // user may not write it). A lock held before is released first. Links are not followed.
    LockResult Lock(const boost::filesystem::path& file, LockMode mode,
                    std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    bool Held() const { return handle != -1; }
    void Release();

private:
    std::intptr_t handle = -1; // a descriptor, or a handle
};

// Removes every entry of the folder except files that a running process holds; the folder
// itself stays. Errors are ignored: an entry that cannot be removed stays.
void RemoveUnheldFiles(const boost::filesystem::path& folder);
} // namespace FileSystemHelper
