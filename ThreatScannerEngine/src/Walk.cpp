#include "Walk.h"
#include "FileSystem.h"

#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace ThreatScannerEngine
{
void (*walkListedHook)(const char* folder) = nullptr;

namespace
{
bool IsSkipped(const FileIdentity& identity, const std::vector<FileIdentity>& skippedFolders)
{
    return std::any_of(skippedFolders.begin(), skippedFolders.end(),
                       [&](const FileIdentity& id)
                       { return id.device == identity.device && id.inode == identity.inode; });
}
} // namespace

int WalkTree(const std::string& root, const std::vector<FileIdentity>& skippedFolders,
             const WalkVisitor& onFile, const std::function<void(const std::string&, int)>& onError)
{
    WalkRoot found;
    if (const int result = FindWalkRoot(root, found); result != ThreatScanner::Success)
        return result;
    if (found.kind == NodeKind::File)
    {
        onFile(found.parent, found.name, found.path);
        return ThreatScanner::Success;
    }
    if (found.kind != NodeKind::Folder || IsSkipped(found.identity, skippedFolders))
        return ThreatScanner::Success;
    const std::uint64_t device = found.identity.device;

    // An explicit stack keeps deep trees off the call stack. Each level holds its folder open
    // while its entries are visited, and the files found hold it until they are acted on.
    struct Level
    {
        SharedFolder folder;
        std::string path;
        std::vector<FolderEntry> entries;
        std::size_t next = 0;
    };
    std::vector<Level> stack;
    const auto enter = [&](SharedFolder folder, std::string path)
    {
        Level level{std::move(folder), std::move(path), {}, 0};
        if (!ListFolder(*level.folder, level.entries))
            onError(level.path, ThreatScanner::PathAccess);
        std::sort(level.entries.begin(), level.entries.end(),
                  [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
        if (walkListedHook)
            walkListedHook(level.path.c_str());
        stack.push_back(std::move(level));
    };
    {
        // The root folder must still be the one examined, and not have become a link since.
        SharedFolder top = found.parent;
        FileIdentity opened;
        const bool same = found.name.empty() ? IdentityOf(*top, opened)
                                             : OpenSubfolder(*found.parent, found.name, top,
                                                             opened) == OpenOutcome::Opened;
        if (!same || opened.inode != found.identity.inode || opened.device != device)
        {
            onError(found.path, ThreatScanner::PathAccess);
            return ThreatScanner::Success;
        }
        enter(std::move(top), found.path);
    }
    while (!stack.empty())
    {
        Level& level = stack.back();
        if (level.next == level.entries.size())
        {
            stack.pop_back();
            continue;
        }
        const FolderEntry& entry = level.entries[level.next++];
        const std::string path = JoinPath(level.path, entry.name);
        if (!entry.folder)
        {
            onFile(level.folder, entry.name, path);
            continue;
        }
        // Opened inside the held parent and never through a link: a folder swapped for a link
        // since it was listed is left out like one that went.
        SharedFolder folder;
        FileIdentity opened;
        const OpenOutcome outcome = OpenSubfolder(*level.folder, entry.name, folder, opened);
        if (outcome != OpenOutcome::Opened)
        {
            if (outcome == OpenOutcome::Failed)
                onError(path, ThreatScanner::PathAccess);
            continue;
        }
        if (opened.device != device || IsSkipped(opened, skippedFolders))
            continue;
        enter(std::move(folder), path);
    }
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
