// The engine's clean-result cache file as it is read back at start-up. The input takes the place
// of the file without its last 32 bytes: the target appends the SHA-256 that a sound file ends
// with and takes the definitions digest from the input's own header, so that the fuzzer reaches
// the entries behind those checks.
// Invariant: what loads saves to a form that loads again with as many entries.
#include "FuzzSupport.h"

#include "ResultCache.h"

#include <algorithm>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string stored(reinterpret_cast<const char*>(data), size);
    ThreatScannerEngine::CacheDigest definitions{};
    if (size >= 12)
        std::memcpy(definitions.data(), data + 12, std::min<std::size_t>(32, size - 12));
    const ThreatScannerEngine::CacheDigest sum = ThreatScannerEngine::Sha256(data, size);
    stored.append(reinterpret_cast<const char*>(sum.data()), sum.size());

    ThreatScannerEngine::ResultCache cache(definitions);
    if (!cache.Load(stored))
    {
        CORVANE_FUZZ_CHECK(cache.Size() == 0, "a refused file left entries");
        return 0;
    }
    ThreatScannerEngine::ResultCache again(definitions);
    CORVANE_FUZZ_CHECK(again.Load(cache.Save()) && again.Size() == cache.Size(),
                       std::to_string(cache.Size()) + " entries did not survive saving");
    return 0;
}
