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
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace ThreatScannerService
{
struct Settings
{
    std::string definitionsFolder; // the definitions set to load, and to load again on a switch
    // Instead of definitionsFolder: the program folder of the installation whose definitions are
    // served, wherever its folder rule puts them (InstallationLayout) when the service starts,
    // switches or is asked which folder it serves.
    std::string installationFolder;
    std::string stateFolder; // the clean-result cache file
    std::string tempFolder;  // extracted archive members
    // Limits per connection and for all of them.
    std::size_t maxConnections = 64;
    std::chrono::milliseconds greetingTime = std::chrono::seconds(10);
    std::chrono::milliseconds idleTime = std::chrono::minutes(5);
    std::chrono::milliseconds frameTime = std::chrono::seconds(10);
    // From a set loaded for an install to the word that it is installed.
    std::chrono::milliseconds installTime = std::chrono::seconds(60);
    std::chrono::seconds cacheSaveInterval = std::chrono::seconds(60);
};

// Which folder a folder is: its device and inode (volume serial and file index on Windows).
struct FolderIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FolderIdentity& other) const
    {
        return device == other.device && inode == other.inode;
    }
};

// Holds one compiled definitions set and its clean-result cache, and serves scans of the
// descriptors its clients hand over, one worker thread per connection. A switch loads the set again
// while the old one keeps serving and replaces it once the new one loaded; a set that does not
// load leaves the old one in place, and a folder that did not change since its set was loaded is
// not loaded again. An update hands over the folder it is about to install: the service loads it
// through that descriptor, answers whether it loaded (the update installs only a set that did),
// and serves it once the update says it is installed, so that an update costs one load.
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
        // The description of the definitions folder as it was loaded (DescribeSet), when it did
        // not change meanwhile.
        std::optional<ThreatScannerEngine::CacheDigest> definitions;
        // The definitions folder it was loaded as; only a set of the folder the settings name now
        // serves that folder.
        std::string folder;
    };
    // A set loaded from a folder that a client is about to install as the definitions folder.
    struct Staged
    {
        std::shared_ptr<Generation> generation;
        FolderIdentity folder;                  // the folder the client passed
        std::unique_lock<std::mutex> switching; // held until it is served or dropped
    };

    // Loads the set in folder; with the cache of the definitions folder when folder is that one.
    int Load(const std::string& folder, bool definitionsFolder,
             std::shared_ptr<Generation>& loaded);
    // The description of the set in folder, which any change to it changes; false when it cannot
    // be listed. Where clean results are kept (KeepsCleanResults), it is the digest that the
    // cache belongs to.
    static bool DescribeSet(const std::string& folder, ThreatScannerEngine::CacheDigest& digest);
    static bool KeepsCleanResults();
    // Gives the generation the description of the definitions folder and, where clean results are
    // kept, the cache that belongs to it.
    void AttachCache(Generation& generation, const ThreatScannerEngine::CacheDigest& digest);
    // Waits until the set replaced last is gone, so that a load holds at most two.
    void WaitForOneSet();
    // Serves next from now on; the replaced set goes with its last scan.
    void Replace(std::shared_ptr<const Generation> next);
    std::shared_ptr<const Generation> Current();
    int Switch();
    // Serves the set of the definitions folder when the one served is another folder's.
    void Follow();
    // Loads the set in the folder and serves it, or remembers it as unloadable; the caller holds
    // switching.
    int LoadAndServe(const std::string& folder);
    // Which folder the one at the path is now; false when it cannot be told.
    static bool IdentifyFolder(const std::string& path, FolderIdentity& identity);
    // Whether the passed folder is the definitions folder and the set served was loaded from it;
    // moved says that it is the definitions folder but the set served is another folder's.
    bool IsDefinitionsFolder(std::intptr_t folder, bool& moved);
    // Whether the passed folder is the one at the path.
    static bool IsFolder(std::intptr_t folder, const std::string& path);
    // Loads the set that a client passed as the folder it is about to install, when that folder
    // lies beside the definitions folder; Refused otherwise or when it cannot be read.
    ScanProtocol::Message LoadStaged(ScanProtocol::OwnedDescriptor folder, Staged& staged);
    // Loads the set of the passed folder and keeps it in staged, with the switch lock held from
    // before readable is asked for a path the engine can load the set from (empty when there is
    // none: Refused); the reply to the load request.
    ScanProtocol::Message LoadForInstall(const FolderIdentity& folder, Staged& staged,
                                         const std::function<std::string()>& readable);
    int CommitStaged(Staged& staged);
    void Serve(ScanProtocol::Channel& channel);
    ScanProtocol::Message Scan(const ScanProtocol::ScanRequest& request,
                               ScanProtocol::OwnedDescriptor file, std::vector<char>& buffer);
    void SaveCache();
    // Ends every connection (a client waiting for an answer sees it close), waits for their
    // threads and saves the cache; false when a connection's thread did not end in time.
    bool EndConnections();
    // Takes the file a client passed for one scan, or refuses it: a value that names a file
    // another scan holds was never passed by this client (where handles travel as values).
    bool Claim(const ThreatScannerEngine::Descriptor& file);
    void CloseClaimed(ThreatScannerEngine::Descriptor& file);
    // Serves one accepted connection on a worker thread, within the limit of connections: an
    // idle worker takes it, or a new one starts. The connection closes when it is over the limit
    // or no thread could start.
    void ServeOnThread(ScanProtocol::OwnedDescriptor connection);
    // A worker: serves its first connection, then the next ones handed to it, until the service
    // ends. Workers are kept rather than ended after each connection, so that a busy service
    // does not start and end a thread per connection (under Wine a thread started while another
    // one ended sometimes did not run for seconds, and its client waited in vain).
    void Work(ScanProtocol::OwnedDescriptor connection);

    const Settings settings;
    // How many sets are held; a switch waits until the one it replaced last is gone, so that at
    // most two are ever held. Declared before every set, which counts down as it goes.
    std::mutex counting;
    std::condition_variable generationGone;
    std::size_t generations = 0;
    std::mutex mutex;
    std::condition_variable connectionEnded;
    std::shared_ptr<const Generation> current;
    std::mutex switching;
    // Under switching: the definitions folder whose set did not load last; the service follows
    // the installation there again only when a switch asks.
    std::string unloadable;
    std::mutex saving;
    std::set<std::intptr_t> clients;
    // Under mutex: accepted connections no worker has taken yet, the workers, how many of them
    // wait for a connection, and whether the service is ending.
    std::deque<ScanProtocol::OwnedDescriptor> unserved;
    std::condition_variable connectionWaiting;
    std::size_t workers = 0;
    std::size_t idleWorkers = 0;
    bool ending = false;
    std::set<std::intptr_t> claimed;
    std::atomic<std::uint64_t> scans{0};
    std::atomic<std::uint32_t> switches{0};
    std::atomic<std::uint32_t> loads{0};
};

// The definitions folder the settings name now: definitionsFolder, or the Plugins folder where
// the installation's folder rule puts it.
std::string DefinitionsFolder(const Settings& settings);

// Takes one of the folder options every platform's service has (--definitions, --installation,
// --state, --temp) into the settings; false when the option is none of them.
bool TakeFolderOption(Settings& settings, const std::string& option, const std::string& value);

// What is wrong with the folders the settings name, for the usage message; null when nothing is.
const char* FolderProblem(const Settings& settings);

// The switch command: asks the service at the endpoint to load its definitions folder again and
// serve the new set; the process's exit status (0 once the new set serves), with what happened on
// standard error.
int AskForSwitch(const std::string& endpoint);
} // namespace ThreatScannerService
