#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdio>
#include <string>

// Files and folders that the program, the engine and the update library create. Whoever owns the
// folder a name is in may have planted a link, a FIFO or a device there: nothing here follows a
// link at the last component of a name it writes, waits for a FIFO's other end, or writes
// anything but a regular file. Everything created gets the mode of its Access exactly, whatever
// the process's umask; on Windows it inherits its folder's permissions.
namespace FileSystemHelper
{
enum class Access
{
    Shared,  // folders 0755, files 0644: anyone may read, only the owner writes
    Private, // folders 0700, files 0600: the owner alone
};

// Creates the folder and any missing parents; each folder created here gets the mode of access.
// Folders that exist are left as they are. True when the path names a folder afterwards.
bool CreateFolders(const boost::filesystem::path& folder, Access access);

// The same, and the folder itself (not a link to one) is then made Private even when it existed.
bool CreatePrivateFolder(const boost::filesystem::path& folder);

// Makes data the whole content of the file: it is written to a new file of a temporary name in
// the same folder, flushed to disk and renamed over the name, all relative to the folder held
// open, so a reader never sees half a file and no link is followed. False, with nothing written,
// when the name is taken by anything but a regular file (a link, a FIFO, a folder, a device) or
// a step fails.
bool SaveWholeFile(const boost::filesystem::path& path, const std::string& data, Access access);

// Creates a new file (nothing may have the name yet) and opens it for writing with an fopen mode
// ("w" or "wb"; on Windows "w" writes line ends as CR LF). Null when it cannot be created.
std::FILE* CreateNewFile(const boost::filesystem::path& path, Access access, const char* mode);

// Whether this process may create files in the folder, asked of the system without creating
// anything there.
bool MayCreateIn(const boost::filesystem::path& folder);
} // namespace FileSystemHelper
