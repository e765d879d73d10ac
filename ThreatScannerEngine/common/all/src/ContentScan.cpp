#include "ContentScan.h"
#include "ContentDigest.h"
#include "Engine.h"
#include "FileSystem.h"
#include "Signer.h"

#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>

namespace ThreatScannerEngine
{
std::atomic<unsigned long long> scannedFiles{0};
void (*scannedHook)(const char* path) = nullptr;

namespace
{
// Files up to this size are read in one call and scanned from memory. Scanning from a descriptor
// makes the scanning library map and unmap a window for each file under one lock that all
// threads share; larger files are scanned that way all the same, so that no worker holds more.
constexpr std::size_t readWholeUpTo = 1 << 20;
} // namespace

ContentScanOutcome ScanOpenFile(const Engine& engine, const ResultCache* cache,
                                const Descriptor& fd, const OpenFileStatus& status,
                                const std::string& name, bool scanArchives,
                                std::vector<char>& buffer)
{
    ContentScanOutcome outcome;
    const unsigned int options = CacheOptions(scanArchives);
    const std::size_t size = static_cast<std::size_t>(status.size);
    // Files that say they are empty (some special files do, and have content) are left to the
    // descriptor scan, and so is a file that cannot be read: that scan names the failure. A file
    // cut short since it was looked at is scanned as it is now.
    bool whole = size > 0 && size <= readWholeUpTo;
    std::size_t got = 0;
    if (whole && buffer.size() < size)
        buffer.resize(size);
    while (whole && got < size)
    {
        const long long count = ReadSome(fd, buffer.data() + got, size - got);
        if (count < 0)
            whole = false;
        else if (count == 0)
            break;
        else
            got += static_cast<std::size_t>(count);
    }
    // The cache is asked with the digest of the very bytes that would be scanned: the buffer,
    // or a larger file read through once (cheap beside scanning it). The key of a new entry is
    // the digest of what the scanning library actually read.
    FileScanResult& result = outcome.result;
    std::optional<CacheDigest> content;
    std::optional<ContentDigest> reads;
    if (whole && got > 0)
    {
        content = ContentDigest::Of(buffer.data(), got);
        if (cache && cache->IsClean(*content, options))
        {
            outcome.cachedClean = true;
            return outcome;
        }
        scannedFiles.fetch_add(1, std::memory_order_relaxed);
        result = ScanMemory(engine, buffer.data(), got, name, scanArchives);
    }
    else if (size > readWholeUpTo)
    {
        if (cache)
        {
            const std::optional<CacheDigest> now = ContentDigest::OfFile(fd, status.size, buffer);
            if (now && cache->IsClean(*now, options))
            {
                outcome.cachedClean = true;
                return outcome;
            }
        }
        scannedFiles.fetch_add(1, std::memory_order_relaxed);
        reads.emplace(status.size);
        result = ScanDescriptor(engine, fd, status.size, name, scanArchives, &*reads);
        content = reads->Finish(fd);
    }
    else
    {
        scannedFiles.fetch_add(1, std::memory_order_relaxed);
        result = ScanDescriptor(engine, fd, status.size, name, scanArchives);
    }
    result.scannedSize = status.size;
    result.scannedChange = status.changed;
    if (result.detections.empty() && result.error == ThreatScanner::Success)
    {
        outcome.cleanContent = content;
        return outcome;
    }
    // Whether the detected file carries a trusted signature is judged on the content that was
    // scanned, while it is still held: the buffer, or reads of the file that must match what
    // the scanning library read. Content that changed meanwhile has no signer.
    if (!result.detections.empty() && scannedHook)
        scannedHook(name.c_str());
    if (!result.detections.empty() && content)
    {
        if (whole && got > 0)
            result.verifiedSigner = VerifiedSigner(
                fd, name, got, *content,
                [&](std::uint64_t offset, void* into, std::size_t length)
                {
                    if (offset > got || length > got - offset)
                        return false;
                    std::copy_n(buffer.data() + offset, length, static_cast<char*>(into));
                    return true;
                });
        else
            result.verifiedSigner =
                VerifiedSigner(fd, name, status.size, *content,
                               [&](std::uint64_t offset, void* into, std::size_t length)
                               { return reads->ReadRecorded(fd, offset, into, length); });
    }
    return outcome;
}
} // namespace ThreatScannerEngine
