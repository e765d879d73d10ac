#include "Actions.h"

#include "ThreatScanner.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace ThreatScannerEngine
{
namespace
{
class Descriptor
{
public:
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd; }
    // Closes now and says whether closing succeeded (a late write error shows up here).
    bool Close()
    {
        const int value = fd;
        fd = -1;
        return ::close(value) == 0;
    }

private:
    int fd;
};

bool StillTheSameFile(const std::string& path, const FileIdentity& identity,
                      struct stat* found = nullptr)
{
    struct stat status
    {
    };
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
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

void SyncFolder(const std::string& folder)
{
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0)
        ::fsync(fd.Get());
}

std::string UtcTime(const char* format)
{
    const std::time_t now = std::time(nullptr);
    std::tm moment{};
    gmtime_r(&now, &moment);
    char text[32];
    std::strftime(text, sizeof text, format, &moment);
    return text;
}

// Newlines and backslashes are escaped so that each value stays on its line.
std::string Escaped(const std::string& text)
{
    std::string result;
    for (const char c : text)
    {
        if (c == '\\')
            result += "\\\\";
        else if (c == '\n')
            result += "\\n";
        else if (c == '\r')
            result += "\\r";
        else
            result += c;
    }
    return result;
}

// Creates <folder>/<id>.txt exclusively and writes the record into it; returns the id, or empty.
std::string WriteRecord(const std::string& folder, const std::string& record)
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
        const std::string id = UtcTime("%Y%m%dT%H%M%SZ") + "-" + suffix;
        const std::string path = folder + "/" + id + ".txt";
        Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.Get() < 0)
        {
            if (errno == EEXIST)
                continue;
            return {};
        }
        if (WriteAll(fd.Get(), record.data(), record.size()) && ::fsync(fd.Get()) == 0 &&
            fd.Close())
            return id;
        ::unlink(path.c_str());
        return {};
    }
    return {};
}

// Copies what is left to read of the descriptor to a new file at target, owned by this process
// and readable by it only, and flushes it to disk.
bool CopyFrom(int in, const std::string& target)
{
    Descriptor out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.Get() < 0)
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
            ::unlink(target.c_str());
            return false;
        }
        if (count == 0)
            break;
    }
    if (::fsync(out.Get()) != 0 || !out.Close())
    {
        ::unlink(target.c_str());
        return false;
    }
    return true;
}

// Copies the file's content to a new file at target and flushes it to disk.
bool CopyContent(const std::string& source, const FileIdentity& identity, const std::string& target)
{
    Descriptor in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status
    {
    };
    if (in.Get() < 0 || ::fstat(in.Get(), &status) != 0 || status.st_dev != identity.device ||
        status.st_ino != identity.inode)
        return false;
    return CopyFrom(in.Get(), target);
}

// Makes the quarantined file this process's own and readable by it only, so that its former
// owner, who may still hold it open, can neither make it executable nor change it back. Ownership
// changes first: it also clears any set-user-ID bit. Where the owner cannot be changed (an
// unprivileged scanner, a file system that refuses), the content is copied to a file of this
// process's own, which takes the quarantined file's place.
bool SecureQuarantined(const std::string& target)
{
    Descriptor fd(::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status
    {
    };
    if (fd.Get() < 0 || ::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    const uid_t user = ::geteuid();
    const gid_t group = ::getegid();
    if ((status.st_uid != user || status.st_gid != group) && ::fchown(fd.Get(), user, group) != 0)
    {
        const std::string copy = target + ".part";
        if (!CopyFrom(fd.Get(), copy))
            return false;
        if (::rename(copy.c_str(), target.c_str()) != 0)
        {
            ::unlink(copy.c_str());
            return false;
        }
        return true;
    }
    return ::fchmod(fd.Get(), 0600) == 0 && ::fsync(fd.Get()) == 0;
}

// Creates the quarantine folder, or closes an existing one to everybody but its owner.
bool PrivateFolder(const std::string& folder)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status
    {
    };
    if (fd.Get() < 0 || ::fstat(fd.Get(), &status) != 0)
        return false;
    return (status.st_mode & 07777) == 0700 || ::fchmod(fd.Get(), 0700) == 0;
}
} // namespace

int QuarantineFile(const std::string& path, const FileIdentity& identity,
                   const std::string& quarantineFolder, const std::string& threatName)
{
    if (quarantineFolder.empty())
        return ThreatScanner::FileMove;
    struct stat original
    {
    };
    if (!StillTheSameFile(path, identity, &original))
        return ThreatScanner::FileMove;
    if (!PrivateFolder(quarantineFolder))
        return ThreatScanner::FileCreate;

    char modeText[8];
    std::snprintf(modeText, sizeof modeText, "%04o",
                  static_cast<unsigned int>(original.st_mode & 07777));
    const std::string record = "Original path: " + Escaped(path) + "\n" +
                               "Quarantined at: " + UtcTime("%Y-%m-%dT%H:%M:%SZ") + "\n" +
                               "Threat: " + Escaped(threatName) + "\n" +
                               "Original mode: " + modeText + "\n" +
                               "Original owner: " + std::to_string(original.st_uid) + "\n" +
                               "Original group: " + std::to_string(original.st_gid) + "\n";
    // The record is written first: should anything stop half-way, there is never a quarantined
    // file without its original path.
    const std::string id = WriteRecord(quarantineFolder, record);
    if (id.empty())
        return ThreatScanner::FileCreate;
    const std::string recordPath = quarantineFolder + "/" + id + ".txt";
    const std::string target = quarantineFolder + "/" + id + ".bin";

    if (::rename(path.c_str(), target.c_str()) != 0)
    {
        // Another file system: copy, flush, and only then remove the original.
        if (errno != EXDEV || !CopyContent(path, identity, target))
        {
            ::unlink(recordPath.c_str());
            return ThreatScanner::FileMove;
        }
        SyncFolder(quarantineFolder);
        if (!StillTheSameFile(path, identity) || ::unlink(path.c_str()) != 0)
        {
            ::unlink(target.c_str());
            ::unlink(recordPath.c_str());
            return ThreatScanner::FileMove;
        }
    }
    // Nobody runs or reads a quarantined file; the record keeps the original owner and mode.
    // Should that fail, the file stays in the quarantine folder, which only its owner can enter,
    // and the move counts as failed.
    const bool secured = SecureQuarantined(target);
    SyncFolder(quarantineFolder);
    return secured ? ThreatScanner::Success : ThreatScanner::FileWrite;
}

int DeleteFile(const std::string& path, const FileIdentity& identity)
{
    if (!StillTheSameFile(path, identity) || ::unlink(path.c_str()) != 0)
        return ThreatScanner::FileRemove;
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
