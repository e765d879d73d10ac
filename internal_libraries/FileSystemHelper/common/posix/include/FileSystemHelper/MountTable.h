#pragma once

// Drives read from a mount table in the form of /proc/self/mounts, for systems that have one.
#include "FileSystemHelper/Drives.h"

#include <string>

namespace FileSystemHelper
{
// The drives of the table: the mount points of storage file systems. The root folder is always a
// drive, also when no entry covers it (a chroot or some containers).
Drives::List MountTableDrives(const std::string& mountTable);

// The type of the drive with this root path in the table. The root folder without a mount entry
// is DriveUnknown.
DriveType DriveTypeOf(const std::wstring& rootPath, const std::string& mountTable);
} // namespace FileSystemHelper
