#pragma once

#include "Actions.h"

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
// resolved first. Folders that cannot be read are passed to onError with their path and a result
// code, and the walk goes on. The skipped folders are not entered (the engine's own quarantine and
// temporary folders). Returns PathError when the root does not exist, PathAccess when it cannot be
// examined, else 0.
int WalkTree(const std::string& root, const std::vector<FileIdentity>& skippedFolders,
             const WalkVisitor& onFile,
             const std::function<void(const std::string&, int)>& onError);

// A pause point for tests: when set, called with a folder's path after its entries were listed
// and before any of them is visited. Nothing in the library sets it.
extern void (*walkListedHook)(const char* folder);
} // namespace ThreatScannerEngine
