#include "CacheStore.h"
#include "Service.h"

#include "ThreatScanner/ThreatScanner.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>

// Folders passed by descriptor: which folder the service serves, and a set loaded for an update
// through the folder the client opened.
namespace ThreatScannerService
{
using namespace ThreatScannerEngine;
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

bool Service::IsFolder(std::intptr_t folder, const std::string& path)
{
    struct stat passed;
    struct stat own;
    return ::fstat(static_cast<int>(folder), &passed) == 0 &&
           Identify(AT_FDCWD, path.c_str(), own) && SameFile(passed, own);
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
    staged.switching = std::unique_lock<std::mutex>(switching);
    WaitForOneSet();
    // Read through the descriptor: the service never opens a path that a client names.
    std::shared_ptr<Generation> loaded;
    const int result = Load("/proc/self/fd/" + std::to_string(folder.Get()), false, loaded);
    if (result != ThreatScanner::Success)
    {
        staged.switching.unlock();
        return ScanProtocol::SwitchReply{result};
    }
    staged.generation = std::move(loaded);
    staged.device = static_cast<std::uint64_t>(status.st_dev);
    staged.inode = static_cast<std::uint64_t>(status.st_ino);
    return ScanProtocol::SwitchReply{ThreatScanner::Success};
}

int Service::CommitStaged(Staged& staged)
{
    std::shared_ptr<Generation> next = std::move(staged.generation);
    if (!next)
        return ThreatScanner::InvalidArgument;
    // Served only when the definitions folder is now the very folder that was loaded.
    const std::string definitions = DefinitionsFolder(settings);
    struct stat own;
    if (!Identify(AT_FDCWD, definitions.c_str(), own) ||
        static_cast<std::uint64_t>(own.st_dev) != staged.device ||
        static_cast<std::uint64_t>(own.st_ino) != staged.inode)
        return ThreatScanner::Failed;
    next->folder = definitions;
    // The set is served without a cache when the folder cannot be described.
    if (CacheDigest digest{}; DefinitionsDigest(definitions, Engine::Version(), digest))
        AttachCache(*next, digest);
    Replace(std::move(next));
    return ThreatScanner::Success;
}

} // namespace ThreatScannerService
