// The exports of the threat-scanner library. Every export catches what the code below it may
// throw: nothing crosses into the program but a result code.
#include "CacheStore.h"
#include "Engine.h"
#include "FileSystem.h"
#include "Report.h"
#include "ServiceClient.h"
#include "Session.h"
#include "SystemObjects.h"
#include "Text.h"
#include "Walk.h"

#include "DefinitionsSet/DefinitionsSet.h"
#include "Export/Export.h"
#include "FileSystemHelper/HeldFile.h"
#include "ThreatScanner/ThreatScanner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cwchar>
#include <mutex>
#include <new>
#include <set>
#include <type_traits>

using namespace ThreatScannerEngine;

std::atomic<unsigned long long> ThreatScannerEngine::stopRequests{0};

// One engine instance: the settings of the scans made through it.
struct CThreatScannerStruct
{
    bool scanArchives = true;
    ThreatScanner::ScanCallback* callback = nullptr;
    void* callbackContext = nullptr;
    ThreatScanner::ExtCallback* extCallback = nullptr;
    void* extCallbackContext = nullptr;
    bool busy = false;
    // Set from any thread to end the scans of this instance; the scans share it.
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
};

namespace
{
// The process-wide engine and the instances made from it.
struct State
{
    std::mutex mutex;
    std::shared_ptr<const Engine> engine;
    int initializations = 0;
    std::string quarantineFolder;
    std::string tempFolder;
    std::set<CThreatScannerStruct*> instances;
    // The clean-result cache and the folder its file is kept in; none in read-only mode.
    std::shared_ptr<ResultCache> cache;
    std::string pluginsFolder;
    // The socket of the engine service that holds the engine instead; empty when it is loaded
    // here.
    std::shared_ptr<ServiceConnections> service;

    bool Started() const { return engine || service; }
};

State& GlobalState()
{
    static State state;
    return state;
}

template <typename Function> int Guarded(Function function) noexcept
{
    try
    {
        return function();
    }
    catch (const std::bad_alloc&)
    {
        return ThreatScanner::NoMemory;
    }
    catch (...)
    {
        return ThreatScanner::Failed;
    }
}

// Whether the option is one the program sets on every instance; they change nothing in this
// engine.
bool IsAcceptedOption(int option)
{
    for (const ThreatScanner::OptionSetting& setting : ThreatScanner::InstanceSetupOptions)
        if (setting.option == option)
            return true;
    return std::find(std::begin(ThreatScanner::InstanceEnabledOptions),
                     std::end(ThreatScanner::InstanceEnabledOptions),
                     option) != std::end(ThreatScanner::InstanceEnabledOptions);
}

// The identities of the folders that exist among the given paths.
std::vector<FileIdentity> FolderIdentities(const std::vector<std::string>& paths)
{
    std::vector<FileIdentity> identities;
    for (const std::string& path : paths)
    {
        FileIdentity identity;
        if (FolderIdentity(path, identity))
            identities.push_back(identity);
    }
    return identities;
}

// The clean-result cache of the definitions in the folder, filled from its file when that can be
// trusted. None when the definitions changed while they were loaded: then it is not known which
// set the loaded engine holds.
std::shared_ptr<ResultCache> OpenCache(const std::string& plugins, const CacheDigest& before)
{
    CacheDigest after{};
    if (!DefinitionsDigest(plugins, Engine::Version(), after) || after != before)
        return nullptr;
    auto cache = std::make_shared<ResultCache>(before, resultCacheEntries);
    // Room for every entry and the header around them.
    cache->Load(ReadCacheFile(plugins, resultCacheEntries * 64 + 4096));
    return cache;
}

// Writes what the scan added to the cache file. A cache that cannot be written costs the next
// scan time, nothing else.
void SaveCache(const ScanContext& context, const std::string& plugins)
{
    if (context.cache && context.cache->TakeChanged())
        WriteCacheFile(plugins, context.cache->Save());
}

// The engine service's socket that the second start-up string names (empty when it names none),
// and whether the string asks it to switch definitions before that.
bool ServicePath(const wchar_t* second, std::string& path, bool& switchDefinitions)
{
    path.clear();
    switchDefinitions = false;
    if (!second)
        return true;
    const wchar_t* at = std::wcsstr(second, ThreatScanner::EngineServiceKey);
    if (!at)
        return true;
    const std::wstring before(second, at);
    switchDefinitions = before.find(ThreatScanner::EngineSwitchKey) != std::wstring::npos;
    return ToUtf8(at + std::wcslen(ThreatScanner::EngineServiceKey), path);
}

// Starts the engine: hands the scans to the engine service when one answers on the socket that
// the second string names, else loads it here. Only a writable installation (one with a
// temporary folder of its own) keeps a clean-result cache beside its definitions; with a service
// the cache is the service's.
int Start(const wchar_t* folder, const wchar_t* second, const wchar_t* tempFolder,
          const wchar_t* quarantineFolder)
{
    std::string base;
    if (!folder)
        return ThreatScanner::InvalidArgument;
    if (!ToUtf8(folder, base))
        return ThreatScanner::UtfConversion;
    if (base.empty())
        return ThreatScanner::InvalidArgument;
    std::string temp;
    std::string quarantine;
    if ((tempFolder && !ToUtf8(tempFolder, temp)) ||
        (quarantineFolder && !ToUtf8(quarantineFolder, quarantine)))
        return ThreatScanner::UtfConversion;
    std::string service;
    bool switchDefinitions = false;
    if (!ServicePath(second, service, switchDefinitions))
        return ThreatScanner::UtfConversion;

    State& state = GlobalState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.initializations > 0)
    {
        ++state.initializations;
        return ThreatScanner::Success;
    }
    RaiseOpenFileLimit();
    // Without a usable temporary folder of its own the engine uses the system's.
    if (!temp.empty() && !MakePrivateFolder(temp))
        temp.clear();
    const std::string plugins = JoinPath(base, "Plugins");
    std::unique_ptr<ServiceConnection> connection =
        service.empty() ? nullptr : ServiceConnection::Open(service);
    // The switch is asked before the folder: the service of an installation for every user moves
    // to the machine's folder only when it switches after the first update placed the set there,
    // and until then it serves the starter set, which is not this folder's. Waited for under the
    // lock: nothing else can use an engine that is not started. A service that switched its own
    // set and serves another folder is left to its own clients.
    const int switched =
        connection && switchDefinitions ? connection->Switch() : ThreatScanner::Success;
    // A service that holds another folder's set would answer for definitions that are not these.
    if (connection && !connection->Serves(plugins))
        connection.reset();
    if (connection)
    {
        if (switched != ThreatScanner::Success)
            return switched;
        state.service = std::make_shared<ServiceConnections>(service, std::move(connection));
        state.pluginsFolder = plugins;
        state.quarantineFolder = quarantine;
        state.tempFolder = temp;
        state.initializations = 1;
        return ThreatScanner::Success;
    }
    // With a service nothing here hashes or scans: the scanning library is readied only for an
    // engine of its own, before the definitions digest below, which already hashes through it.
    if (const int result = Engine::InitializeLibraries(); result != ThreatScanner::Success)
        return result;
    // An update moves definitions sets in and out of the Plugins folder's place, but not while
    // this lock is held, from the digest to the end of the load.
    FileSystemHelper::HeldFile reading;
    LockForReading(reading, plugins);
    std::shared_ptr<const Engine> engine;
    const bool keepResults = tempFolder != nullptr;
    CacheDigest definitions{};
    const bool described =
        keepResults && DefinitionsDigest(plugins, Engine::Version(), definitions);
    if (const int result = Engine::Load(plugins, temp, engine); result != ThreatScanner::Success)
        return result;
    state.cache = described ? OpenCache(plugins, definitions) : nullptr;
    state.pluginsFolder = plugins;
    state.engine = std::move(engine);
    state.quarantineFolder = quarantine;
    state.tempFolder = temp;
    state.initializations = 1;
    return ThreatScanner::Success;
}

// Runs function with the instance's state locked, after checking the handle.
template <typename Function> int WithInstance(CThreatScannerStruct* instance, Function function)
{
    State& state = GlobalState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!instance || state.instances.count(instance) == 0)
        return ThreatScanner::InvalidHandle;
    return function(state);
}

// Marks an instance as scanning and takes what the scan needs; clears the mark when it goes.
class ScanGuard
{
public:
    explicit ScanGuard(CThreatScannerStruct* instance) : instance(instance) {}
    ~ScanGuard()
    {
        if (started)
        {
            std::lock_guard<std::mutex> lock(GlobalState().mutex);
            instance->busy = false;
        }
    }
    ScanGuard(const ScanGuard&) = delete;
    ScanGuard& operator=(const ScanGuard&) = delete;

    int Begin()
    {
        return WithInstance(
            instance,
            [this](State& state) -> int
            {
                if (!state.Started())
                    return ThreatScanner::InitRequired;
                if (instance->busy)
                    return ThreatScanner::Busy;
                instance->busy = true;
                started = true;
                context.engine = state.engine;
                context.quarantineFolder = state.quarantineFolder;
                context.ownFolders = FolderIdentities({state.quarantineFolder, state.tempFolder});
                context.scanArchives = instance->scanArchives;
                context.callback = instance->callback;
                context.callbackContext = instance->callbackContext;
                context.cache = state.cache;
                context.stop = instance->stop;
                context.service = state.service;
                pluginsFolder = state.pluginsFolder;
                return ThreatScanner::Success;
            });
    }

    ScanContext context;
    std::string pluginsFolder;

private:
    CThreatScannerStruct* instance;
    bool started = false;
};

// denied receives how many processes this process had no right to examine.
int ScanSystem(const ScanContext& context, std::uint32_t& denied)
{
    Reporter reporter(context);
    {
        Session session(context, reporter);
        denied = ListProcessExecutables(
            [&session, &context](Target target)
            {
                if (!context.Stopping())
                    session.Add(std::move(target));
            });
        session.Finish();
    }
    return context.Stopping() ? ThreatScanner::Stopped : reporter.FirstError();
}

int ScanBootSector(const ScanContext& context, const std::string& root)
{
    if (context.Stopping())
        return ThreatScanner::Stopped;
    std::string device;
    BootSector sector{};
    if (const int result = ReadBootSector(root, device, sector); result != ThreatScanner::Success)
        return result;
    Target target;
    target.openPath = device;
    target.objectPath = root;
    target.objectType = ThreatScanner::ObjectBootSector;
    Reporter reporter(context);
    FileScanResult result;
    std::unique_ptr<ServiceConnection> service;
    if (!context.service)
        result = ScanMemory(*context.engine, sector.data(), sector.size(), device);
    else if (!context.service->Ask(
                 service, [&](ServiceConnection& connection)
                 { return connection.ScanBytes(sector.data(), sector.size(), true, result); }))
    {
        result = FileScanResult();
        result.error = ThreatScanner::Failed;
    }
    reporter.Report(target, nullptr, result);
    return reporter.FirstError();
}
} // namespace

#define THREAT_SCANNER_EXPORT CORVANE_EXPORT

THREAT_SCANNER_EXPORT int ThreatScanner_Initialize(const wchar_t* folder, const wchar_t* second);
THREAT_SCANNER_EXPORT int ThreatScanner_InitializeEx(const wchar_t* folder, const wchar_t* second,
                                                     wchar_t* smartDbPath,
                                                     _InitializeParams* params);
THREAT_SCANNER_EXPORT int ThreatScanner_Uninitialize();
THREAT_SCANNER_EXPORT int ThreatScanner_CreateInstance(CThreatScannerStruct** instance);
THREAT_SCANNER_EXPORT int ThreatScanner_DestroyInstance(CThreatScannerStruct* instance);
THREAT_SCANNER_EXPORT int ThreatScanner_SetIntOption(CThreatScannerStruct* instance, int option,
                                                     int value);
THREAT_SCANNER_EXPORT int ThreatScanner_SetScanCallback2(CThreatScannerStruct* instance,
                                                         ThreatScanner::ScanCallback* callback,
                                                         void* context);
THREAT_SCANNER_EXPORT int ThreatScanner_SetExtCallback(CThreatScannerStruct* instance,
                                                       ThreatScanner::ExtCallback* callback,
                                                       void* context);
THREAT_SCANNER_EXPORT int ThreatScanner_ScanObject(CThreatScannerStruct* instance, int objectType,
                                                   const wchar_t* path, int zero, int* out1,
                                                   int* out2, const wchar_t** out3, int processId,
                                                   const wchar_t* name);
THREAT_SCANNER_EXPORT int ThreatScanner_ScanPath(CThreatScannerStruct* instance, int zero,
                                                 const wchar_t* path, int processId);
THREAT_SCANNER_EXPORT int ThreatScanner_GetDatabaseInformation(CThreatScannerStruct* instance,
                                                               std::uint32_t* version,
                                                               std::uint32_t* releaseTime);

static_assert(std::is_same_v<decltype(ThreatScanner_Initialize), ThreatScanner::Initialize>);
static_assert(std::is_same_v<decltype(ThreatScanner_InitializeEx), ThreatScanner::InitializeEx>);
static_assert(std::is_same_v<decltype(ThreatScanner_Uninitialize), ThreatScanner::Uninitialize>);
static_assert(
    std::is_same_v<decltype(ThreatScanner_CreateInstance), ThreatScanner::CreateInstance>);
static_assert(
    std::is_same_v<decltype(ThreatScanner_DestroyInstance), ThreatScanner::DestroyInstance>);
static_assert(std::is_same_v<decltype(ThreatScanner_SetIntOption), ThreatScanner::SetIntOption>);
static_assert(
    std::is_same_v<decltype(ThreatScanner_SetScanCallback2), ThreatScanner::SetScanCallback2>);
static_assert(
    std::is_same_v<decltype(ThreatScanner_SetExtCallback), ThreatScanner::SetExtCallback>);
static_assert(std::is_same_v<decltype(ThreatScanner_ScanObject), ThreatScanner::ScanObject>);
static_assert(std::is_same_v<decltype(ThreatScanner_ScanPath), ThreatScanner::ScanPath>);
static_assert(std::is_same_v<decltype(ThreatScanner_GetDatabaseInformation),
                             ThreatScanner::GetDatabaseInformation>);

// Read-only installations: the definitions come from the given folder, nothing is written
// beside it. Extracted archive members go to the system's temporary folder and there is no
// quarantine, so a quarantine request leaves the file where it is.
int ThreatScanner_Initialize(const wchar_t* folder, const wchar_t* second)
{
    return Guarded([&]() -> int { return Start(folder, second, nullptr, nullptr); });
}

int ThreatScanner_InitializeEx(const wchar_t* folder, const wchar_t* second,
                               wchar_t* /*smartDbPath*/, _InitializeParams* params)
{
    return Guarded(
        [&]() -> int
        {
            if (params && params->size < sizeof(_InitializeParams))
                return ThreatScanner::InvalidArgument;
            return Start(folder, second, params ? params->tempFolder : nullptr,
                         params ? params->quarantineFolder : nullptr);
        });
}

int ThreatScanner_Uninitialize()
{
    return Guarded(
        []() -> int
        {
            State& state = GlobalState();
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.initializations == 0)
                return ThreatScanner::InitRequired;
            if (--state.initializations == 0)
            {
                // Scans still running keep their own reference to the engine.
                state.engine.reset();
                state.service.reset();
                state.cache.reset();
                state.quarantineFolder.clear();
            }
            return ThreatScanner::Success;
        });
}

int ThreatScanner_CreateInstance(CThreatScannerStruct** instance)
{
    return Guarded(
        [&]() -> int
        {
            State& state = GlobalState();
            std::lock_guard<std::mutex> lock(state.mutex);
            if (!state.Started())
                return ThreatScanner::InitRequired;
            if (!instance)
                return ThreatScanner::InvalidArgument;
            auto created = std::make_unique<CThreatScannerStruct>();
            state.instances.insert(created.get());
            *instance = created.release();
            return ThreatScanner::Success;
        });
}

int ThreatScanner_DestroyInstance(CThreatScannerStruct* instance)
{
    return Guarded(
        [&]() -> int
        {
            return WithInstance(instance,
                                [instance](State& state) -> int
                                {
                                    if (instance->busy)
                                        return ThreatScanner::Busy;
                                    state.instances.erase(instance);
                                    delete instance;
                                    return ThreatScanner::Success;
                                });
        });
}

int ThreatScanner_SetIntOption(CThreatScannerStruct* instance, int option, int value)
{
    return Guarded(
        [&]() -> int
        {
            return WithInstance(instance,
                                [&](State&) -> int
                                {
                                    if (option == ThreatScanner::OptionStopScan)
                                    {
                                        if (value != 0 && value != 1)
                                            return ThreatScanner::InvalidArgument;
                                        instance->stop->store(value == 1);
                                        if (value == 1)
                                            ++stopRequests;
                                        return ThreatScanner::Success;
                                    }
                                    if (option == ThreatScanner::OptionScanArchives)
                                    {
                                        if (value != 0 && value != 1)
                                            return ThreatScanner::InvalidArgument;
                                        instance->scanArchives = value == 1;
                                        return ThreatScanner::Success;
                                    }
                                    if (IsAcceptedOption(option))
                                        return ThreatScanner::Success;
                                    return ThreatScanner::NotSupported;
                                });
        });
}

int ThreatScanner_SetScanCallback2(CThreatScannerStruct* instance,
                                   ThreatScanner::ScanCallback* callback, void* context)
{
    return Guarded(
        [&]() -> int
        {
            return WithInstance(instance,
                                [&](State&) -> int
                                {
                                    instance->callback = callback;
                                    instance->callbackContext = context;
                                    return ThreatScanner::Success;
                                });
        });
}

// The extended callback is kept but never called: this engine has no extended scan events.
int ThreatScanner_SetExtCallback(CThreatScannerStruct* instance,
                                 ThreatScanner::ExtCallback* callback, void* context)
{
    return Guarded(
        [&]() -> int
        {
            return WithInstance(instance,
                                [&](State&) -> int
                                {
                                    instance->extCallback = callback;
                                    instance->extCallbackContext = context;
                                    return ThreatScanner::Success;
                                });
        });
}

int ThreatScanner_ScanObject(CThreatScannerStruct* instance, int objectType, const wchar_t* path,
                             int /*zero*/, int* out1, int* /*out2*/, const wchar_t** /*out3*/,
                             int /*processId*/, const wchar_t* /*name*/)
{
    return Guarded(
        [&]() -> int
        {
            ScanGuard guard(instance);
            if (const int result = guard.Begin(); result != ThreatScanner::Success)
                return result;
            if (objectType == ThreatScanner::SystemObjectType)
            {
                if (!path || std::wcscmp(path, ThreatScanner::SystemObjectName) != 0)
                    return ThreatScanner::InvalidArgument;
                std::uint32_t denied = 0;
                const int result = ScanSystem(guard.context, denied);
                if (out1)
                    *out1 = static_cast<int>(std::min<std::uint32_t>(denied, INT_MAX));
                SaveCache(guard.context, guard.pluginsFolder);
                return result;
            }
            if (objectType == ThreatScanner::BootSectorObjectType)
            {
                std::string root;
                if (!path)
                    return ThreatScanner::InvalidArgument;
                if (!ToUtf8(path, root))
                    return ThreatScanner::UtfConversion;
                return ScanBootSector(guard.context, root);
            }
            return ThreatScanner::NotSupported;
        });
}

int ThreatScanner_ScanPath(CThreatScannerStruct* instance, int /*zero*/, const wchar_t* path,
                           int /*processId*/)
{
    return Guarded(
        [&]() -> int
        {
            ScanGuard guard(instance);
            if (const int result = guard.Begin(); result != ThreatScanner::Success)
                return result;
            std::string root;
            if (!path)
                return ThreatScanner::InvalidArgument;
            if (!ToUtf8(path, root))
                return ThreatScanner::UtfConversion;
            if (root.empty())
                return ThreatScanner::PathError;
            Reporter reporter(guard.context);
            int walked = ThreatScanner::Success;
            {
                Session session(guard.context, reporter);
                walked = WalkTree(
                    root, guard.context.ownFolders,
                    [&session](const SharedFolder& folder, const std::string& name,
                               const std::string& file)
                    {
                        Target target;
                        target.objectPath = file;
                        target.folder = folder;
                        target.name = name;
                        session.Add(std::move(target));
                    },
                    [&reporter](const std::string& folder, int code)
                    {
                        reporter.Failure(folder, ThreatScanner::ObjectFile, code,
                                         ThreatScanner::FlagFolder |
                                             ThreatScanner::FlagUnableToRead);
                    },
                    guard.context.stop.get());
                session.Finish();
            }
            SaveCache(guard.context, guard.pluginsFolder);
            if (guard.context.Stopping())
                return ThreatScanner::Stopped;
            return walked != ThreatScanner::Success ? walked : reporter.FirstError();
        });
}

int ThreatScanner_GetDatabaseInformation(CThreatScannerStruct* instance, std::uint32_t* version,
                                         std::uint32_t* releaseTime)
{
    return Guarded(
        [&]() -> int
        {
            return WithInstance(
                instance,
                [&](State& state) -> int
                {
                    if (!state.Started())
                        return ThreatScanner::InitRequired;
                    if (!version || !releaseTime)
                        return ThreatScanner::InvalidArgument;
                    DatabaseInformation information;
                    if (state.engine)
                        information = state.engine->Information();
                    else
                    {
                        std::unique_ptr<ServiceConnection> service;
                        if (!state.service->Ask(service, [&](ServiceConnection& connection)
                                                { return connection.Information(information); }))
                            return ThreatScanner::Failed;
                    }
                    if (!information.known)
                        return ThreatScanner::DbinfoUnavailable;
                    *version = information.version;
                    *releaseTime = information.releaseTime;
                    return ThreatScanner::Success;
                });
        });
}
