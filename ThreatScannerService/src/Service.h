#pragma once

#include "Actions.h"
#include "Engine.h"
#include "Listener.h"
#include "ResultCache.h"

#include "ScanProtocol/Channel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace ThreatScannerService
{
struct Settings
{
    std::string definitionsFolder; // the definitions set to load, and to load again on a switch
    std::string stateFolder;       // the clean-result cache file
    std::string tempFolder;        // extracted archive members
    // Limits per connection and for all of them.
    std::size_t maxConnections = 64;
    std::chrono::milliseconds greetingTime = std::chrono::seconds(10);
    std::chrono::milliseconds idleTime = std::chrono::minutes(5);
    std::chrono::milliseconds frameTime = std::chrono::seconds(10);
    std::chrono::seconds cacheSaveInterval = std::chrono::seconds(60);
};

// Holds one compiled definitions set and its clean-result cache, and serves scans of the
// descriptors its clients hand over, one thread per connection. A switch loads the set again
// while the old one keeps serving and replaces it once the new one loaded; a set that does not
// load leaves the old one in place.
class Service
{
public:
    explicit Service(Settings settings);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Loads the definitions; the engine's result code.
    int Start();
    // Accepts connections until the listener's stop signal comes, then ends every connection,
    // waits for them and saves the cache. False when a connection did not end in time: the
    // process must then end without destroying the service.
    bool Run(Listener& listener);

private:
    struct Generation
    {
        std::shared_ptr<const ThreatScannerEngine::Engine> engine;
        std::shared_ptr<ThreatScannerEngine::ResultCache> cache; // none when it cannot be trusted
    };

    int Load(std::shared_ptr<const Generation>& loaded);
    std::shared_ptr<const Generation> Current();
    int Switch();
    void Serve(ScanProtocol::Channel& channel);
    ScanProtocol::Message Scan(const ScanProtocol::ScanRequest& request,
                               ScanProtocol::OwnedDescriptor file, std::vector<char>& buffer);
    void SaveCache();
    // Takes the file a client passed for one scan, or refuses it: a value that names a file
    // another scan holds was never passed by this client (where handles travel as values).
    bool Claim(const ThreatScannerEngine::Descriptor& file);
    void Unclaim(ThreatScannerEngine::NativeHandle value);
    // Serves one accepted connection on a thread of its own, within the limit of connections;
    // the connection closes when it is over the limit or no thread could start.
    void ServeOnThread(ScanProtocol::OwnedDescriptor connection);

    const Settings settings;
    std::mutex mutex;
    std::condition_variable connectionEnded;
    std::shared_ptr<const Generation> current;
    // The set the last switch replaced, while scans still use it: the next switch waits for it
    // to go, so that at most two sets are ever held.
    std::weak_ptr<const Generation> retired;
    std::mutex switching;
    std::mutex saving;
    std::set<std::intptr_t> clients;
    std::set<std::intptr_t> claimed;
    std::atomic<std::uint64_t> scans{0};
    std::atomic<std::uint32_t> switches{0};
};
} // namespace ThreatScannerService
