#pragma once

#include "Installation.h"
#include "ScanProtocol/Channel.h"
#include "ThreatScanner/Exports.h"

#include <atomic>
#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace EngineTest
{
namespace fs = boost::filesystem;

// The exports of the built scan.dll and those of its test copy, loaded once for the whole test
// program.
struct Exports : ThreatScanner::Exports
{
    // The test copy's pause point: called with a folder's path once its entries are listed.
    void (*SetWalkListedHook)(void (*hook)(const char* folder));
    // The pause point after a file's scan found something, before its signature is checked.
    void (*SetScannedHook)(void (*hook)(const char* path));
    // How many files the engine has read and scanned so far.
    unsigned long long (*ScannedFiles)();
    // The mount table the engine reads for boot sectors instead of the system's; null restores it.
    // The free space a quarantine copy must leave (bytes, percent of the file system), and how
    // many folder levels a walk holds open.
    void (*SetQuarantineReserve)(unsigned long long bytes, unsigned int percent);
    void (*SetHeldFolderLevels)(unsigned long long levels);
    // Files whose name the hook accepts are handled as if the system refused to open them as
    // malware; null ends that.
    void (*SetBlockedOpenHook)(bool (*hook)(const char* name));
    // How many entries the result caches opened from now on keep.
    void (*SetCacheEntries)(unsigned long long entries);
};
const Exports& Engine();

// One callback call, copied.
struct Report
{
    std::int32_t objectType;
    std::wstring objectPath;
    std::wstring parentContainers;
    std::wstring innerObject;
    std::uint32_t objectFlags;
    std::int32_t archiveFlags;
    std::int32_t scanStatus;
    std::int32_t scanStatusFlags;
    std::int32_t threatType;
    std::uint32_t processId;
    std::wstring threatName;
    std::uint32_t depthLevel;
    std::wstring verifiedSigner; // "(null)" when there is none
};

// Records every callback and answers detections with a fixed action. Fails the test when two
// calls overlap.
struct Recorder
{
    int action = ThreatScanner::ActionNone;
    std::vector<Report> reports;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    // How many of the first calls wait a while before they return, so that a concurrent caller
    // would come in meanwhile.
    std::atomic<int> pauses{0};

    static void Callback(_ScanCbkParams* params, int* action, void* context);
};

// The built engine service, started on a definitions folder with a socket (on Windows a pipe) and
// a state folder of its own inside the given folder; stopped when the object goes (SIGTERM, or on
// Windows by closing its standard input), and then checked to have ended with exit code 0 and no
// sanitizer report. Its standard error goes to a file there.
class EngineService
{
public:
    // Whether the engine tests run with the service (the test entry that sets
    // CORVANE_TEST_ENGINE_SERVICE), so that each installation starts one.
    static bool Enabled();

    // The service is given definitions with folderOption: --definitions names the definitions
    // folder, --installation a program folder whose rule says where they are.
    EngineService(const fs::path& definitions, const fs::path& folder,
                  const std::string& folderOption = "--definitions");
    ~EngineService();
    EngineService(const EngineService&) = delete;
    EngineService& operator=(const EngineService&) = delete;

    const fs::path& Socket() const { return socket; }
    // A connection to the service that has not said hello.
    ScanProtocol::OwnedDescriptor Connect() const;
    const fs::path& State() const { return state; }
    // Ends the service at once (SIGKILL, TerminateProcess); the ending is then not checked.
    void Kill();
    // The second start-up string that names this service.
    std::wstring StartupText(bool switchDefinitions = false) const;

private:
    fs::path socket;
    fs::path state;
    fs::path errors;
    long long process = -1;
    // On Windows the service's standard input, a pipe whose closing ends it.
    long long input = -1;
};

// A connection to the service that said hello; throws when it did not greet.
ScanProtocol::Channel Greeted(const EngineService& service);
// Scans a file over the channel; the threat names found, or "failed".
std::vector<std::string> ScanOver(ScanProtocol::Channel& channel, const fs::path& file);
// The service's counts; throws when it did not tell them.
ScanProtocol::StatsReply Stats(const EngineService& service);

// What tests of the service's protocol need of the platform.
// The file opened to read, as a client hands it to the service.
ScanProtocol::OwnedDescriptor OpenToPass(const fs::path& file);
// The folder opened as an update hands over the set it is about to install.
ScanProtocol::OwnedDescriptor OpenFolderToPass(const fs::path& folder);
// The reading end of a pipe that never ends while its writing end is held.
ScanProtocol::OwnedDescriptor EndlessPipe(ScanProtocol::OwnedDescriptor& writer);
// Frame bytes as they travel on the platform's connection (on Windows after the value of the
// handle passed with them, here none).
std::string OnTheWire(const std::string& frame);
// Handle values a hostile client may name in a frame without passing anything: on Windows the
// low values, among them handles that the service holds itself; none where the system passes
// descriptors itself.
std::vector<std::uint64_t> ForgedHandleValues();
// This process's id, as the engine's scan calls take it.
unsigned long ProcessId();
// Whether the engine keeps a clean-result cache on this platform.
bool KeepsCleanResults();

// A program folder with a copy of the starter definitions, a Temp and a Quarantine folder, and a
// Data folder to put files to scan in. The engine is initialised for it and shut down with it.
class EngineInstallation
{
public:
    // With withService, the built engine service holds the engine (see EngineService).
    explicit EngineInstallation(bool readOnly = false, bool withService = EngineService::Enabled());
    ~EngineInstallation();
    EngineInstallation(const EngineInstallation&) = delete;
    EngineInstallation& operator=(const EngineInstallation&) = delete;

    // Shuts the engine down and starts it again on the same folder.
    void Restart();
    // The same, as a read-only installation from then on.
    void RestartReadOnly()
    {
        readOnly = true;
        Restart();
    }

    const fs::path& Folder() const { return folder; }
    EngineService* Service() const { return service.get(); }
    fs::path Data() const { return folder / "Data"; }
    fs::path Quarantine() const { return folder / "Quarantine"; }

    // A new instance with the recorder as callback; destroyed with the installation.
    CThreatScannerStruct* Instance(Recorder& recorder, bool scanArchives = true);
    // Scans a path with a new instance and returns the scan call's result.
    int Scan(const fs::path& path, Recorder& recorder, bool scanArchives = true);

private:
    void Start(bool switchDefinitions);

    CorvaneTest::TemporaryFolder root;
    fs::path folder;
    bool readOnly;
    // With the service: it holds this installation's engine.
    std::unique_ptr<EngineService> service;
    std::vector<CThreatScannerStruct*> instances;
};

// Content that the starter definitions detect, put together at run time so that the test
// program itself carries none of it.
std::string TestVirus();
std::string Marker(const std::string& kind); // "infected", "suspicious" or "adware"

void WriteFile(const fs::path& path, const std::string& content);
std::string ReadFile(const fs::path& path);

// A zip archive with its members stored uncompressed.
std::string Zip(const std::vector<std::pair<std::string, std::string>>& members);

// Calls the function with the path of each detected file once the engine has scanned it, while
// the engine still holds the file; an empty function stops the calls.
void OnScanned(std::function<void(const std::string& path)> function);

// Runs a check as an unprivileged user when the tests run as root, so that file permissions
// apply; the folder is opened up to that user first. Returns the check's result.
int AsUnprivilegedUser(const fs::path& folder, const std::function<int()>& check);

// An installation of the program with scan.dll and the starter definitions, and a Data folder
// beside it.
class ShippedInstallation
{
public:
    ShippedInstallation();

    fs::path Data() const { return installation.Folder().parent_path() / "Data"; }
    fs::path Result() const { return installation.Folder().parent_path() / "result.xml"; }

    // The last run's log.
    std::string Log() const;
    // With the service: starts it again, so that it loads the definitions as they are now, in
    // this process's environment.
    void Reload();

    // Runs a custom scan of the path and returns the console output; the XML is at Result().
    std::string Scan(const fs::path& path, const std::vector<std::string>& options = {},
                     const std::map<std::string, std::string>& environment = {});

    CorvaneTest::Installation installation;
    // With the service: it holds the installation's engine, named in its config.ini.
    std::unique_ptr<EngineService> service;
};

// The files with the extension in a quarantine folder.
std::vector<fs::path> QuarantineFiles(const fs::path& folder, const std::string& extension);
// The scan statuses of the recorded calls, in order.
std::vector<std::int32_t> Statuses(const Recorder& recorder);

// The InfectedObject elements of a report, one line each.
std::vector<std::string> InfectedObjects(const std::string& report);

// A path as the program passes it (bytes that are not UTF-8 as U+DC80..U+DCFF), and back.
std::wstring Wide(const fs::path& path);
fs::path Narrow(const std::wstring& path);
} // namespace EngineTest
