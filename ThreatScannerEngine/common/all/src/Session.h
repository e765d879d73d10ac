#pragma once

#include "ContentScan.h"
#include "Report.h"
#include "ResultCache.h"
#include "ServiceClient.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace ThreatScannerEngine
{
// Scans the targets of one scan call on a few worker threads sharing the compiled engine. The
// thread that adds the targets is the one that reports: it hands the workers' findings to the
// reporter between additions and in Finish, so the program's callback only ever runs on the
// scan call's own thread, one call at a time, and a detection's outcome follows it directly.
// Findings are reported in the order the targets were added, whichever worker finishes first.
//
// Targets travel to the workers, and findings back, in batches: a thread is woken once per batch
// and only when it waits, not once per file. A batch is handed over when it is full, or at once
// when a worker has nothing to do.
//
// With a clean-result cache, a file whose content was found clean before with the same
// definitions and options is read and hashed but not scanned again, and the content found clean
// now is added to the cache when the session finishes.
class Session
{
public:
    Session(const ScanContext& context, Reporter& reporter);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Queues a target; waits while the queue is full, reporting what is ready meanwhile.
    void Add(Target target);

    // Waits until every queued target is scanned and reported.
    void Finish();

private:
    struct Finding
    {
        Target target;
        FileIdentity identity;
        FileScanResult result;
    };

    struct Batch
    {
        std::uint64_t number;
        std::vector<Target> targets;
    };

    // Queues the batch being filled.
    void Hand();
    void Work();
    // Scans one target; returns what there is to report about it. A target found clean adds
    // the digest of the content scanned to the worker's clean keys.
    struct WorkerState
    {
        std::vector<CacheDigest> clean; // digests of content found clean, not yet handed back
        std::vector<char> buffer;       // content of the file being scanned
        // The worker's own connection to the engine service, when a service scans.
        std::unique_ptr<ServiceConnection> service;
        bool serviceLost = false;
    };
    std::optional<Finding> ScanTarget(Target& target, WorkerState& state);
    // Has the engine service scan the open file.
    std::optional<Finding> ScanInService(Target target, Descriptor& fd,
                                         const OpenFileStatus& status, WorkerState& state);
    // Reports every finding that is ready; the lock is released around each report.
    void ReportReady(std::unique_lock<std::mutex>& lock);

    const ScanContext& context;
    Reporter& reporter;
    std::vector<Target> filling; // the next batch; only the reporting thread touches it
    std::mutex mutex;
    std::condition_variable workReady;  // a batch was queued, or no more will come
    std::condition_variable stateReady; // room in the queue, findings, or a worker ended
    std::deque<Batch> queue;
    std::uint64_t batches = 0;
    // Scanned batches by number, waiting for those before them.
    std::map<std::uint64_t, std::vector<Finding>> scanned;
    std::uint64_t nextToReport = 0;
    std::atomic<std::size_t> idleWorkers{0};
    bool waitingForRoom = false;
    bool waitingForFindings = false;
    std::size_t runningWorkers = 0;
    bool closed = false;
    std::vector<CacheDigest> cleanKeys;
    std::vector<std::thread> workers;
};

// Set by tests only: files whose name it accepts are treated as if the system refused to open
// them as malware, which no test machine can make it do.
extern bool (*blockedOpenHook)(const char* name);
} // namespace ThreatScannerEngine
