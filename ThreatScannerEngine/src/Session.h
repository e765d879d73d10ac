#pragma once

#include "Report.h"

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

    struct Queued
    {
        std::uint64_t number;
        Target target;
    };

    void Work();
    // Scans one target; returns what there is to report about it.
    std::optional<Finding> ScanTarget(Target& target);
    // Reports every finding that is ready; the lock is released around each report.
    void ReportReady(std::unique_lock<std::mutex>& lock);

    const ScanContext& context;
    Reporter& reporter;
    std::mutex mutex;
    std::condition_variable workReady;  // a target was queued, or no more will come
    std::condition_variable stateReady; // room in the queue, a finding, or a worker ended
    std::deque<Queued> queue;
    std::uint64_t added = 0;
    // Scanned targets by number, waiting for those before them; empty when there is nothing to
    // report.
    std::map<std::uint64_t, std::optional<Finding>> scanned;
    std::uint64_t nextToReport = 0;
    std::size_t runningWorkers = 0;
    bool closed = false;
    std::vector<std::thread> workers;
};
} // namespace ThreatScannerEngine
