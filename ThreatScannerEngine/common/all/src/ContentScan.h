#pragma once

#include "FileScan.h"
#include "ResultCache.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace ThreatScannerEngine
{
class Descriptor;
class Engine;
struct OpenFileStatus;

// What scanning the content of one open regular file gave.
struct ContentScanOutcome
{
    // The content was found clean before with the same definitions and options: not scanned.
    bool cachedClean = false;
    FileScanResult result;
    // Set when the content was found clean now: the digest of exactly the bytes judged, for the
    // clean-result cache.
    std::optional<CacheDigest> cleanContent;
};

// Scans the content of an open regular file, reading it only through the descriptor, asking the
// cache (when there is one) with the digest of the very bytes that would be scanned. For a
// detection, whether the content carries a trusted signature is judged on that content while
// the file is held. The name only names the object for the scanning library; the buffer is
// scratch space that a caller may keep between files.
ContentScanOutcome ScanOpenFile(const Engine& engine, const ResultCache* cache,
                                const Descriptor& file, const OpenFileStatus& status,
                                const std::string& name, bool scanArchives,
                                std::vector<char>& buffer);

// Called, in the test copy, with the path of each file just scanned with a detection, before
// its signature is checked; on the thread that scanned it.
extern void (*scannedHook)(const char* path);
// The number of files read and scanned, for tests.
extern std::atomic<unsigned long long> scannedFiles;
} // namespace ThreatScannerEngine
