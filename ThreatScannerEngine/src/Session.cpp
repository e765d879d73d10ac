#include "Session.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ThreatScannerEngine
{
namespace
{
constexpr std::size_t queuedTargetsPerWorker = 64;

std::size_t WorkerCount()
{
    const unsigned int cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores, 1, 16);
}
} // namespace

Session::Session(const ScanContext& context, Reporter& reporter)
    : context(context), reporter(reporter)
{
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
    const std::size_t capacity = queuedTargetsPerWorker * workers.size();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;)
    {
        ReportReady(lock);
        if (queue.size() < capacity)
            break;
        stateReady.wait(lock);
    }
    queue.push_back({added++, std::move(target)});
    lock.unlock();
    workReady.notify_one();
}

void Session::Finish()
{
    std::unique_lock<std::mutex> lock(mutex);
    closed = true;
    workReady.notify_all();
    for (;;)
    {
        ReportReady(lock);
        if (runningWorkers == 0 && scanned.empty())
            break;
        stateReady.wait(lock);
    }
}

void Session::ReportReady(std::unique_lock<std::mutex>& lock)
{
    while (!scanned.empty() && scanned.begin()->first == nextToReport)
    {
        std::optional<Finding> finding = std::move(scanned.begin()->second);
        scanned.erase(scanned.begin());
        ++nextToReport;
        if (!finding)
            continue;
        lock.unlock();
        reporter.Report(finding->target, &finding->identity, finding->result);
        lock.lock();
    }
}

void Session::Work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;)
    {
        workReady.wait(lock, [this] { return !queue.empty() || closed; });
        if (queue.empty())
            break;
        Queued next = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        stateReady.notify_one();
        std::optional<Finding> finding = ScanTarget(next.target);
        lock.lock();
        scanned.emplace(next.number, std::move(finding));
        if (next.number == nextToReport)
            stateReady.notify_one();
    }
    --runningWorkers;
    lock.unlock();
    stateReady.notify_all();
}

std::optional<Session::Finding> Session::ScanTarget(Target& target)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (target.followLink ? 0 : O_NOFOLLOW);
    const int fd = target.folder ? ::openat(target.folder->Get(), target.name.c_str(), flags)
                                 : ::open(target.openPath.c_str(), flags);
    const int openError = errno;
    Finding finding{std::move(target), {}, {}};
    if (fd < 0)
    {
        // A file that went away (or was replaced by a link) since it was listed is not an error.
        if (openError == ENOENT || openError == ELOOP || !finding.target.reportUnreadable)
            return std::nullopt;
        finding.result.error = ThreatScanner::FileOpen;
    }
    else
    {
        struct stat status
        {
        };
        const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
        if (regular)
        {
            finding.identity = {status.st_dev, status.st_ino};
            finding.result = ScanDescriptor(*context.engine, fd, finding.target.objectPath,
                                            context.scanArchives);
        }
        ::close(fd);
        if (!regular)
            return std::nullopt;
    }
    if (finding.result.detections.empty() && finding.result.error == ThreatScanner::Success)
        return std::nullopt;
    return finding;
}
} // namespace ThreatScannerEngine
