#include "Service.h"
#include "CacheStore.h"
#include "ContentScan.h"
#include "FileSystem.h"

#include "ThreatScanner/ThreatScanner.h"

#include <cerrno>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace ThreatScannerService
{
using namespace ThreatScannerEngine;
using ScanProtocol::Message;
using ScanProtocol::Outcome;
using ScanProtocol::OwnedDescriptor;

Service::Service(Settings settings) : settings(std::move(settings)) {}

Service::~Service() = default;

int Service::Start()
{
    if (const int status = Engine::InitializeLibraries(); status != ThreatScanner::Success)
        return status;
    RaiseOpenFileLimit();
    std::shared_ptr<const Generation> loaded;
    if (const int status = Load(loaded); status != ThreatScanner::Success)
        return status;
    std::lock_guard<std::mutex> lock(mutex);
    current = std::move(loaded);
    return ThreatScanner::Success;
}

int Service::Load(std::shared_ptr<const Generation>& loaded)
{
    // The cache belongs to the set the digest names; when the set changed while it loaded, it
    // is not known which one the engine holds, and the cache starts empty without a file.
    CacheDigest before{};
    const bool described = DefinitionsDigest(settings.definitionsFolder, Engine::Version(), before);
    auto generation = std::make_shared<Generation>();
    if (const int status =
            Engine::Load(settings.definitionsFolder, settings.tempFolder, generation->engine);
        status != ThreatScanner::Success)
        return status;
    CacheDigest after{};
    if (described && DefinitionsDigest(settings.definitionsFolder, Engine::Version(), after) &&
        after == before)
    {
        generation->cache = std::make_shared<ResultCache>(before, resultCacheEntries);
        generation->cache->Load(
            ReadCacheFile(settings.stateFolder, resultCacheEntries * 64 + 4096));
    }
    loaded = std::move(generation);
    return ThreatScanner::Success;
}

std::shared_ptr<const Service::Generation> Service::Current()
{
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}

int Service::Switch()
{
    std::lock_guard<std::mutex> one(switching);
    // Scans that still use the set replaced last end within the engine's scan time limit.
    while (!retired.expired())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::shared_ptr<const Generation> next;
    if (const int status = Load(next); status != ThreatScanner::Success)
        return status;
    SaveCache();
    std::shared_ptr<const Generation> old;
    {
        std::lock_guard<std::mutex> lock(mutex);
        old = std::move(current);
        current = std::move(next);
        retired = old;
    }
    ++switches;
    return ThreatScanner::Success;
}

void Service::SaveCache()
{
    std::lock_guard<std::mutex> one(saving);
    const std::shared_ptr<const Generation> generation = Current();
    if (generation && generation->cache && generation->cache->TakeChanged())
        WriteCacheFile(settings.stateFolder, generation->cache->Save());
}

Message Service::Scan(const ScanProtocol::ScanRequest& request, OwnedDescriptor passed,
                      std::vector<char>& buffer)
{
    if (passed.Get() < 0)
        return ScanProtocol::Refused{ThreatScanner::InvalidArgument};
    const Descriptor file(passed.Release());
    OpenFileStatus status;
    if (!DescribeOpenFile(file, status))
        return ScanProtocol::Refused{ThreatScanner::FileInformation};
    // Only the content of regular files is read: a pipe or a device could block or never end.
    if (!status.regular)
        return ScanProtocol::Refused{ThreatScanner::InvalidArgument};
    const std::shared_ptr<const Generation> generation = Current();
    ++scans;
    ContentScanOutcome outcome = ScanOpenFile(*generation->engine, generation->cache.get(), file,
                                              status, "object", request.scanArchives, buffer);
    // A buffer kept between files never holds more than the largest file read whole.
    if (outcome.cleanContent && generation->cache)
        generation->cache->AddClean({*outcome.cleanContent}, CacheOptions(request.scanArchives));
    ScanProtocol::ScanReply reply;
    reply.error = outcome.result.error;
    for (Detection& found : outcome.result.detections)
        reply.detections.push_back(
            {found.depth, std::move(found.members), std::move(found.threatName)});
    if (outcome.result.verifiedSigner)
    {
        reply.signer.emplace();
        for (const wchar_t unit : *outcome.result.verifiedSigner)
            reply.signer->push_back(static_cast<std::uint32_t>(unit));
    }
    return reply;
}

void Service::Serve(ScanProtocol::Channel& channel)
{
    Message message;
    // A connection starts with a greeting in this protocol's version, or ends.
    if (channel.Receive(message, nullptr, settings.greetingTime, settings.frameTime) != Outcome::Ok)
        return;
    const auto* hello = std::get_if<ScanProtocol::Hello>(&message);
    if (!hello || hello->version != ScanProtocol::version)
    {
        channel.Send(ScanProtocol::Refused{ThreatScanner::NotSupported});
        return;
    }
    if (channel.Send(ScanProtocol::HelloReply{}) != Outcome::Ok)
        return;
    std::vector<char> buffer;
    for (;;)
    {
        OwnedDescriptor passed;
        if (channel.Receive(message, &passed, settings.idleTime, settings.frameTime) != Outcome::Ok)
            return;
        Message reply;
        if (const auto* scan = std::get_if<ScanProtocol::ScanRequest>(&message))
            reply = Scan(*scan, std::move(passed), buffer);
        else if (std::holds_alternative<ScanProtocol::InfoRequest>(message))
        {
            const DatabaseInformation& information = Current()->engine->Information();
            reply = ScanProtocol::InfoReply{information.known, information.version,
                                            information.releaseTime};
        }
        else if (std::holds_alternative<ScanProtocol::SwitchRequest>(message))
            reply = ScanProtocol::SwitchReply{Switch()};
        else if (std::holds_alternative<ScanProtocol::StatsRequest>(message))
        {
            const std::shared_ptr<const Generation> generation = Current();
            std::lock_guard<std::mutex> lock(mutex);
            reply = ScanProtocol::StatsReply{
                scans.load(), generation->cache ? generation->cache->Size() : 0,
                static_cast<std::uint32_t>(clients.size()), switches.load()};
        }
        else
        {
            // A client that sends what only the service sends is not one of ours.
            channel.Send(ScanProtocol::Refused{ThreatScanner::NotSupported});
            return;
        }
        if (channel.Send(reply) != Outcome::Ok)
            return;
    }
}

bool Service::Run(int listening, int stop)
{
    auto lastSave = std::chrono::steady_clock::now();
    for (;;)
    {
        pollfd waits[2] = {{listening, POLLIN, 0}, {stop, POLLIN, 0}};
        const int ready = ::poll(waits, 2, 1000);
        if (ready > 0 && (waits[1].revents & (POLLIN | POLLHUP | POLLERR)))
            break;
        if (std::chrono::steady_clock::now() - lastSave >= settings.cacheSaveInterval)
        {
            SaveCache();
            lastSave = std::chrono::steady_clock::now();
        }
        if (ready <= 0 || !(waits[0].revents & POLLIN))
            continue;
        OwnedDescriptor client(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
        if (client.Get() < 0)
        {
            // Out of descriptors or memory for a moment: the connection waits in the backlog.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        // Only root, this service's user and its group may ask; the socket's mode says the
        // same, this holds even where the socket was made reachable by mistake.
        if (!ScanProtocol::PeerIsTrusted(client.Get(), static_cast<std::uint32_t>(::getegid())))
            continue;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (clients.size() >= settings.maxConnections)
                continue;
            clients.insert(client.Get());
        }
        const int fd = client.Get();
        try
        {
            std::thread(
                [this, fd](OwnedDescriptor socket)
                {
                    ScanProtocol::Channel channel(std::move(socket));
                    try
                    {
                        Serve(channel);
                    }
                    catch (...)
                    {
                        // One connection's failure (memory) ends that connection only.
                    }
                    // The thread's OpenSSL state (its error queue) goes now: the service may end
                    // as soon as the last connection is out of the set, before a detached
                    // thread's own clean-up has run.
                    OPENSSL_thread_stop();
                    // Out of the set before the socket closes, so that its number is never
                    // shut down for another.
                    std::lock_guard<std::mutex> lock(mutex);
                    clients.erase(fd);
                    connectionEnded.notify_all();
                },
                std::move(client))
                .detach();
        }
        catch (const std::system_error&)
        {
            std::lock_guard<std::mutex> lock(mutex);
            clients.erase(fd);
        }
    }
    // Ends every connection: a client waiting for an answer sees the connection close.
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (const int fd : clients)
            ::shutdown(fd, SHUT_RDWR);
        if (!connectionEnded.wait_for(lock, std::chrono::seconds(30),
                                      [this] { return clients.empty(); }))
            return false;
    }
    SaveCache();
    return true;
}
} // namespace ThreatScannerService
