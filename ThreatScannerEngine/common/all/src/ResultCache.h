#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace ThreatScannerEngine
{
using CacheDigest = std::array<unsigned char, 32>;

// SHA-256 of the data.
CacheDigest Sha256(const void* data, std::size_t size);

// The content found clean with one set of definitions, so that a later scan with the same set
// need not scan it again. An entry is the digest of exactly the bytes the engine judged (see
// ContentDigest), never a file's name, identity or times: whatever changes the content changes
// the key, on any file system. Only clean results are kept: content that matched, could not be
// read in full or reached a limit is scanned every time. Each entry says under which scan
// options (archives on, archives off) the content was clean.
//
// The stored form starts with a magic text, the format version and the digest of the
// definitions it belongs to, and ends with a SHA-256 of everything before it: a file that was
// cut short, damaged or made for other definitions loads as empty.
//
// Look-ups may run on many threads at once; additions come in batches.
class ResultCache
{
public:
    // At most this many entries are kept by default; entries not used in this session go first.
    static constexpr std::size_t defaultMaxEntries = 1000000;

    explicit ResultCache(const CacheDigest& definitions, std::size_t maxEntries = defaultMaxEntries)
        : definitions(definitions), maxEntries(maxEntries)
    {
    }

    // Replaces the content with the stored form; false (and empty) when the data is damaged or
    // belongs to other definitions.
    bool Load(const std::string& stored);
    // The stored form, bounded to maxEntries.
    std::string Save() const;

    bool IsClean(const CacheDigest& content, unsigned int options) const;
    void AddClean(const std::vector<CacheDigest>& contents, unsigned int options);
    // Whether anything was added since the last call.
    bool TakeChanged();

    std::size_t Size() const;

private:
    struct KeyHash
    {
        std::size_t operator()(const CacheDigest& key) const;
    };
    struct Entry
    {
        explicit Entry(unsigned char options, bool used = false) : options(options), used(used) {}
        unsigned char options;
        mutable std::atomic<bool> used;
    };

    CacheDigest definitions;
    std::size_t maxEntries;
    mutable std::shared_mutex mutex;
    std::unordered_map<CacheDigest, Entry, KeyHash> entries;
    bool changed = false;
};

// How many entries the caches opened from now on keep; tests lower it.
extern std::size_t resultCacheEntries;

// The cache bit of a set of scan options.
inline unsigned int CacheOptions(bool scanArchives)
{
    return scanArchives ? 2u : 1u;
}
} // namespace ThreatScannerEngine
