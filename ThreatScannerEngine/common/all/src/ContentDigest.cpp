#include "ContentDigest.h"
#include "FileSystem.h"

#include <algorithm>
#include <clamav.h>
#include <stdexcept>

namespace ThreatScannerEngine
{
namespace
{
// SHA-256 through the scanning library, which computes it with OpenSSL's EVP interface.
class Hash
{
public:
    Hash() : context(cl_hash_init("sha256"))
    {
        if (!context)
            throw std::runtime_error("SHA-256 is not available");
    }
    ~Hash()
    {
        if (context)
        {
            unsigned char ignored[32];
            cl_finish_hash(context, ignored);
        }
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    void Add(const void* data, std::size_t size)
    {
        if (size > 0 && cl_update_hash(context, data, size) != 0)
            throw std::runtime_error("SHA-256 failed");
    }
    CacheDigest Take()
    {
        CacheDigest digest{};
        void* finished = context;
        context = nullptr;
        if (cl_finish_hash(finished, digest.data()) != 0)
            throw std::runtime_error("SHA-256 failed");
        return digest;
    }

private:
    void* context;
};

CacheDigest BlockDigest(const void* data, std::size_t size)
{
    return Sha256(data, size);
}

// The root: the size, then the block digests in order.
class Root
{
public:
    explicit Root(std::uint64_t size)
    {
        unsigned char bytes[8];
        for (int i = 0; i < 8; ++i)
            bytes[i] = static_cast<unsigned char>(size >> (8 * i));
        hash.Add(bytes, sizeof bytes);
    }
    void Add(const CacheDigest& block) { hash.Add(block.data(), block.size()); }
    CacheDigest Take() { return hash.Take(); }

private:
    Hash hash;
};

std::uint64_t BlockCount(std::uint64_t size)
{
    return (size + ContentDigest::blockSize - 1) / ContentDigest::blockSize;
}

bool ReadFully(const Descriptor& file, char* buffer, std::size_t length, std::uint64_t offset)
{
    while (length > 0)
    {
        const long long got = ReadAt(file, buffer, length, offset);
        if (got <= 0)
            return false;
        buffer += got;
        length -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

constexpr std::size_t readChunk = 256 * ContentDigest::blockSize;
} // namespace

CacheDigest ContentDigest::Of(const void* data, std::size_t size)
{
    Root root(size);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t at = 0; at < size; at += blockSize)
        root.Add(BlockDigest(bytes + at, std::min(blockSize, size - at)));
    return root.Take();
}

ContentDigest::ContentDigest(std::uint64_t size)
    : size(size), blocks(static_cast<std::size_t>(BlockCount(size))),
      known(static_cast<std::size_t>(BlockCount(size)), false)
{
}

void ContentDigest::Record(std::uint64_t offset, const void* data, std::size_t length)
{
    // Only whole blocks (the last one ending the content) can be told apart from the rest.
    if (!consistent || length == 0)
        return;
    const std::uint64_t end = offset + length;
    if (offset % blockSize != 0 || end > size || (length % blockSize != 0 && end != size))
    {
        consistent = false;
        return;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::uint64_t at = offset; at < end; at += blockSize)
    {
        const std::size_t index = static_cast<std::size_t>(at / blockSize);
        const CacheDigest digest =
            BlockDigest(bytes + (at - offset),
                        static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, end - at)));
        if (known[index] && blocks[index] != digest)
        {
            consistent = false;
            return;
        }
        blocks[index] = digest;
        known[index] = true;
    }
}

bool ContentDigest::ReadRecorded(const Descriptor& file, std::uint64_t offset, void* buffer,
                                 std::size_t length) const
{
    if (!consistent || offset > size || length > size - offset)
        return false;
    // The whole blocks around the range are read and compared, then the range is copied out.
    const std::uint64_t first = offset / blockSize * blockSize;
    const std::uint64_t end =
        std::min<std::uint64_t>((offset + length + blockSize - 1) / blockSize * blockSize, size);
    std::vector<char> blocksRead(static_cast<std::size_t>(end - first));
    if (!ReadFully(file, blocksRead.data(), blocksRead.size(), first))
        return false;
    for (std::uint64_t at = first; at < end; at += blockSize)
    {
        const std::size_t index = static_cast<std::size_t>(at / blockSize);
        const std::size_t blockLength =
            static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, end - at));
        if (!known[index] ||
            blocks[index] != BlockDigest(blocksRead.data() + (at - first), blockLength))
            return false;
    }
    std::copy_n(blocksRead.data() + (offset - first), length, static_cast<char*>(buffer));
    return true;
}

std::optional<CacheDigest> ContentDigest::Finish(const Descriptor& file)
{
    if (!consistent)
        return std::nullopt;
    // Blocks the scanning library never read played no part in its verdict; they are read now
    // so that the digest names the whole content.
    std::vector<char> buffer;
    for (std::size_t index = 0; index < blocks.size();)
    {
        if (known[index])
        {
            ++index;
            continue;
        }
        std::size_t last = index;
        while (last + 1 < blocks.size() && !known[last + 1] &&
               (last + 1 - index) * blockSize < readChunk)
            ++last;
        const std::uint64_t offset = static_cast<std::uint64_t>(index) * blockSize;
        const std::size_t length = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(last + 1) * blockSize, size) -
            offset);
        buffer.resize(length);
        if (!ReadFully(file, buffer.data(), length, offset))
            return std::nullopt;
        Record(offset, buffer.data(), length);
        index = last + 1;
    }
    if (!consistent)
        return std::nullopt;
    Root root(size);
    for (const CacheDigest& block : blocks)
        root.Add(block);
    return root.Take();
}

std::optional<CacheDigest> ContentDigest::OfFile(const Descriptor& file, std::uint64_t size,
                                                 std::vector<char>& buffer)
{
    Root root(size);
    buffer.resize(readChunk);
    for (std::uint64_t offset = 0; offset < size; offset += readChunk)
    {
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(readChunk, size - offset));
        if (!ReadFully(file, buffer.data(), length, offset))
            return std::nullopt;
        for (std::size_t at = 0; at < length; at += blockSize)
            root.Add(BlockDigest(buffer.data() + at, std::min(blockSize, length - at)));
    }
    return root.Take();
}
} // namespace ThreatScannerEngine
