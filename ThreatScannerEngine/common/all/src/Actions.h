#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ThreatScannerEngine
{
// The file a detection was made in, as it was when it was scanned. An action only touches an
// entry that still names this file, so a file swapped in after the scan is never moved or
// removed.
// On Windows the device is the volume's serial number and the inode the file's index on it.
struct FileIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// What the system names an open file or folder by: a file descriptor, or the value of a Windows
// handle. -1 stands for none on both.
using NativeHandle = std::intptr_t;

// An open descriptor, closed when the owner goes.
class Descriptor
{
public:
    explicit Descriptor(NativeHandle value) : fd(value) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    NativeHandle Get() const { return fd; }
    bool Valid() const { return fd != -1; }
    // Closes now and says whether closing succeeded (a late write error shows up here).
    bool Close();
    // Hands the value over to the caller, who closes it.
    NativeHandle Release()
    {
        const NativeHandle value = fd;
        fd = -1;
        return value;
    }
    // Closes what is held and holds the value instead.
    void Reset(NativeHandle value)
    {
        if (Valid())
            Close();
        fd = value;
    }

private:
    NativeHandle fd;
};
using SharedFolder = std::shared_ptr<const Descriptor>;

// Opens a folder by path as open(2) would, also when the path is longer than PATH_MAX (one
// component at a time). With noFollow, no component may be a symbolic link (on Windows: the
// folder itself may not be a reparse point). Returns -1 on failure (with errno set on POSIX).
NativeHandle OpenFolder(const std::string& path, bool noFollow);

// A file in a folder that is held open from the walk to the action: the action works on the
// entry name inside that very folder, so renaming or linking any folder above it changes nothing.
struct ActionTarget
{
    NativeHandle folder = -1;
    std::string name;
    std::string path; // the full path, for the quarantine record
    FileIdentity identity;
    // What was scanned: a copy to another file system is made only while the file still has
    // this size and change time (0: not known, then the size alone), and takes no byte more.
    std::uint64_t scannedSize = 0;
    std::int64_t scannedChange = 0;
};

// Moves the file into the quarantine folder as <id>.bin, with <id>.txt beside it naming the
// original path, the time, the threat and the original permissions, owner and group. The folder
// is open to its owner only; the quarantined file belongs to this process and can only be read
// by it. The file's content is kept; on a failure before the move the original stays where it
// was. A copy to another file system keeps the file's holes, and is not made (FileMove, the file
// stays) when it would leave less than the reserve free on the quarantine's file system.
// Returns 0 or a result code.
int QuarantineFile(const ActionTarget& target, const std::string& quarantineFolder,
                   const std::string& threatName);

// The free space a quarantine copy leaves on the quarantine's file system at least: the larger
// of quarantineReserveBytes and quarantineReservePercent of the file system's size.
extern std::uint64_t quarantineReserveBytes;
extern unsigned int quarantineReservePercent;
// Whether copying the given number of bytes leaves the reserve free, from the file system's
// size and the space available to unprivileged users (so that the system's own reserve for the
// administrator is never used either).
bool LeavesReserve(std::uint64_t bytes, std::uint64_t total, std::uint64_t available);

// Removes the file. Returns 0 or a result code: PathAccess when this process has no right to
// remove it (a user who is no administrator, a folder of another user's), else FileRemove.
int RemoveFile(const ActionTarget& target);

// A value of a quarantine record as printable UTF-8 that still gives back every byte: a backslash
// is written "\\", a line feed "\n", a carriage return "\r", and every byte of a control
// character (C0 but tab, DEL, C1), of U+FFFE or U+FFFF, or of something that is not UTF-8 as
// "\xHH". So the value stays on its line and sends nothing to the terminal that shows it.
std::string EscapedRecordValue(const std::string& text);

// The current UTC time in strftime's format.
std::string UtcTime(const char* format);
} // namespace ThreatScannerEngine
