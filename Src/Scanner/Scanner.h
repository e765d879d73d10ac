#pragma once

#include "ScanRequest.h"
#include "Scanner/InfectedObject.h"
#include "Scanner/StopSwitch.h"
#include "ThreatScanner/ThreatScanner.h"

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

// Fills an empty document with the scan result of the summary.
void BuildReport(const ScanSummary& summary, pugi::xml_document& document);

// Receives every object the engine reports during a scan call; the context is the Scanner.
void ScanCallback(_ScanCbkParams* params, int* action, void* context);

// Owns the threat-scanner library for one job: construction loads scan.dll from the program
// folder and starts the engine, destruction shuts it down and removes its temporary folder (a
// folder of this run's own under Temp, also when the engine refused to start). Folders under
// Temp that no running process holds are removed first.
class Scanner
{
public:
    // Loads and starts the engine. Throws the library-binding errors and
    // ExceptionHelper::Exception "Couldn't initialize scanner. Error: <name>". A scan stops
    // when the switch is set: the scan call in progress ends after the object it is at, no
    // further one starts, and the report says the scan was interrupted.
    explicit Scanner(std::shared_ptr<StopSwitch> stop = std::make_shared<StopSwitch>());
    // After new definitions were installed: the same, and an engine service that holds the
    // engine switches to them (an engine loaded in process loads them anyway).
    struct SwitchDefinitions
    {
    };
    explicit Scanner(SwitchDefinitions);
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Engine start-up of a read-only installation, in the settings' engines folder.
    void Init();
    // Engine start-up of a normal installation, with Temp and Quarantine beside the program.
    void InitEx();

    // A new engine instance with the scan options and this scanner's callback set. The caller
    // destroys it with ThreatScanner_DestroyInstance.
    CThreatScannerStruct* CreateScanner();

    // The definitions version and their release date in the local time zone. Engine errors are
    // logged and leave both untouched.
    void GetDatabaseInformation(std::uint32_t& version, std::wstring& releaseDate);

    // Runs the request's scan and writes its report.
    void Scan(const ScanRequest& request);

    // Saves the summary as XML to the report path (not in a read-only installation), prints it
    // when asked to, and tells the user where it is.
    void WriteReport();

private:
    friend void ScanCallback(_ScanCbkParams* params, int* action, void* context);

    using Library = DllHelper::Detail::Dll<DllHelper::DllTag>;
    template <typename Signature> using Export = DllHelper::Detail::DllFunction<Signature>;
    using Instance = boost::shared_ptr<CThreatScannerStruct>;

    // Wraps an engine instance in an owner that destroys it and logs a failure to do so.
    Instance Own(CThreatScannerStruct* instance,
                 const Export<ThreatScanner::DestroyInstance>& destroy) const;

    using ScanObjectExport = Export<ThreatScanner::ScanObject>;

    // A new instance from CreateScanner, destroyed when the last owner lets go.
    Instance NewInstance();

    void SettleReportPath();
    // Logs a failed scan call; the scan then did not cover all it was asked to.
    void LogFailure(int result, const char* message);
    void ScanSystem(CThreatScannerStruct* instance, const ScanObjectExport& scanObject);
    void ScanBootSector(CThreatScannerStruct* instance, const ScanObjectExport& scanObject,
                        const std::wstring& root);
    void QuickScan();
    void FullScan();
    void CustomScan();
    void BootScan();

    ScanRequest request;
    ScanSummary summary;
    // Outputs of ThreatScanner_ScanObject, cleared once per run and never read.
    int objectOutput1 = 0;
    int objectOutput2 = 0;
    const wchar_t* objectOutput3 = nullptr;
    boost::shared_ptr<InfectedObject> pendingObject;
    std::wstring tempFolder;
    boost::shared_ptr<Library> engineLibrary;
    std::shared_ptr<StopSwitch> stop;
    bool switchDefinitions = false;
    bool incomplete = false; // a scan call failed
    // Holds tempFolder; destroyed after the engine was shut down.
    std::unique_ptr<FileSystemHelper::RunFolder> runFolder;
};
} // namespace CorvaneCommandLineScanner
