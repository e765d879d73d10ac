#pragma once

#include <cstddef>
#include <string>

namespace FileSystemHelper
{
// The length of the root of an absolute Windows path: the part that names a volume's or a
// share's top folder and has no parent, with its closing separator when the path has one there.
//   C:\x            -> "C:\"                  \\server\share\x   -> "\\server\share\"
//   \\?\C:\x        -> "\\?\C:\"              \\?\UNC\server\share\x -> "\\?\UNC\server\share\"
//   \\?\Volume{g}\x -> "\\?\Volume{g}\"       \\.\C:\x           -> "\\.\C:\"
// 0 when the path has no such root (a relative path, "\x" on the current drive, a share name
// without its share). Both separators count; the path is in UTF-8 or UTF-16.
std::size_t WindowsRootLength(const std::string& path);
std::size_t WindowsRootLength(const std::wstring& path);

// Splits an absolute Windows path (UTF-8) into its folder and its last name; false when it has
// no name (it is a root, or ends in a separator). A root keeps its separator as a folder: "C:"
// alone names the drive's current folder, "\\?\Volume{...}" the volume device.
bool SplitWindowsPath(const std::string& path, std::string& folder, std::string& name);
} // namespace FileSystemHelper
