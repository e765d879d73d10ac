#pragma once

// What the engine needs from the operating system's file system, one implementation per
// platform (common/posix/src, common/windows/src). Paths and names are bytes (UTF-8 on Windows).
#include "Actions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ThreatScannerEngine
{
// The path of a name inside a folder.
std::string JoinPath(const std::string& folder, const std::string& name);
// Splits an absolute path into its folder and its last name; false when it has no name.
bool SplitPath(const std::string& path, std::string& folder, std::string& name);

enum class NodeKind
{
    Missing,
    File,
    Folder,
    Other // links, reparse points, devices, pipes, sockets
};

// The starting point of a walk: the root made absolute (a link given as the root itself
// resolved), its folder held open and its name there (empty when the root is a file system's
// top folder, which is then held itself).
struct WalkRoot
{
    std::string path;
    SharedFolder parent;
    std::string name;
    NodeKind kind = NodeKind::Missing;
    FileIdentity identity;
};

// Finds the root of a walk. Returns 0, PathError when it does not exist or PathAccess when it
// cannot be examined.
int FindWalkRoot(const std::string& root, WalkRoot& found);

struct FolderEntry
{
    std::string name;
    bool folder;
};

// Lists an open folder's regular files and folders, unsorted; links and reparse points, devices,
// pipes and sockets are left out. False when the folder could not be read in full.
bool ListFolder(const Descriptor& folder, std::vector<FolderEntry>& entries);

enum class OpenOutcome
{
    Opened,
    Gone,    // no longer there, or no longer a folder or file: swapped for a link, a reparse point
    Failed,  // there, but cannot be opened
    Blocked, // there, but the system refuses to open it because another scanner found malware
};

// Opens a folder inside its open parent, never through a link or reparse point.
OpenOutcome OpenSubfolder(const Descriptor& parent, const std::string& name, SharedFolder& folder,
                          FileIdentity& identity);

// The identity of an open file or folder.
bool IdentityOf(const Descriptor& node, FileIdentity& identity);

// What the scan of an open file needs to know about it.
struct OpenFileStatus
{
    bool regular = false;
    FileIdentity identity;
    std::uint64_t size = 0;
    std::int64_t modified = 0; // nanoseconds since 1970
    std::int64_t changed = 0;
};

// Opens a file to read: inside its open folder when there is one, else by path. Only with
// followLink may the file be reached through a link.
OpenOutcome OpenFileToRead(const Descriptor* folder, const std::string& nameOrPath, bool followLink,
                           Descriptor& file);
bool DescribeOpenFile(const Descriptor& file, OpenFileStatus& status);

// Reads up to size bytes from the current position; -1 on an error.
long long ReadSome(const Descriptor& file, void* buffer, std::size_t size);
// Reads up to size bytes at the offset without moving the position; -1 on an error.
long long ReadAt(const Descriptor& file, void* buffer, std::size_t size, std::uint64_t offset);
// The descriptor the scanning library can read the open file through itself, or -1 when it has
// to read through ReadAt.
int ScanningDescriptor(const Descriptor& file);

// Whether the path names a folder (following links).
bool IsFolder(const std::string& path);
// The identity of the folder the path names (following links).
bool FolderIdentity(const std::string& path, FileIdentity& identity);
// Creates a folder that only its owner may enter; true when it exists afterwards as a folder.
bool MakePrivateFolder(const std::string& path);

// Lets the process hold as many folders open as a deep or wide walk needs.
void RaiseOpenFileLimit();
} // namespace ThreatScannerEngine
