#pragma once

#include "JobEnvironment.h"
#include "ScanRequest.h"
#include "Scanner/InfectedObject.h"
#include "Scanner/StopSwitch.h"
#include "ThreatScanner/Exports.h"

#include "DllHelper/Dll.h"
#include "FileSystemHelper/RunFolder.h"

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pugi
{
class xml_document;
}

namespace CorvaneCommandLineScanner
{
// What the scan result report shows.
struct ScanSummary
{
    std::wstring scanTypeName;
    std::vector<std::wstring> scanPaths; // in scan order
    std::string startTime;               // UTC, ISO basic form
    std::string endTime;
    std::vector<boost::shared_ptr<InfectedObject>> infectedObjects; // in detection order
};

// The threat-scanner library's exports, bound from the loaded library.
using EngineLibrary = DllHelper::BoundLibrary<ThreatScanner::Exports>;

// Loads the threat-scanner library and binds all its exports. Throws the loading and binding
// errors.
EngineLibrary LoadEngine(const boost::filesystem::path& path);

// Fills an empty document with the scan result of the summary.
void BuildReport(const ScanSummary& summary, pugi::xml_document& document);

// Collects what the engine reports during a scan: prints each reported object, records each
// detection with the action the run asks for, and stores the outcome of that action when the
// engine reports it.
class ScanCollector
{
public:
    ScanCollector(ThreatScanner::Action action, std::wostream& out) : action(action), out(&out) {}

    // One callback record; action is the engine's answer slot for a detection (may be null).
    void Report(const _ScanCbkParams& params, int* action);

    // Where each reported object is shown.
    std::wostream& Output() const { return *out; }

    // The detections so far, in detection order.
    const std::vector<boost::shared_ptr<InfectedObject>>& Detections() const { return detections; }

    // How many detections the action failed on because this user had no right to take it.
    std::size_t RefusedActions() const { return refusedActions; }

private:
    ThreatScanner::Action action;
    std::wostream* out;
    std::vector<boost::shared_ptr<InfectedObject>> detections;
    // The last detection while the outcome of its action has not been reported.
    boost::shared_ptr<InfectedObject> pending;
    std::size_t refusedActions = 0;
};

// Receives every object the engine reports during a scan call; the context is a ScanCollector.
void ScanCallback(_ScanCbkParams* params, int* action, void* context);

// Owns the threat-scanner library for one job: construction starts the engine, destruction shuts
// it down and removes its temporary folder (a folder of this run's own under Temp, also when the
// engine refused to start). Folders under Temp that no running process holds are removed first.
class Scanner
{
public:
    // Starts the engine of the bound library, read-only in the engines folder or normally in the
    // program folder. Throws ExceptionHelper::Exception "Couldn't initialize scanner. Error:
    // <name>". A scan stops when the switch is set: the scan call in progress ends after the
    // object it is at, no further one starts, and the report says the scan was interrupted.
    Scanner(EngineLibrary engine, const JobEnvironment& environment,
            std::shared_ptr<StopSwitch> stop = std::make_shared<StopSwitch>());
    // After new definitions were installed: the same, and an engine service that holds the
    // engine switches to them (an engine loaded in process loads them anyway).
    struct SwitchDefinitions
    {
    };
    Scanner(EngineLibrary engine, const JobEnvironment& environment, SwitchDefinitions);
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // The definitions version and their release date in the local time zone. Engine errors are
    // logged and leave both untouched.
    void GetDatabaseInformation(std::uint32_t& version, std::wstring& releaseDate);

    // Runs the request's scan and writes its report.
    void Scan(const ScanRequest& request);

private:
    using Instance = boost::shared_ptr<CThreatScannerStruct>;

    // Engine start-up of a read-only installation, in the engines folder.
    void Init();
    // Engine start-up of a normal installation, with Temp and Quarantine beside the program.
    void InitEx();

    // A new engine instance with the scan options and the collector as callback context.
    CThreatScannerStruct* CreateScanner(ScanCollector& collector);
    // Wraps an engine instance in an owner that destroys it and logs a failure to do so.
    Instance Own(CThreatScannerStruct* instance) const;
    // A new instance from CreateScanner, destroyed when the last owner lets go.
    Instance NewInstance(ScanCollector& collector);

    void SettleReportPath();
    // Logs a failed scan call; the scan then did not cover all it was asked to.
    void LogFailure(int result, const char* message);
    void ScanSystem(CThreatScannerStruct* instance);
    void ScanBootSector(CThreatScannerStruct* instance, const std::wstring& root);
    void QuickScan(ScanCollector& collector);
    void FullScan(ScanCollector& collector);
    void CustomScan(ScanCollector& collector);
    void BootScan(ScanCollector& collector);

    // Saves the summary as XML to the report path (not in a read-only installation), prints it
    // when asked to, and tells the user where it is.
    void WriteReport();

    EngineLibrary engine;
    JobEnvironment environment;
    ScanRequest request;
    ScanSummary summary;
    // Outputs of the engine's ScanObject, cleared once per run; only the first is read, after a
    // system scan: the number of processes this user had no right to examine.
    int objectOutput1 = 0;
    int objectOutput2 = 0;
    const wchar_t* objectOutput3 = nullptr;
    std::wstring tempFolder;
    std::shared_ptr<StopSwitch> stop;
    bool switchDefinitions = false;
    bool incomplete = false; // a scan call failed
    int deniedProcesses = 0; // of the system scan
    // Holds tempFolder; destroyed after the engine was shut down.
    std::unique_ptr<FileSystemHelper::RunFolder> runFolder;
};
} // namespace CorvaneCommandLineScanner
