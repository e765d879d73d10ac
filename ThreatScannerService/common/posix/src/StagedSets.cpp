#include "CacheStore.h"
#include "Service.h"

#include "ThreatScanner/ThreatScanner.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>

// Folders passed by descriptor: which folder the service serves, and a set loaded for an update
// through the folder the client opened. A set is described by the clean-result cache's digest.
namespace ThreatScannerService
{
using ScanProtocol::Message;
using ScanProtocol::OwnedDescriptor;

namespace
{
bool Identify(int fd, const char* name, struct stat& status)
{
    const OwnedDescriptor opened(::openat(fd, name, O_PATH | O_DIRECTORY | O_CLOEXEC));
    return opened.Get() >= 0 && ::fstat(opened.Get(), &status) == 0;
}

bool SameFile(const struct stat& one, const struct stat& other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}
} // namespace

bool Service::DescribeSet(const std::string& folder, ThreatScannerEngine::CacheDigest& digest)
{
    return ThreatScannerEngine::DefinitionsDigest(folder, ThreatScannerEngine::Engine::Version(),
                                                  digest);
}

bool Service::KeepsCleanResults()
{
    return true;
}

bool Service::IdentifyFolder(const std::string& path, FolderIdentity& identity)
{
    struct stat own;
    if (!Identify(AT_FDCWD, path.c_str(), own))
        return false;
    identity = {static_cast<std::uint64_t>(own.st_dev), static_cast<std::uint64_t>(own.st_ino)};
    return true;
}

bool Service::IsFolder(std::intptr_t folder, const std::string& path)
{
    struct stat passed;
    FolderIdentity own;
    return ::fstat(static_cast<int>(folder), &passed) == 0 && IdentifyFolder(path, own) &&
           own == FolderIdentity{static_cast<std::uint64_t>(passed.st_dev),
                                 static_cast<std::uint64_t>(passed.st_ino)};
}

Message Service::LoadStaged(OwnedDescriptor folder, Staged& staged)
{
    struct stat status;
    if (folder.Get() < 0 || ::fstat(folder.Get(), &status) != 0 || !S_ISDIR(status.st_mode))
        return ScanProtocol::Refused{ThreatScanner::InvalidArgument};
    // Only a folder beside the definitions folder can take its place by a rename; any other is
    // loaded by the client itself, and this service keeps its own set.
    struct stat parent;
    struct stat ownParent;
    if (!Identify(folder.Get(), "..", parent) ||
        !Identify(AT_FDCWD, (DefinitionsFolder(settings) + "/..").c_str(), ownParent) ||
        !SameFile(parent, ownParent))
        return ScanProtocol::Refused{ThreatScanner::NotSupported};
    // Read through the descriptor: the service never opens a path that a client names.
    return LoadForInstall(
        {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)},
        staged, [&folder] { return "/proc/self/fd/" + std::to_string(folder.Get()); });
}
} // namespace ThreatScannerService
