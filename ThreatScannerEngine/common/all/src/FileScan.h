#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct cl_engine;

namespace ThreatScannerEngine
{
class ContentDigest;
class Descriptor;
class Engine;

// The alert for a file that the system would not open because another scanner judged it
// malware. Its bytes were never read, so it is shown as suspicious and never acted on.
inline constexpr char blockedAlert[] = "Heuristics.Blocked.ByAnotherScanner";

// One match, pinned to the object it was found in: depth 0 is the scanned file itself, deeper
// levels are members of archives inside it.
struct Detection
{
    std::uint32_t depth = 0;
    // Names of the objects from the outermost member down to the matching one: empty for the
    // file itself, one name for a member of the file, two for a member of a member, ...
    std::vector<std::string> members;
    std::string threatName;
};

// The outcome of scanning one object.
struct FileScanResult
{
    std::vector<Detection> detections;
    int error = 0; // a result code, 0 when the object was read in full
    // The file's size and change time (nanoseconds since 1970) when it was read: a copy made by
    // an action holds these bytes and no others.
    std::uint64_t scannedSize = 0;
    std::int64_t scannedChange = 0;
    // For a detection in a file: the signer of the scanned content's verified signature.
    std::optional<std::wstring> verifiedSigner;
};

// A pause point for tests: when set, called with the name of each object libclamav is about to
// scan, archive members included, on the thread that scans it. Nothing in the library sets it.
extern void (*layerHook)(const char* name);

// Sets the callbacks through which libclamav tells which layer a match belongs to. Must be called
// before the engine is compiled.
void InstallLayerCallbacks(cl_engine* engine);

// Scans an open file. The name is only used by libclamav to name the outermost layer. With
// reads, the scanning library reads the file only through calls that record what they return
// in it, so that it can name exactly the content judged.
FileScanResult ScanDescriptor(const Engine& engine, const Descriptor& file, std::uint64_t size,
                              const std::string& name, bool scanArchives,
                              ContentDigest* reads = nullptr);

// Scans a block of memory as one object: a boot sector, or a file's content read in advance.
FileScanResult ScanMemory(const Engine& engine, const void* data, std::size_t size,
                          const std::string& name, bool scanArchives = true);
} // namespace ThreatScannerEngine
