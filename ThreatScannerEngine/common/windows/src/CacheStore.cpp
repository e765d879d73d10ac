// The clean-result cache is not kept on Windows: its file would need an access list that only
// the installation's owner can change; without one, anyone could add entries that vouch for
// content never scanned. Every scan scans every file.
#include "CacheStore.h"

namespace ThreatScannerEngine
{
const char cacheFileName[] = "cache.000";

bool DefinitionsDigest(const std::string&, const std::string&, CacheDigest&)
{
    return false;
}

std::string ReadCacheFile(const std::string&, std::size_t)
{
    return {};
}

bool WriteCacheFile(const std::string&, const std::string&)
{
    return false;
}
} // namespace ThreatScannerEngine
