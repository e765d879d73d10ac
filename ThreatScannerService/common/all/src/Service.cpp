#include "Service.h"
#include "CacheStore.h"
#include "ContentScan.h"
#include "FileSystem.h"

#include "FileSystemHelper/Text.h"
#include "InstallationLayout/Folders.h"
#include "ThreatScanner/ThreatScanner.h"

#include <iostream>
#include <openssl/crypto.h>
#include <thread>

namespace ThreatScannerService
{
using namespace ThreatScannerEngine;
using ScanProtocol::Message;
using ScanProtocol::Outcome;
using ScanProtocol::OwnedDescriptor;

std::string DefinitionsFolder(const Settings& settings)
{
    if (settings.installationFolder.empty())
        return settings.definitionsFolder;
    using namespace FileSystemHelper;
    const boost::filesystem::path program =
        PathFromWide(ToWide(settings.installationFolder, CodePageUtf8));
    return JoinPath(
        ToNarrow(WidePath(InstallationLayout::DefinitionsFolder(program)), CodePageUtf8),
        "Plugins");
}

bool TakeFolderOption(Settings& settings, const std::string& option, const std::string& value)
{
    if (option == "--definitions")
        settings.definitionsFolder = value;
    else if (option == "--installation")
        settings.installationFolder = value;
    else if (option == "--state")
        settings.stateFolder = value;
    else if (option == "--temp")
        settings.tempFolder = value;
    else
        return false;
    return true;
}

const char* FolderProblem(const Settings& settings)
{
    if (!settings.definitionsFolder.empty() && !settings.installationFolder.empty())
        return "Give either the definitions folder or the installation, not both.";
    if ((settings.definitionsFolder.empty() && settings.installationFolder.empty()) ||
        settings.stateFolder.empty())
        return "The definitions folder (or the installation) and the state folder are required.";
    return nullptr;
}

Service::Service(Settings settings) : settings(std::move(settings)) {}

Service::~Service() = default;

int Service::Start()
{
    if (const int status = Engine::InitializeLibraries(); status != ThreatScanner::Success)
        return status;
    RaiseOpenFileLimit();
    std::shared_ptr<Generation> loaded;
    if (const int status = Load(DefinitionsFolder(settings), true, loaded);
        status != ThreatScanner::Success)
        return status;
    std::lock_guard<std::mutex> lock(mutex);
    current = std::move(loaded);
    return ThreatScanner::Success;
}

int Service::Load(const std::string& folder, bool definitionsFolder,
                  std::shared_ptr<Generation>& loaded)
{
    ++loads;
    // The service's own folder is read under the switch lock, as a scan's engine is, so that an
    // update's switch never gives it a half-moved set. A lock file the service's account cannot
    // open (it may not read the installation's) leaves the set read as it is; the digests below
    // still keep a cache from a set that changed meanwhile. A folder an update hands over is its
    // own new set, which nothing moves while it loads.
    FileSystemHelper::HeldFile reading;
    if (definitionsFolder &&
        LockForReading(reading, folder) == FileSystemHelper::LockResult::Failed)
        std::cerr << "The switch lock beside " << folder
                  << " cannot be opened: the set is read without it" << std::endl;
    // The cache belongs to the set the digest names; when the set changed while it loaded, it
    // is not known which one the engine holds, and the cache starts empty without a file.
    CacheDigest before{};
    const bool described = definitionsFolder && DescribeSet(folder, before);
    auto* made = new Generation;
    {
        std::lock_guard<std::mutex> lock(counting);
        ++generations;
    }
    // The last user of a set, a scan or a switch, frees it and tells a switch that waits.
    std::shared_ptr<Generation> generation(made,
                                           [this](Generation* gone)
                                           {
                                               delete gone;
                                               std::lock_guard<std::mutex> lock(counting);
                                               --generations;
                                               generationGone.notify_all();
                                           });
    if (const int status = Engine::Load(folder, settings.tempFolder, generation->engine);
        status != ThreatScanner::Success)
        return status;
    CacheDigest after{};
    if (described && DescribeSet(folder, after) && after == before)
        AttachCache(*generation, after);
    if (definitionsFolder)
        generation->folder = folder;
    loaded = std::move(generation);
    return ThreatScanner::Success;
}

void Service::AttachCache(Generation& generation, const CacheDigest& digest)
{
    generation.definitions = digest;
    if (!KeepsCleanResults())
        return;
    generation.cache = std::make_shared<ResultCache>(digest, resultCacheEntries);
    generation.cache->Load(ReadCacheFile(settings.stateFolder, resultCacheEntries * 64 + 4096));
}

std::shared_ptr<const Service::Generation> Service::Current()
{
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}

void Service::WaitForOneSet()
{
    // Scans that still use the set replaced last end within the engine's scan time limit.
    std::unique_lock<std::mutex> lock(counting);
    generationGone.wait(lock, [this] { return generations <= 1; });
}

void Service::Replace(std::shared_ptr<const Generation> next)
{
    SaveCache();
    std::shared_ptr<const Generation> old;
    {
        std::lock_guard<std::mutex> lock(mutex);
        old = std::move(current);
        current = std::move(next);
    }
    ++switches;
}

int Service::Switch()
{
    std::lock_guard<std::mutex> one(switching);
    // A folder that is still the set being served is not loaded a second time: after an update
    // that handed the set over, the program's request to switch finds it served already. The
    // installation may have moved its definitions to another folder since (its first update).
    const std::string folder = DefinitionsFolder(settings);
    const std::shared_ptr<const Generation> serving = Current();
    CacheDigest now{};
    if (serving && serving->definitions && serving->folder == folder && DescribeSet(folder, now) &&
        now == *serving->definitions)
        return ThreatScanner::Success;
    return LoadAndServe(folder);
}

void Service::Follow()
{
    std::lock_guard<std::mutex> one(switching);
    const std::string folder = DefinitionsFolder(settings);
    const std::shared_ptr<const Generation> serving = Current();
    // Another question or a switch may have moved already. A folder whose set did not load is
    // tried again only when a switch asks (an update or an administrator), not at every run.
    if (serving && serving->folder != folder && folder != unloadable)
        LoadAndServe(folder);
}

int Service::LoadAndServe(const std::string& folder)
{
    WaitForOneSet();
    std::shared_ptr<Generation> next;
    if (const int status = Load(folder, true, next); status != ThreatScanner::Success)
    {
        unloadable = folder;
        return status;
    }
    unloadable.clear();
    Replace(std::move(next));
    return ThreatScanner::Success;
}

Message Service::LoadForInstall(const FolderIdentity& folder, Staged& staged,
                                const std::function<std::string()>& readable)
{
    staged.switching = std::unique_lock<std::mutex>(switching);
    WaitForOneSet();
    const std::string path = readable();
    if (path.empty())
    {
        staged.switching.unlock();
        return ScanProtocol::Refused{ThreatScanner::NotSupported};
    }
    std::shared_ptr<Generation> loaded;
    const int result = Load(path, false, loaded);
    if (result != ThreatScanner::Success)
    {
        staged.switching.unlock();
        return ScanProtocol::SwitchReply{result};
    }
    staged.generation = std::move(loaded);
    staged.folder = folder;
    return ScanProtocol::SwitchReply{ThreatScanner::Success};
}

int Service::CommitStaged(Staged& staged)
{
    std::shared_ptr<Generation> next = std::move(staged.generation);
    if (!next)
        return ThreatScanner::InvalidArgument;
    // Served only when the definitions folder is now the very folder that was loaded.
    const std::string folder = DefinitionsFolder(settings);
    FolderIdentity own;
    if (!IdentifyFolder(folder, own) || !(own == staged.folder))
        return ThreatScanner::Failed;
    // The set is served without a cache when the folder cannot be described.
    if (CacheDigest digest{}; DescribeSet(folder, digest))
        AttachCache(*next, digest);
    next->folder = folder;
    Replace(std::move(next));
    return ThreatScanner::Success;
}

bool Service::IsDefinitionsFolder(std::intptr_t folder, bool& moved)
{
    // A set loaded from the folder the installation named before (its starter set, until its
    // first update moved the definitions) does not serve the folder it names now, even while a
    // switch to that folder is being loaded.
    const std::string own = DefinitionsFolder(settings);
    const std::shared_ptr<const Generation> serving = Current();
    moved = false;
    if (!serving || !IsFolder(folder, own))
        return false;
    moved = serving->folder != own;
    return !moved;
}

bool Service::EndConnections()
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        ending = true;
        connectionWaiting.notify_all();
        for (const auto client : clients)
            ScanProtocol::Disconnect(client);
        if (!connectionEnded.wait_for(lock, std::chrono::seconds(30),
                                      [this] { return clients.empty() && workers == 0; }))
            return false;
    }
    SaveCache();
    return true;
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
    Descriptor file(passed.Release());
    if (!Claim(file))
    {
        // Left open: it is not the client's to close.
        file.Release();
        return ScanProtocol::Refused{ThreatScanner::InvalidArgument};
    }
    struct Unclaimed
    {
        Service& service;
        Descriptor& file;
        ~Unclaimed() { service.CloseClaimed(file); }
    } unclaimed{*this, file};
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
    Staged staged;
    const auto dropStaged = [&staged]
    {
        staged.generation.reset();
        if (staged.switching.owns_lock())
            staged.switching.unlock();
    };
    for (;;)
    {
        OwnedDescriptor passed;
        // A client that loaded a set holds every switch until it says the set is installed.
        if (channel.Receive(message, &passed,
                            staged.generation ? settings.installTime : settings.idleTime,
                            settings.frameTime) != Outcome::Ok)
            return;
        Message reply;
        bool follow = false;
        // A set loaded for an install is served by the very next request or dropped.
        const bool commit = std::holds_alternative<ScanProtocol::CommitRequest>(message);
        if (!commit)
            dropStaged();
        if (const auto* scan = std::get_if<ScanProtocol::ScanRequest>(&message))
            reply = Scan(*scan, std::move(passed), buffer);
        else if (std::holds_alternative<ScanProtocol::FolderRequest>(message))
            reply = ScanProtocol::FolderReply{passed.Get() >= 0 &&
                                              IsDefinitionsFolder(passed.Get(), follow)};
        else if (std::holds_alternative<ScanProtocol::LoadRequest>(message))
            reply = LoadStaged(std::move(passed), staged);
        else if (commit)
        {
            reply = ScanProtocol::SwitchReply{CommitStaged(staged)};
            dropStaged();
        }
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
                static_cast<std::uint32_t>(clients.size()), switches.load(), loads.load()};
        }
        else
        {
            // A client that sends what only the service sends is not one of ours.
            channel.Send(ScanProtocol::Refused{ThreatScanner::NotSupported});
            return;
        }
        if (channel.Send(reply) != Outcome::Ok)
            return;
        // The installation's definitions moved (an update or an administrator placed the
        // machine's set without a switch): this run loads its own engine, and the service follows
        // now, for the runs after it.
        if (follow)
            Follow();
    }
}

bool Service::Claim(const Descriptor& file)
{
    std::lock_guard<std::mutex> lock(mutex);
    return claimed.insert(file.Get()).second;
}

void Service::CloseClaimed(Descriptor& file)
{
    // Closed and let go in one step: the system may hand the value to the next file any scan
    // receives as soon as it is closed, and that scan must find it free; while it is still open,
    // no other scan may claim it (a forged value naming it).
    std::lock_guard<std::mutex> lock(mutex);
    const NativeHandle value = file.Get();
    file.Close();
    claimed.erase(value);
}

void Service::ServeOnThread(OwnedDescriptor client)
{
    const auto fd = client.Get();
    std::lock_guard<std::mutex> lock(mutex);
    if (ending || clients.size() >= settings.maxConnections)
        return;
    clients.insert(fd);
    if (idleWorkers > unserved.size())
    {
        unserved.push_back(std::move(client));
        connectionWaiting.notify_one();
        return;
    }
    try
    {
        std::thread([this](OwnedDescriptor first) { Work(std::move(first)); }, std::move(client))
            .detach();
        ++workers;
    }
    catch (const std::system_error&)
    {
        clients.erase(fd);
    }
}

void Service::Work(OwnedDescriptor connection)
{
    for (;;)
    {
        const auto fd = connection.Get();
        {
            ScanProtocol::Channel channel(std::move(connection));
            try
            {
                Serve(channel);
            }
            catch (...)
            {
                // One connection's failure (memory) ends that connection only.
            }
            // Out of the set before the connection closes, so that its number is never shut
            // down for another.
            std::lock_guard<std::mutex> lock(mutex);
            clients.erase(fd);
            connectionEnded.notify_all();
        }
        std::unique_lock<std::mutex> lock(mutex);
        ++idleWorkers;
        connectionWaiting.wait(lock, [this] { return ending || !unserved.empty(); });
        --idleWorkers;
        if (unserved.empty())
            break;
        connection = std::move(unserved.front());
        unserved.pop_front();
    }
    // The thread's OpenSSL state (its error queue) goes now: the service may end as soon as the
    // last worker is counted out, before a detached thread's own clean-up has run.
    OPENSSL_thread_stop();
    std::lock_guard<std::mutex> lock(mutex);
    --workers;
    connectionEnded.notify_all();
}

int AskForSwitch(const std::string& endpoint)
{
    using namespace std::chrono_literals;
    ScanProtocol::OwnedDescriptor connection = ScanProtocol::ConnectAndGreet(endpoint, 10s);
    if (connection.Get() == -1)
    {
        std::cerr << "No engine service answers on " << endpoint << "\n";
        return 1;
    }
    ScanProtocol::Channel channel(std::move(connection));
    ScanProtocol::Message reply;
    // Loading a real-size set takes tens of seconds; a service that ends meanwhile closes.
    if (channel.Send(ScanProtocol::SwitchRequest{}) != ScanProtocol::Outcome::Ok ||
        channel.Receive(reply, nullptr, 600s) != ScanProtocol::Outcome::Ok)
    {
        std::cerr << "The engine service did not answer\n";
        return 1;
    }
    const auto* switched = std::get_if<ScanProtocol::SwitchReply>(&reply);
    if (!switched || switched->result != 0)
    {
        std::cerr << "The engine service kept its definitions. Error: "
                  << (switched ? switched->result : -1) << "\n";
        return 1;
    }
    std::cerr << "The engine service serves the new definitions\n";
    return 0;
}
} // namespace ThreatScannerService
