// The clean-result cache is not kept on Windows: its file would need an access list that only
// the installation's owner can change, and change times that only the system sets; without them
// a kept result could stand for a file changed since. Every scan reads every file.
#include "CacheStore.h"

namespace ThreatScannerEngine
{
const char cacheFileName[] = "cache.000";

bool DefinitionsDigest(const std::string&, const std::string&, CacheDigest&)
{
    return false;
}

bool KeepsTrueChangeTimes(const Descriptor&)
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
