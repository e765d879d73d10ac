#pragma once

#include "Actions.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace ThreatScannerEngine
{
// Called for each regular file found: the folder it is in (held open), its name there and its
// full path for reports.
using WalkVisitor = std::function<void(const SharedFolder& folder, const std::string& name,
                                       const std::string& path)>;

// Walks a file or a folder tree, calling onFile for each regular file in name order, depth
// first, with paths made absolute. The walk goes through folder descriptors only: every folder is
// opened inside its already open parent and never through a symbolic link, so a folder swapped
// for a link while the walk runs is not entered, and paths longer than PATH_MAX are walked too.
// Folders on other file systems are not entered; a symbolic link given as the root itself is
// resolved first. The skipped folders are not entered (the engine's own quarantine and temporary
// folders).
//
// What the walk holds grows with the depth, not with its square: each level keeps its own name
// and its entries' names, and full paths are only put together for what is reported. At most
// heldFolderLevels levels below the root are held open; a level that was let go is opened again
// by name inside its nearest held ancestor when the walk comes back to it with entries left, and
// only when it is still the same folder (device and inode).
//
// A folder that cannot be read, opened again, or held in memory is passed to onError with its
// path and a result code (PathAccess, NoMemory), its subtree is left out, and the walk goes on.
// When stop is set, the walk ends before the next entry. Returns PathError when the root does
// not exist, PathAccess when it cannot be examined, Stopped when it was stopped, else 0.
int WalkTree(const std::string& root, const std::vector<FileIdentity>& skippedFolders,
             const WalkVisitor& onFile, const std::function<void(const std::string&, int)>& onError,
             const std::atomic<bool>* stop = nullptr);

// How many levels below the root a walk holds open at most.
extern std::size_t heldFolderLevels;

// A pause point for tests: when set, called with a folder's path after its entries were listed
// and before any of them is visited. Nothing in the library sets it.
extern void (*walkListedHook)(const char* folder);
} // namespace ThreatScannerEngine
