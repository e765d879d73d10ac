#pragma once

// Drives read from a mount table in the form of /proc/self/mounts, for systems that have one.
#include "FileSystemHelper/Drives.h"

#include <string>

namespace FileSystemHelper
{
// The system's mount table, /proc/self/mounts; empty where it cannot be read.
std::string SystemMountTable();

// The device (the first field) of the mount in effect at the folder: the last entry whose mount
// point it is, trailing slashes aside. Empty when nothing is mounted there.
std::string MountedDevice(const std::string& folder, const std::string& mountTable);

// The drives of the table: the mount points of storage file systems. The root folder is always a
// drive, also when no entry covers it (a chroot or some containers).
Drives::List MountTableDrives(const std::string& mountTable);

// The type of the drive with this root path in the table. The root folder without a mount entry
// is DriveUnknown.
DriveType DriveTypeOf(const std::wstring& rootPath, const std::string& mountTable);
} // namespace FileSystemHelper
