#include "ResultCache.h"

#include <algorithm>
#include <clamav.h>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace ThreatScannerEngine
{
std::size_t resultCacheEntries = ResultCache::defaultMaxEntries;

namespace
{
const char magic[8] = {'C', 'V', 'R', 'C', 'A', 'C', 'H', 'E'};
// Version 1 named files by identity and times; its files are discarded.
constexpr std::uint32_t formatVersion = 2;
constexpr std::size_t headerSize = sizeof magic + 4 + 32 + 8;
constexpr std::size_t entrySize = 32 + 1;

void Put(std::string& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t Get(const unsigned char* in, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    return value;
}
} // namespace

CacheDigest Sha256(const void* data, std::size_t size)
{
    CacheDigest digest{};
    unsigned int length = static_cast<unsigned int>(digest.size());
    if (!cl_hash_data("sha256", data, size, digest.data(), &length))
        throw std::runtime_error("SHA-256 is not available");
    return digest;
}

std::size_t ResultCache::KeyHash::operator()(const CacheDigest& key) const
{
    // The key is a digest already: any eight of its bytes are as good as a hash.
    std::size_t hash = 0;
    std::memcpy(&hash, key.data(), sizeof hash);
    return hash;
}

bool ResultCache::Load(const std::string& stored)
{
    std::unique_lock<std::shared_mutex> lock(mutex);
    entries.clear();
    const auto* data = reinterpret_cast<const unsigned char*>(stored.data());
    if (stored.size() < headerSize + 32 || std::memcmp(data, magic, sizeof magic) != 0 ||
        Get(data + sizeof magic, 4) != formatVersion ||
        std::memcmp(data + sizeof magic + 4, definitions.data(), definitions.size()) != 0)
        return false;
    const std::uint64_t count = Get(data + sizeof magic + 4 + 32, 8);
    if (count > maxEntries || stored.size() != headerSize + count * entrySize + 32)
        return false;
    const CacheDigest sum = Sha256(data, stored.size() - 32);
    if (std::memcmp(sum.data(), data + stored.size() - 32, sum.size()) != 0)
        return false;
    entries.reserve(static_cast<std::size_t>(count));
    const unsigned char* at = data + headerSize;
    for (std::uint64_t i = 0; i < count; ++i, at += entrySize)
    {
        CacheDigest key;
        std::memcpy(key.data(), at, key.size());
        entries.try_emplace(key, static_cast<unsigned char>(at[32] & 3u));
    }
    changed = false;
    return true;
}

std::string ResultCache::Save() const
{
    std::shared_lock<std::shared_mutex> lock(mutex);
    // Entries this session used or added go first; others fill what room is left.
    std::vector<const std::pair<const CacheDigest, Entry>*> kept;
    kept.reserve(std::min(entries.size(), maxEntries));
    for (int pass = 0; pass < 2 && kept.size() < maxEntries; ++pass)
    {
        for (const auto& entry : entries)
        {
            if (entry.second.used.load(std::memory_order_relaxed) != (pass == 0))
                continue;
            kept.push_back(&entry);
            if (kept.size() == maxEntries)
                break;
        }
    }
    std::string out;
    out.reserve(headerSize + kept.size() * entrySize + 32);
    out.append(magic, sizeof magic);
    Put(out, formatVersion, 4);
    out.append(reinterpret_cast<const char*>(definitions.data()), definitions.size());
    Put(out, kept.size(), 8);
    for (const auto* entry : kept)
    {
        out.append(reinterpret_cast<const char*>(entry->first.data()), entry->first.size());
        Put(out, entry->second.options, 1);
    }
    const CacheDigest sum = Sha256(out.data(), out.size());
    out.append(reinterpret_cast<const char*>(sum.data()), sum.size());
    return out;
}

bool ResultCache::IsClean(const CacheDigest& key, unsigned int options) const
{
    std::shared_lock<std::shared_mutex> lock(mutex);
    const auto found = entries.find(key);
    if (found == entries.end() || (found->second.options & options) == 0)
        return false;
    found->second.used.store(true, std::memory_order_relaxed);
    return true;
}

void ResultCache::AddClean(const std::vector<CacheDigest>& keys, unsigned int options)
{
    if (keys.empty())
        return;
    std::unique_lock<std::shared_mutex> lock(mutex);
    for (const CacheDigest& key : keys)
    {
        // Without room the entries stay unsaved; the files are scanned again next time.
        const auto [at, inserted] =
            entries.size() < 2 * maxEntries
                ? entries.try_emplace(key, static_cast<unsigned char>(options), true)
                : std::make_pair(entries.find(key), false);
        if (inserted)
            changed = true;
        else if (at != entries.end() && (at->second.options & options) == 0)
        {
            at->second.options = static_cast<unsigned char>(at->second.options | options);
            at->second.used.store(true, std::memory_order_relaxed);
            changed = true;
        }
    }
}

bool ResultCache::TakeChanged()
{
    std::unique_lock<std::shared_mutex> lock(mutex);
    const bool result = changed;
    changed = false;
    return result;
}

std::size_t ResultCache::Size() const
{
    std::shared_lock<std::shared_mutex> lock(mutex);
    return entries.size();
}
} // namespace ThreatScannerEngine
