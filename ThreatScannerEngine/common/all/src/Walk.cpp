#include "Walk.h"
#include "FileSystem.h"

#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace ThreatScannerEngine
{
void (*walkListedHook)(const char* folder) = nullptr;
std::size_t heldFolderLevels = 64;

namespace
{
bool IsSkipped(const FileIdentity& identity, const std::vector<FileIdentity>& skippedFolders)
{
    return std::any_of(skippedFolders.begin(), skippedFolders.end(),
                       [&](const FileIdentity& id)
                       { return id.device == identity.device && id.inode == identity.inode; });
}

bool Same(const FileIdentity& a, const FileIdentity& b)
{
    return a.device == b.device && a.inode == b.inode;
}

// One folder on the way from the root down to the folder being walked.
struct Level
{
    SharedFolder folder; // null while let go
    std::string name;    // its name in the level above; empty for the root
    FileIdentity identity;
    std::size_t pathLength = 0; // its path is the walk's current path cut to this length
    std::vector<FolderEntry> entries;
    std::size_t next = 0;
};

class Walk
{
public:
    Walk(const std::vector<FileIdentity>& skippedFolders, const WalkVisitor& onFile,
         const std::function<void(const std::string&, int)>& onError)
        : skippedFolders(skippedFolders), onFile(onFile), onError(onError)
    {
    }

    // Walks from the open root folder, whose path is given.
    void Run(SharedFolder top, const FileIdentity& identity, const std::string& rootPath,
             const std::atomic<bool>* stop);

private:
    std::string PathOf(std::size_t level) const { return path.substr(0, stack[level].pathLength); }
    // Lists the folder and makes it the deepest level; false when it could not be entered.
    void Enter(SharedFolder folder, const FileIdentity& identity, const std::string& name);
    // Lets go of the level that falls out of the held window below the root.
    void LetGoAbove();
    // Makes sure the deepest level is open; false (after reporting) when it cannot be opened as
    // the same folder again, and then the levels that could not be reached have nothing left.
    bool Reopen();

    const std::vector<FileIdentity>& skippedFolders;
    const WalkVisitor& onFile;
    const std::function<void(const std::string&, int)>& onError;
    std::vector<Level> stack;
    std::string path; // the path of the deepest level
};

void Walk::Enter(SharedFolder folder, const FileIdentity& identity, const std::string& name)
{
    const std::size_t parentLength = path.size();
    try
    {
        if (!stack.empty())
            path = JoinPath(path, name);
        Level level;
        level.folder = std::move(folder);
        level.name = name;
        level.identity = identity;
        level.pathLength = path.size();
        if (!ListFolder(*level.folder, level.entries))
            onError(path, ThreatScanner::PathAccess);
        std::sort(level.entries.begin(), level.entries.end(),
                  [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
        if (walkListedHook)
            walkListedHook(path.c_str());
        stack.push_back(std::move(level));
    }
    catch (const std::bad_alloc&)
    {
        // A folder too large to list, or a walk too deep to go on: that subtree is left out.
        const std::string failed = JoinPath(path.substr(0, parentLength), name);
        path.resize(parentLength);
        path.shrink_to_fit();
        onError(stack.empty() ? path : failed, ThreatScanner::NoMemory);
        return;
    }
    LetGoAbove();
}

void Walk::LetGoAbove()
{
    if (stack.size() > heldFolderLevels + 1)
        stack[stack.size() - 1 - heldFolderLevels].folder.reset();
}

bool Walk::Reopen()
{
    const std::size_t deepest = stack.size() - 1;
    if (stack[deepest].folder)
        return true;
    std::size_t held = deepest;
    while (held > 0 && !stack[held].folder)
        --held;
    for (std::size_t level = held + 1; level <= deepest; ++level)
    {
        SharedFolder folder;
        FileIdentity opened;
        const OpenOutcome outcome =
            OpenSubfolder(*stack[level - 1].folder, stack[level].name, folder, opened);
        if (outcome != OpenOutcome::Opened || !Same(opened, stack[level].identity))
        {
            // Gone, replaced or unreadable since it was entered: what is left below it is not
            // walked, and it is said so once.
            onError(PathOf(level), ThreatScanner::PathAccess);
            for (std::size_t lost = level; lost <= deepest; ++lost)
            {
                stack[lost].next = stack[lost].entries.size();
                stack[lost].folder.reset();
            }
            return false;
        }
        stack[level].folder = std::move(folder);
        // The levels on the way are kept open only inside the held window.
        if (level + heldFolderLevels <= deepest && level > 0)
            stack[level].folder.reset();
    }
    return true;
}

void Walk::Run(SharedFolder top, const FileIdentity& identity, const std::string& rootPath,
               const std::atomic<bool>* stop)
{
    path = rootPath;
    Enter(std::move(top), identity, std::string());
    const std::uint64_t device = identity.device;
    while (!stack.empty())
    {
        if (stop && stop->load(std::memory_order_relaxed))
            return;
        Level& level = stack.back();
        if (level.next == level.entries.size())
        {
            stack.pop_back();
            path.resize(stack.empty() ? 0 : stack.back().pathLength);
            continue;
        }
        if (!Reopen())
            continue;
        const FolderEntry& entry = level.entries[level.next++];
        try
        {
            if (!entry.folder)
            {
                onFile(level.folder, entry.name, JoinPath(path, entry.name));
                continue;
            }
        }
        catch (const std::bad_alloc&)
        {
            onError(path, ThreatScanner::NoMemory);
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
                onError(JoinPath(path, entry.name), ThreatScanner::PathAccess);
            continue;
        }
        if (opened.device != device || IsSkipped(opened, skippedFolders))
            continue;
        const std::string name = entry.name; // the entries may move when the stack grows
        Enter(std::move(folder), opened, name);
    }
}
} // namespace

int WalkTree(const std::string& root, const std::vector<FileIdentity>& skippedFolders,
             const WalkVisitor& onFile, const std::function<void(const std::string&, int)>& onError,
             const std::atomic<bool>* stop)
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

    // The root folder must still be the one examined, and not have become a link since.
    SharedFolder top = found.parent;
    FileIdentity opened;
    const bool same = found.name.empty() ? IdentityOf(*top, opened)
                                         : OpenSubfolder(*found.parent, found.name, top, opened) ==
                                               OpenOutcome::Opened;
    if (!same || !Same(opened, found.identity))
    {
        onError(found.path, ThreatScanner::PathAccess);
        return ThreatScanner::Success;
    }
    found.parent.reset();
    Walk walk(skippedFolders, onFile, onError);
    walk.Run(std::move(top), opened, found.path, stop);
    if (stop && stop->load(std::memory_order_relaxed))
        return ThreatScanner::Stopped;
    return ThreatScanner::Success;
}
} // namespace ThreatScannerEngine
