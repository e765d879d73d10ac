#pragma once

#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

#ifdef _WIN32
// The platform's header defines GetDriveType as a macro for its narrow or wide variant, which
// would rename the function below in some files and not in others. Including it first and
// dropping the macro keeps the name the same everywhere (the header is not read twice).
#include <windows.h>
#undef GetDriveType
#endif

namespace FileSystemHelper
{
// One logical drive, by its root path as the platform lists it.
struct Drive
{
    explicit Drive(std::wstring rootPath) : rootPath(std::move(rootPath)) {}
    std::wstring rootPath;
};

// The logical drives in the platform's order, read once by the constructor. On Windows it throws
// ExceptionHelper::Exception "Couldn't get logical drive strings buffer size" or
// "Couldn't get logical drive strings"; on Linux the root folder is always a drive.
class Drives
{
public:
    using List = std::vector<boost::shared_ptr<Drive>>;

    Drives();
#ifndef _WIN32
    // The drives of a mount table in the form of /proc/self/mounts. The root folder is always a
    // drive, also when no entry covers it (a chroot or some containers).
    explicit Drives(const std::string& mountTable);
#endif

    const List& Items() const
    {
        return items;
    }
    List::const_iterator begin() const
    {
        return items.begin();
    }
    List::const_iterator end() const
    {
        return items.end();
    }

private:
    List items;
};

// Drive types with the platform's numbers (GetDriveTypeW).
enum DriveType : unsigned int
{
    DriveUnknown = 0,
    DriveNoRootDir = 1,
    DriveRemovable = 2,
    DriveFixed = 3,
    DriveRemote = 4,
    DriveCdRom = 5,
    DriveRamDisk = 6,
};

// The type of the drive with this root path.
DriveType GetDriveType(const std::wstring& rootPath);
#ifndef _WIN32
// The same from the given mount table. The root folder without a mount entry is DriveUnknown.
DriveType GetDriveType(const std::wstring& rootPath, const std::string& mountTable);
#endif
} // namespace FileSystemHelper
