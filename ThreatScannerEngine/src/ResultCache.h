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
// What identifies one version of a file: any write to it changes its change time, and a file put
// in its place has another inode or device.
struct CacheKey
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0; // nanoseconds since 1970-01-01 UTC
    std::int64_t changed = 0;  // nanoseconds since 1970-01-01 UTC

    bool operator==(const CacheKey& other) const
    {
        return device == other.device && inode == other.inode && size == other.size &&
               modified == other.modified && changed == other.changed;
    }
};

using CacheDigest = std::array<unsigned char, 32>;

// SHA-256 of the data.
CacheDigest Sha256(const void* data, std::size_t size);

// The files found clean with one set of definitions, so that a later scan with the same set
// need not read them again. Only clean results are kept: a file that matched, could not be read
// in full or reached a limit is scanned every time. Each entry says under which scan options
// (archives on, archives off) the file was clean.
//
// The stored form starts with a magic text, the format version and the digest of the
// definitions it belongs to, and ends with a SHA-256 of everything before it: a file that was
// cut short, damaged or made for other definitions loads as empty.
//
// Look-ups may run on many threads at once; additions come in batches.
class ResultCache
{
public:
    // At most this many entries are kept; entries not used in this session go first.
    static constexpr std::size_t maxEntries = 1000000;

    explicit ResultCache(const CacheDigest& definitions) : definitions(definitions) {}

    // Replaces the content with the stored form; false (and empty) when the data is damaged or
    // belongs to other definitions.
    bool Load(const std::string& stored);
    // The stored form, bounded to maxEntries.
    std::string Save() const;

    bool IsClean(const CacheKey& key, unsigned int options) const;
    void AddClean(const std::vector<CacheKey>& keys, unsigned int options);
    // Whether anything was added since the last call.
    bool TakeChanged();

    std::size_t Size() const;

private:
    struct KeyHash
    {
        std::size_t operator()(const CacheKey& key) const;
    };
    struct Entry
    {
        explicit Entry(unsigned char options, bool used = false) : options(options), used(used) {}
        unsigned char options;
        mutable std::atomic<bool> used;
    };

    CacheDigest definitions;
    mutable std::shared_mutex mutex;
    std::unordered_map<CacheKey, Entry, KeyHash> entries;
    bool changed = false;
};

// The cache bit of a set of scan options.
inline unsigned int CacheOptions(bool scanArchives)
{
    return scanArchives ? 2u : 1u;
}
} // namespace ThreatScannerEngine
