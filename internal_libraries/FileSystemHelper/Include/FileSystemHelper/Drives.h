#pragma once

#include <boost/shared_ptr.hpp>
#include <string>
#include <utility>
#include <vector>

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
    // The given drives, in this order.
    explicit Drives(List items) : items(std::move(items)) {}

    const List& Items() const { return items; }
    List::const_iterator begin() const { return items.begin(); }
    List::const_iterator end() const { return items.end(); }

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

// The type of the drive with this root path. (Not named after the platform's GetDriveType,
// which its header defines as a macro.)
DriveType DriveTypeOf(const std::wstring& rootPath);
} // namespace FileSystemHelper
