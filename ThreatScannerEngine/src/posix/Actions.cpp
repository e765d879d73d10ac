#include "Actions.h"

#include "ThreatScanner/ThreatScanner.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
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

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0)
    {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
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
        if (WriteAll(fd.Get(), record.data(), record.size()) && ::fsync(fd.Get()) == 0 &&
            fd.Close())
            return id;
        ::unlinkat(folder, name.c_str(), 0);
        return {};
    }
    return {};
}

// Copies what is left to read of the descriptor to a new file in the quarantine folder, owned by
// this process and readable by it only, and flushes it to disk.
bool CopyFrom(int in, int quarantine, const std::string& target)
{
    Descriptor out(::openat(quarantine, target.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.Valid())
        return false;
    char buffer[65536];
    for (;;)
    {
        const ssize_t count = ::read(in, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 ||
            (count > 0 && !WriteAll(out.Get(), buffer, static_cast<std::size_t>(count))))
        {
            ::unlinkat(quarantine, target.c_str(), 0);
            return false;
        }
        if (count == 0)
            break;
    }
    if (::fsync(out.Get()) != 0 || !out.Close())
    {
        ::unlinkat(quarantine, target.c_str(), 0);
        return false;
    }
    return true;
}

// Copies the scanned file's content, read through a descriptor opened inside its held folder, to
// a new file in the quarantine folder.
bool CopyContent(const ActionTarget& source, int quarantine, const std::string& target)
{
    Descriptor in(::openat(source.folder, source.name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status
    {
    };
    if (!in.Valid() || ::fstat(in.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_dev != source.identity.device || status.st_ino != source.identity.inode)
        return false;
    return CopyFrom(in.Get(), quarantine, target);
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
        if (!CopyFrom(fd.Get(), quarantine, copy))
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
    if (!StillTheSameFile(target.folder, target.name, target.identity) ||
        ::unlinkat(target.folder, target.name.c_str(), 0) != 0)
        return ThreatScanner::FileRemove;
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
