#pragma once

#include "Actions.h"
#include "FileScan.h"

#include "ThreatScanner/ThreatScanner.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ThreatScannerEngine
{
class ServiceConnections;
class Engine;
class ResultCache;

// What one scan call needs to know.
struct ScanContext
{
    std::shared_ptr<const Engine> engine;
    bool scanArchives = true;
    ThreatScanner::ScanCallback* callback = nullptr;
    void* callbackContext = nullptr;
    std::string quarantineFolder; // empty: quarantining is not possible
    // The engine's own folders, which scans of a tree leave out.
    std::vector<FileIdentity> ownFolders;
    // Files found clean before with the same definitions; none in read-only installations.
    std::shared_ptr<ResultCache> cache;
    // Set when the scan is to end after the object in progress (the instance's stop option).
    std::shared_ptr<const std::atomic<bool>> stop;
    // The engine service that scans instead of engine, when one does: the run's connections to
    // it (the one kept from start-up first).
    std::shared_ptr<ServiceConnections> service;

    bool Stopping() const { return stop && stop->load(std::memory_order_relaxed); }
};

// How many times a scan was told to stop (the stop option), for tests.
extern std::atomic<unsigned long long> stopRequests;

// One object to scan.
struct Target
{
    std::string openPath;   // what is opened to read the content, when there is no folder
    std::string objectPath; // what is reported, and acted on when there is no folder
    // The open folder the file was found in and its name there: then the content is read and
    // the action taken through that folder, never through the path.
    SharedFolder folder;
    std::string name;
    bool followLink = false;
    std::int32_t objectType = ThreatScanner::ObjectFile;
    std::uint32_t processId = 0;
    // Whether a target that cannot be opened fails the scan call, or is quietly left out.
    bool reportUnreadable = true;
};

// Hands detections to the program's callback and carries out the action it answers with. A
// detection is reported as Infected or Suspicious; only when the action was carried out does a
// second call with the outcome (Moved or Deleted) follow it, directly; when it failed, a failure
// call for the same object follows instead. An object that reached one of the engine's limits is
// reported as a Suspicious ArchBomb and left where it is: what it holds was not seen. Once the
// scan is to stop, detections are still reported but no action is carried out. Calls are made
// one at a time by whoever owns the reporter.
class Reporter
{
public:
    explicit Reporter(const ScanContext& context) : context(context) {}

    // identity is null for objects that cannot be acted on (boot sectors).
    void Report(const Target& target, const FileIdentity* identity, const FileScanResult& result);

    // Tells the program about an object that could not be scanned in full or acted on: a call
    // with the status ScanFailed, the result code in the status flags and the given object
    // flags (UnableToRead when the object could not be read). The code also counts as a
    // failure of the scan call.
    void Failure(const std::string& objectPath, std::int32_t objectType, int code,
                 std::uint32_t objectFlags);

    // Remembers the first failure of the scan call.
    void Error(int code)
    {
        if (firstError == ThreatScanner::Success)
            firstError = code;
    }
    int FirstError() const { return firstError; }

private:
    const ScanContext& context;
    int firstError = ThreatScanner::Success;
};
} // namespace ThreatScannerEngine
