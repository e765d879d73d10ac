#include "Session.h"
#include "ContentDigest.h"
#include "FileScan.h"
#include "FileSystem.h"
#include "Signer.h"

#include <algorithm>
#include <new>

namespace ThreatScannerEngine
{
bool (*blockedOpenHook)(const char* name) = nullptr;

namespace
{
constexpr std::size_t targetsPerBatch = 32;
constexpr std::size_t queuedBatchesPerWorker = 4;

std::size_t WorkerCount()
{
    const unsigned int cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores, 1, 16);
}

} // namespace

Session::Session(const ScanContext& context, Reporter& reporter)
    : context(context), reporter(reporter)
{
    filling.reserve(targetsPerBatch);
    const std::size_t count = WorkerCount();
    workers.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++runningWorkers;
        }
        try
        {
            workers.emplace_back(&Session::Work, this);
        }
        catch (...)
        {
            std::lock_guard<std::mutex> lock(mutex);
            --runningWorkers;
            if (workers.empty())
                throw;
            break; // fewer workers than cores still scan everything
        }
    }
}

Session::~Session()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        queue.clear();
    }
    workReady.notify_all();
    for (std::thread& worker : workers)
        worker.join();
}

void Session::Add(Target target)
{
    filling.push_back(std::move(target));
    if (filling.size() >= targetsPerBatch || idleWorkers.load(std::memory_order_relaxed) > 0)
        Hand();
}

void Session::Hand()
{
    const std::size_t capacity = queuedBatchesPerWorker * workers.size();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;)
    {
        ReportReady(lock);
        if (queue.size() < capacity)
            break;
        waitingForRoom = true;
        stateReady.wait(lock);
        waitingForRoom = false;
    }
    queue.push_back({batches++, std::move(filling)});
    filling.clear();
    filling.reserve(targetsPerBatch);
    const bool wake = idleWorkers.load(std::memory_order_relaxed) > 0;
    lock.unlock();
    if (wake)
        workReady.notify_one();
}

void Session::Finish()
{
    if (!filling.empty())
        Hand();
    std::unique_lock<std::mutex> lock(mutex);
    closed = true;
    const bool wake = idleWorkers.load(std::memory_order_relaxed) > 0;
    lock.unlock();
    if (wake)
        workReady.notify_all();
    lock.lock();
    for (;;)
    {
        ReportReady(lock);
        if (runningWorkers == 0 && scanned.empty())
            break;
        waitingForFindings = true;
        stateReady.wait(lock);
        waitingForFindings = false;
    }
    if (context.cache)
        context.cache->AddClean(cleanKeys, CacheOptions(context.scanArchives));
    cleanKeys.clear();
}

void Session::ReportReady(std::unique_lock<std::mutex>& lock)
{
    while (!scanned.empty() && scanned.begin()->first == nextToReport)
    {
        std::vector<Finding> findings = std::move(scanned.begin()->second);
        scanned.erase(scanned.begin());
        ++nextToReport;
        if (findings.empty())
            continue;
        lock.unlock();
        for (const Finding& finding : findings)
            reporter.Report(finding.target, &finding.identity, finding.result);
        lock.lock();
    }
}

void Session::Work()
{
    WorkerState state;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;)
    {
        while (queue.empty() && !closed)
        {
            idleWorkers.fetch_add(1, std::memory_order_relaxed);
            workReady.wait(lock);
            idleWorkers.fetch_sub(1, std::memory_order_relaxed);
        }
        if (queue.empty())
            break;
        Batch batch = std::move(queue.front());
        queue.pop_front();
        if (waitingForRoom)
            stateReady.notify_one();
        lock.unlock();

        std::vector<Finding> findings;
        for (Target& target : batch.targets)
        {
            // Once the scan is to stop, what is queued is left unread.
            if (context.Stopping())
                break;
            try
            {
                if (std::optional<Finding> finding = ScanTarget(target, state))
                    findings.push_back(std::move(*finding));
            }
            catch (const std::bad_alloc&)
            {
                // One file that does not fit in memory fails alone; the scan goes on.
                state.buffer = std::vector<char>();
                Finding finding{std::move(target), {}, {}};
                finding.result.error = ThreatScanner::NoMemory;
                findings.push_back(std::move(finding));
            }
        }
        batch.targets.clear(); // the folders they hold are closed here, not under the lock

        lock.lock();
        cleanKeys.insert(cleanKeys.end(), state.clean.begin(), state.clean.end());
        state.clean.clear();
        scanned.emplace(batch.number, std::move(findings));
        if (waitingForFindings && batch.number == nextToReport)
            stateReady.notify_one();
    }
    --runningWorkers;
    const bool wake = waitingForFindings || waitingForRoom;
    lock.unlock();
    if (wake)
        stateReady.notify_all();
}

std::optional<Session::Finding> Session::ScanTarget(Target& target, WorkerState& state)
{
    std::vector<char>& buffer = state.buffer;
    Descriptor fd(-1);
    const std::string& name = target.folder ? target.name : target.openPath;
    const OpenOutcome opened =
        blockedOpenHook && blockedOpenHook(name.c_str())
            ? OpenOutcome::Blocked
            : OpenFileToRead(target.folder.get(), name, target.followLink, fd);
    if (opened == OpenOutcome::Blocked)
    {
        Finding finding{std::move(target), {}, {}};
        Detection blocked;
        blocked.threatName = blockedAlert;
        finding.result.detections.push_back(std::move(blocked));
        return finding;
    }
    if (opened != OpenOutcome::Opened)
    {
        // A file that went away (or was replaced by a link) since it was listed is not an error.
        if (opened == OpenOutcome::Gone || !target.reportUnreadable)
            return std::nullopt;
        Finding finding{std::move(target), {}, {}};
        finding.result.error = ThreatScanner::FileOpen;
        return finding;
    }
    OpenFileStatus status;
    if (!DescribeOpenFile(fd, status) || !status.regular)
        return std::nullopt;
    if (context.service)
        return ScanInService(std::move(target), fd, status, state);
    ContentScanOutcome outcome = ScanOpenFile(*context.engine, context.cache.get(), fd, status,
                                              target.objectPath, context.scanArchives, buffer);
    if (outcome.cachedClean)
        return std::nullopt;
    FileScanResult& result = outcome.result;
    if (result.detections.empty() && result.error == ThreatScanner::Success)
    {
        if (outcome.cleanContent && context.cache)
            state.clean.push_back(*outcome.cleanContent);
        return std::nullopt;
    }
    fd.Close();
    return Finding{std::move(target), status.identity, std::move(result)};
}

std::optional<Session::Finding> Session::ScanInService(Target target, Descriptor& fd,
                                                       const OpenFileStatus& status,
                                                       WorkerState& state)
{
    // Each worker asks over a connection of its own. Once the service is gone, the objects left
    // fail at once instead of waiting for it one by one.
    FileScanResult result;
    const auto scan = [&](ServiceConnection& service)
    { return service.Scan(fd, context.scanArchives, result); };
    bool scanned = false;
    if (state.service)
        scanned = scan(*state.service);
    else if (!state.serviceLost)
        scanned = context.service->Ask(state.service, scan);
    if (!scanned)
    {
        state.service.reset();
        state.serviceLost = true;
        result = FileScanResult();
        result.error = ThreatScanner::Failed;
    }
    fd.Close();
    if (result.detections.empty() && result.error == ThreatScanner::Success)
        return std::nullopt;
    result.scannedSize = status.size;
    result.scannedChange = status.changed;
    return Finding{std::move(target), status.identity, std::move(result)};
}
} // namespace ThreatScannerEngine
