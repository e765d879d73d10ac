#pragma once

#include "ResultCache.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ThreatScannerEngine
{
class Descriptor;

// What names a file's content: SHA-256 over the content's size (8 bytes, little-endian) and the
// SHA-256 of each block of blockSize bytes in order (the last block may be shorter). Built from
// blocks, it can follow reads that come in any order, as the scanning library's do.
//
// A scan from a descriptor records every read the scanning library makes: the digest then names
// exactly the content the library judged. A block read twice with different bytes, or a read
// that does not cover whole blocks, makes the content unknown: the file changed while it was
// scanned, and nothing may vouch for it.
class ContentDigest
{
public:
    static constexpr std::size_t blockSize = 4096;

    // The digest of content held in memory.
    static CacheDigest Of(const void* data, std::size_t size);

    explicit ContentDigest(std::uint64_t size);

    // Records what a read at the offset returned.
    void Record(std::uint64_t offset, const void* data, std::size_t length);

    // Reads length bytes at the offset through the file, only when the blocks they lie in hold
    // what was recorded: after Finish, exactly the content the digest names. False otherwise.
    bool ReadRecorded(const Descriptor& file, std::uint64_t offset, void* buffer,
                      std::size_t length) const;

    // Reads the blocks that were not recorded through the file, then gives the digest; none
    // when the recorded reads disagree or the file no longer holds its size.
    std::optional<CacheDigest> Finish(const Descriptor& file);

    // Reads the whole file through the descriptor and gives its digest; none when it cannot be
    // read in full. The buffer is scratch space.
    static std::optional<CacheDigest> OfFile(const Descriptor& file, std::uint64_t size,
                                             std::vector<char>& buffer);

private:
    std::uint64_t size;
    std::vector<CacheDigest> blocks;
    std::vector<bool> known;
    bool consistent = true;
};
} // namespace ThreatScannerEngine
