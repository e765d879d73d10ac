#pragma once

#include "Actions.h"

#include <functional>
#include <string>
#include <vector>

namespace ThreatScannerEngine
{
// Walks a file or a folder tree, calling onFile for each regular file in name order, depth
// first, with paths made absolute. Symbolic links inside the tree are not followed and folders on
// other file systems are not entered; a symbolic link given as the root itself is resolved first.
// Folders that cannot be read are passed to onError with their path and a result code, and the
// walk goes on. The skipped folders are not entered (the engine's own quarantine and temporary
// folders). Returns PathError when the root does not exist, PathAccess when it cannot be
// examined, else 0.
int WalkTree(const std::string& root, const std::vector<FileIdentity>& skippedFolders,
             const std::function<void(const std::string&)>& onFile,
             const std::function<void(const std::string&, int)>& onError);
} // namespace ThreatScannerEngine
