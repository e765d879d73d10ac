#include "Session.h"
#include "ContentDigest.h"
#include "FileScan.h"
#include "FileSystem.h"
#include "Signer.h"

#include <algorithm>
#include <new>

namespace ThreatScannerEngine
{
std::atomic<unsigned long long> scannedFiles{0};
void (*scannedHook)(const char* path) = nullptr;
bool (*blockedOpenHook)(const char* name) = nullptr;

namespace
{
constexpr std::size_t targetsPerBatch = 32;
constexpr std::size_t queuedBatchesPerWorker = 4;
// Files up to this size are read in one call and scanned from memory. Scanning from a descriptor
// makes the scanning library map and unmap a window for each file under one lock that all
// threads share; larger files are scanned that way all the same, so that no worker holds more.
constexpr std::size_t readWholeUpTo = 1 << 20;

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
    const unsigned int options = CacheOptions(context.scanArchives);
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
    FileScanResult result;
    std::optional<CacheDigest> content;
    std::optional<ContentDigest> reads;
    if (whole && got > 0)
    {
        content = ContentDigest::Of(buffer.data(), got);
        if (context.cache && context.cache->IsClean(*content, options))
            return std::nullopt;
        scannedFiles.fetch_add(1, std::memory_order_relaxed);
        result = ScanMemory(*context.engine, buffer.data(), got, target.objectPath,
                            context.scanArchives);
    }
    else if (size > readWholeUpTo)
    {
        if (context.cache)
        {
            const std::optional<CacheDigest> now = ContentDigest::OfFile(fd, status.size, buffer);
            if (now && context.cache->IsClean(*now, options))
                return std::nullopt;
        }
        scannedFiles.fetch_add(1, std::memory_order_relaxed);
        reads.emplace(status.size);
        result = ScanDescriptor(*context.engine, fd, status.size, target.objectPath,
                                context.scanArchives, &*reads);
        content = reads->Finish(fd);
    }
    else
    {
        scannedFiles.fetch_add(1, std::memory_order_relaxed);
        result = ScanDescriptor(*context.engine, fd, status.size, target.objectPath,
                                context.scanArchives);
    }
    result.scannedSize = status.size;
    result.scannedChange = status.changed;
    if (result.detections.empty() && result.error == ThreatScanner::Success)
    {
        if (content && context.cache)
            state.clean.push_back(*content);
        return std::nullopt;
    }
    // Whether the detected file carries a trusted signature is judged on the content that was
    // scanned, while it is still held: the buffer, or reads of the file that must match what
    // the scanning library read. Content that changed meanwhile has no signer.
    if (!result.detections.empty() && scannedHook)
        scannedHook(target.objectPath.c_str());
    if (!result.detections.empty() && content)
    {
        if (whole && got > 0)
            result.verifiedSigner = VerifiedSigner(
                fd, target.objectPath, got, *content,
                [&](std::uint64_t offset, void* into, std::size_t length)
                {
                    if (offset > got || length > got - offset)
                        return false;
                    std::copy_n(buffer.data() + offset, length, static_cast<char*>(into));
                    return true;
                });
        else
            result.verifiedSigner =
                VerifiedSigner(fd, target.objectPath, status.size, *content,
                               [&](std::uint64_t offset, void* into, std::size_t length)
                               { return reads->ReadRecorded(fd, offset, into, length); });
    }
    fd.Close();
    return Finding{std::move(target), status.identity, std::move(result)};
}
} // namespace ThreatScannerEngine
