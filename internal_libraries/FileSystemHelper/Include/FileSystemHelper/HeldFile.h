#pragma once

#include "FileSystemHelper/OutputFile.h"

#include <boost/filesystem/path.hpp>
#include <cstdio>

namespace FileSystemHelper
{
// Marks a file as in use by this process for as long as the object lives, so that another
// process's RemoveUnheldFiles leaves it alone. On Windows the open file itself is what protects
// it (an open file cannot be deleted), and the object holds nothing; on Linux it is a shared
// flock on the file, kept until the object releases it or the process ends.
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
    void Release();

private:
    int handle = -1;
};

// Removes every entry of the folder except files that a running process holds; the folder
// itself stays. Errors are ignored: an entry that cannot be removed stays.
void RemoveUnheldFiles(const boost::filesystem::path& folder);
} // namespace FileSystemHelper
