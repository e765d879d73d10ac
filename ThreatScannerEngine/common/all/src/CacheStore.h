#pragma once

#include "Actions.h"
#include "ResultCache.h"

#include <cstddef>
#include <string>

namespace ThreatScannerEngine
{
// The clean-result cache file in the definitions folder, and the temporary files it is written
// through (its name followed by a dot and a random suffix).
extern const char cacheFileName[];

// The digest of the definitions in the folder: the given engine version and, for every file in
// it (the cache files excepted), its name, device, inode, size and modification and change
// times. Any change to the set or to a file changes it. False when the folder cannot be listed.
bool DefinitionsDigest(const std::string& pluginsFolder, const std::string& engineVersion,
                       CacheDigest& digest);

// The content of the cache file; empty when there is none or it cannot be trusted: anything
// but a regular file (a link is never followed), a file of another user, a file that its group
// or others may write, or one larger than maxSize.
std::string ReadCacheFile(const std::string& pluginsFolder, std::size_t maxSize);

// Replaces the cache file with the content: writes a new file that only its owner may read and
// write, inside the folder, and renames it over the old one, so that readers see either the old
// or the new content and a link planted under either name is replaced, never followed. False
// when that fails; the old file is then left as it was.
bool WriteCacheFile(const std::string& pluginsFolder, const std::string& content);
} // namespace ThreatScannerEngine
