#include "Actions.h"

#include "FileSystemHelper/File.h"
#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace ThreatScannerEngine
{
namespace
{
bool StillTheSameFile(int folder, const std::string& name, const FileIdentity& identity,
                      struct stat* found = nullptr)
{
    struct stat status
    {
    };
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode))
        return false;
    if (found)
        *found = status;
    return status.st_dev == identity.device && status.st_ino == identity.inode;
}

// Creates <id>.txt exclusively in the folder and writes the record into it; returns the id, or
// empty.
std::string WriteRecord(int folder, const std::string& record)
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
        const std::string id = UtcTime("%Y%m%dT%H%M%SZ") + "-" + suffix;
        const std::string name = id + ".txt";
        Descriptor fd(::openat(folder, name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.Get() < 0)
        {
            if (errno == EEXIST)
                continue;
            return {};
        }
        if (FileSystemHelper::File::WriteAll(fd.Get(), record.data(), record.size()) &&
            ::fsync(fd.Get()) == 0 && fd.Close())
            return id;
        ::unlinkat(folder, name.c_str(), 0);
        return {};
    }
    return {};
}

// Calls onExtent(start, end) for each stretch of the file's first size bytes that may hold data,
// as the file system tells (where it cannot, the whole file); holes are left out. Stops when
// onExtent returns false, and then returns false.
template <typename OnExtent> bool ForEachDataExtent(int fd, std::uint64_t size, OnExtent onExtent)
{
    std::uint64_t offset = 0;
    while (offset < size)
    {
        off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0)
        {
            if (errno == ENXIO)
                return true; // only a hole up to the end
            data = static_cast<off_t>(offset);
        }
        if (static_cast<std::uint64_t>(data) >= size)
            return true;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        const std::uint64_t end =
            hole < 0 ? size : std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), size);
        if (end <= static_cast<std::uint64_t>(data))
            return true;
        if (!onExtent(static_cast<std::uint64_t>(data), end))
            return false;
        offset = end;
    }
    return true;
}

bool AllZero(const char* data, std::size_t size)
{
    return std::all_of(data, data + size, [](char c) { return c == 0; });
}

// Copies the descriptor's first size bytes to a new file in the quarantine folder, owned by this
// process and readable by it only, and flushes it to disk. Holes stay holes: only the stretches
// that hold data are read, and blocks of zeros in them are not written either. Fails when the
// file holds fewer bytes than that.
bool CopyFrom(int in, std::uint64_t size, int quarantine, const std::string& target)
{
    Descriptor out(::openat(quarantine, target.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.Valid())
        return false;
    static thread_local char buffer[65536];
    const bool copied =
        ForEachDataExtent(
            in, size,
            [&](std::uint64_t position, std::uint64_t end)
            {
                while (position < end)
                {
                    const std::size_t want = static_cast<std::size_t>(
                        std::min<std::uint64_t>(sizeof buffer, end - position));
                    const ssize_t count = ::pread(in, buffer, want, static_cast<off_t>(position));
                    if (count < 0 && errno == EINTR)
                        continue;
                    if (count <= 0)
                        return false;
                    const auto got = static_cast<std::size_t>(count);
                    if (!AllZero(buffer, got) &&
                        !FileSystemHelper::File::WriteAllAt(out.Get(), buffer, got, position))
                        return false;
                    position += got;
                }
                return true;
            }) &&
        ::ftruncate(out.Get(), static_cast<off_t>(size)) == 0 && ::fsync(out.Get()) == 0;
    if (!out.Close() || !copied)
    {
        ::unlinkat(quarantine, target.c_str(), 0);
        return false;
    }
    return true;
}

// Whether the open file still has the size and change time it had when it was scanned.
bool AsScanned(int fd, const ActionTarget& source)
{
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 ||
        static_cast<std::uint64_t>(status.st_size) != source.scannedSize)
        return false;
    const std::int64_t changed =
        static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    return source.scannedChange == 0 || changed == source.scannedChange;
}

// Whether the quarantine's file system keeps its reserve free after the file's data is copied.
bool RoomFor(int in, std::uint64_t size, int quarantine)
{
    struct statvfs space
    {
    };
    if (::fstatvfs(quarantine, &space) != 0)
        return false;
    std::uint64_t bytes = 0;
    ForEachDataExtent(in, size,
                      [&bytes](std::uint64_t start, std::uint64_t end)
                      {
                          bytes += end - start;
                          return true;
                      });
    const std::uint64_t unit = space.f_frsize ? space.f_frsize : space.f_bsize;
    return LeavesReserve(bytes, static_cast<std::uint64_t>(space.f_blocks) * unit,
                         static_cast<std::uint64_t>(space.f_bavail) * unit);
}

// Copies the scanned file's content, read through a descriptor opened inside its held folder, to
// a new file in the quarantine folder: the bytes that were scanned, while the file still is as it
// was scanned, and only when that leaves the reserve free.
bool CopyContent(const ActionTarget& source, int quarantine, const std::string& target)
{
    Descriptor in(::openat(source.folder, source.name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status
    {
    };
    if (!in.Valid() || ::fstat(in.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_dev != source.identity.device || status.st_ino != source.identity.inode ||
        !AsScanned(in.Get(), source) || !RoomFor(in.Get(), source.scannedSize, quarantine) ||
        !CopyFrom(in.Get(), source.scannedSize, quarantine, target))
        return false;
    // Changed while it was copied: the copy may not be what was scanned.
    if (!AsScanned(in.Get(), source))
    {
        ::unlinkat(quarantine, target.c_str(), 0);
        return false;
    }
    return true;
}

// Makes the quarantined file this process's own and readable by it only, so that its former
// owner, who may still hold it open, can neither make it executable nor change it back. Ownership
// changes first: it also clears any set-user-ID bit. Where the owner cannot be changed (an
// unprivileged scanner, a file system that refuses), the content is copied to a file of this
// process's own, which takes the quarantined file's place. Works through the quarantine folder's
// descriptor and one of the quarantined entry itself.
bool SecureQuarantined(int quarantine, const std::string& target)
{
    Descriptor fd(
        ::openat(quarantine, target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status
    {
    };
    if (!fd.Valid() || ::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    const uid_t user = ::geteuid();
    const gid_t group = ::getegid();
    if ((status.st_uid != user || status.st_gid != group) && ::fchown(fd.Get(), user, group) != 0)
    {
        const std::string copy = target + ".part";
        if (!CopyFrom(fd.Get(), static_cast<std::uint64_t>(status.st_size), quarantine, copy))
            return false;
        if (::renameat(quarantine, copy.c_str(), quarantine, target.c_str()) != 0)
        {
            ::unlinkat(quarantine, copy.c_str(), 0);
            return false;
        }
        return true;
    }
    return ::fchmod(fd.Get(), 0600) == 0 && ::fsync(fd.Get()) == 0;
}

// Closes an open folder to everybody but its owner.
bool KeepPrivate(int folder)
{
    struct stat status
    {
    };
    return ::fstat(folder, &status) == 0 &&
           ((status.st_mode & 07777) == 0700 || ::fchmod(folder, 0700) == 0);
}
} // namespace

int QuarantineFile(const ActionTarget& source, const std::string& quarantineFolder,
                   const std::string& threatName)
{
    if (quarantineFolder.empty())
        return ThreatScanner::FileMove;
    struct stat original
    {
    };
    if (!StillTheSameFile(source.folder, source.name, source.identity, &original))
        return ThreatScanner::FileMove;
    if (::mkdir(quarantineFolder.c_str(), 0700) != 0 && errno != EEXIST)
        return ThreatScanner::FileCreate;
    const Descriptor quarantine(OpenFolder(quarantineFolder, false));
    if (!quarantine.Valid() || !KeepPrivate(quarantine.Get()))
        return ThreatScanner::FileCreate;

    char modeText[8];
    std::snprintf(modeText, sizeof modeText, "%04o",
                  static_cast<unsigned int>(original.st_mode & 07777));
    const std::string record = "Original path: " + EscapedRecordValue(source.path) + "\n" +
                               "Quarantined at: " + UtcTime("%Y-%m-%dT%H:%M:%SZ") + "\n" +
                               "Threat: " + EscapedRecordValue(threatName) + "\n" +
                               "Original mode: " + modeText + "\n" +
                               "Original owner: " + std::to_string(original.st_uid) + "\n" +
                               "Original group: " + std::to_string(original.st_gid) + "\n";
    // The record is written first: should anything stop half-way, there is never a quarantined
    // file without its original path.
    const std::string id = WriteRecord(quarantine.Get(), record);
    if (id.empty())
        return ThreatScanner::FileCreate;
    const std::string recordName = id + ".txt";
    const std::string target = id + ".bin";
    const auto fail = [&]()
    {
        ::unlinkat(quarantine.Get(), recordName.c_str(), 0);
        return ThreatScanner::FileMove;
    };

    if (::renameat(source.folder, source.name.c_str(), quarantine.Get(), target.c_str()) == 0)
    {
        // The entry may have been swapped between the check and the move: then what was moved
        // goes back, untouched.
        if (!StillTheSameFile(quarantine.Get(), target, source.identity))
        {
            ::renameat2(quarantine.Get(), target.c_str(), source.folder, source.name.c_str(),
                        RENAME_NOREPLACE);
            return fail();
        }
    }
    else
    {
        // Another file system: copy, flush, and only then remove the original.
        if (errno != EXDEV || !CopyContent(source, quarantine.Get(), target))
            return fail();
        ::fsync(quarantine.Get());
        if (!StillTheSameFile(source.folder, source.name, source.identity) ||
            ::unlinkat(source.folder, source.name.c_str(), 0) != 0)
        {
            ::unlinkat(quarantine.Get(), target.c_str(), 0);
            return fail();
        }
    }
    // Nobody runs or reads a quarantined file; the record keeps the original owner and mode.
    // Should that fail, the file stays in the quarantine folder, which only its owner can enter,
    // and the move counts as failed.
    const bool secured = SecureQuarantined(quarantine.Get(), target);
    ::fsync(quarantine.Get());
    return secured ? ThreatScanner::Success : ThreatScanner::FileWrite;
}

int RemoveFile(const ActionTarget& target)
{
    if (!StillTheSameFile(target.folder, target.name, target.identity))
        return ThreatScanner::FileRemove;
    if (::unlinkat(target.folder, target.name.c_str(), 0) != 0)
        return errno == EACCES || errno == EPERM ? ThreatScanner::PathAccess
                                                 : ThreatScanner::FileRemove;
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
