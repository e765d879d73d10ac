#include "Logger.h"
#include "Scanner/EngineCodeNames.h"
#include "Scanner/ReportPath.h"
#include "Scanner/Scanner.h"

#include "FileSystemHelper/Drives.h"
#include "FileSystemHelper/OutputFile.h"
#include "FileSystemHelper/Text.h"
#include "ProcessHelper/Process.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>
#include <string>

namespace CorvaneCommandLineScanner
{
namespace
{
// UTC with microseconds, ISO basic form; the fraction only when it is not zero.
std::string CurrentTimeText()
{
    return boost::posix_time::to_iso_string(boost::posix_time::microsec_clock::universal_time());
}

int CurrentProcessId()
{
    return static_cast<int>(ProcessHelper::Process::CurrentId());
}

bool Quarantines(ThreatScanner::Action action)
{
    return action == ThreatScanner::ActionQuarCopy || action == ThreatScanner::ActionQuarMove ||
           action == ThreatScanner::ActionQuarCopyArch ||
           action == ThreatScanner::ActionQuarMoveArch;
}
} // namespace

void Scanner::LogFailure(int result, const char* message)
{
    if (result == 0)
        return;
    Log(L"Error", message, EngineResultName(result));
    incomplete = true;
}

void Scanner::Scan(const ScanRequest& newRequest)
{
    request = newRequest;
    summary.scanTypeName = ScanTypeName(static_cast<std::int32_t>(request.scanType));
    summary.startTime = CurrentTimeText();
    if (!environment.readOnly)
        SettleReportPath();
    // The quarantine of an installation for every user is the administrators' alone: a user who
    // may not write it is told before the scan, whose quarantine actions then fail and leave
    // each file where it was.
    const InstallationFolders& folders = environment.folders;
    if (!environment.readOnly && folders.perMachine && Quarantines(request.action) &&
        !FileSystemHelper::MayCreateIn(folders.quarantine))
        *environment.out << "Quarantine of this installation needs an administrator: run it "
                            "again as administrator to quarantine what is found\n";
    *environment.out << "Scan started\n";

    objectOutput1 = 0;
    objectOutput2 = 0;
    objectOutput3 = nullptr;
    deniedProcesses = 0;
    ScanCollector collector(request.action, *environment.wideOut);
    switch (request.scanType)
    {
    case ScanType::Quick:
        QuickScan(collector);
        break;
    case ScanType::Full:
        FullScan(collector);
        break;
    case ScanType::Custom:
        CustomScan(collector);
        break;
    case ScanType::Boot:
        BootScan(collector);
        break;
    }
    summary.infectedObjects = collector.Detections();
    // A user who is no administrator may not examine other users' processes: said once, at the
    // end, rather than left out silently.
    if (deniedProcesses > 0)
    {
        const std::string count = std::to_string(deniedProcesses);
        *environment.out << "Running processes not examined (they need an administrator): " << count
                         << "\n";
        Log(L"Info", "Running processes not examined: ", count);
    }
    // Likewise a detected file that this user may not remove.
    if (collector.RefusedActions() > 0)
        *environment.out << "Detected objects not acted on (they need an administrator): "
                         << std::to_string(collector.RefusedActions()) << "\n";

    summary.endTime = CurrentTimeText();
    if (stop->Requested())
        Log(L"Info", "Scan interrupted");
    WriteReport();
}

void Scanner::SettleReportPath()
{
    const std::wstring defaultFileName =
        summary.scanTypeName + L"-" +
        FileSystemHelper::ToWide(summary.startTime, FileSystemHelper::CodePageAnsi) + L".xml";
    if (request.resultPath.empty())
        request.resultPath =
            FileSystemHelper::WidePath(environment.folders.state / "Scan Results" /
                                       FileSystemHelper::PathFromWide(defaultFileName));
    else
        request.resultPath = ReportFilePath(request.resultPath, defaultFileName);

    const boost::filesystem::path parent =
        FileSystemHelper::PathFromWide(request.resultPath).parent_path();
    boost::system::error_code error;
    const boost::filesystem::file_status status = boost::filesystem::status(parent, error);
    if (error || !boost::filesystem::exists(status))
        FileSystemHelper::CreateFolders(parent, FileSystemHelper::Access::Shared);
}

Scanner::Instance Scanner::NewInstance(ScanCollector& collector)
{
    Instance instance = Own(CreateScanner(collector));
    // From now on an interruption reaches the engine while it scans.
    stop->Attach(instance.get(), [engine = engine](CThreatScannerStruct* scanning)
                 { engine->SetIntOption(scanning, ThreatScanner::OptionStopScan, 1); });
    return instance;
}

void Scanner::ScanSystem(CThreatScannerStruct* instance)
{
    objectOutput1 = 0;
    const int result =
        engine->ScanObject(instance, ThreatScanner::SystemObjectType,
                           ThreatScanner::SystemObjectName, 0, &objectOutput1, &objectOutput2,
                           &objectOutput3, CurrentProcessId(), ThreatScanner::SystemObjectName);
    LogFailure(result, "Couldn't perform system scan. Error: ");
    if (objectOutput1 > 0)
        deniedProcesses = objectOutput1;
}

void Scanner::ScanBootSector(CThreatScannerStruct* instance, const std::wstring& root)
{
    const int result = engine->ScanObject(instance, ThreatScanner::BootSectorObjectType,
                                          root.c_str(), 0, &objectOutput1, &objectOutput2,
                                          &objectOutput3, CurrentProcessId(), nullptr);
    LogFailure(result, "Couldn't perform boot scan. Error: ");
}

void Scanner::QuickScan(ScanCollector& collector)
{
    const Instance instance = NewInstance(collector);
    if (stop->Requested())
        return;
    summary.scanPaths.push_back(ThreatScanner::SystemObjectName);
    ScanSystem(instance.get());
}

void Scanner::FullScan(ScanCollector& collector)
{
    const Instance instance = NewInstance(collector);
    if (!stop->Requested())
        ScanSystem(instance.get());
    const FileSystemHelper::Drives drives;
    for (const auto& drive : drives)
    {
        if (stop->Requested())
            break; // what was not scanned is not listed
        const std::wstring& root = drive->rootPath;
        if (FileSystemHelper::DriveTypeOf(root) == FileSystemHelper::DriveFixed)
            ScanBootSector(instance.get(), root);
        const int result = engine->ScanPath(instance.get(), 0, root.c_str(), CurrentProcessId());
        LogFailure(result, "Couldn't perform full scan. Error: ");
        summary.scanPaths.push_back(root);
    }
}

void Scanner::CustomScan(ScanCollector& collector)
{
    const Instance instance = NewInstance(collector);
    engine->SetIntOption(instance.get(), ThreatScanner::OptionScanArchives,
                         request.scanArchives ? 1 : 0);
    for (const std::wstring& path : request.paths)
    {
        if (stop->Requested())
            break; // what was not scanned is not listed
        const int result = engine->ScanPath(instance.get(), 0, path.c_str(), CurrentProcessId());
        LogFailure(result, "Couldn't perform custom scan. Error: ");
        summary.scanPaths.push_back(path);
    }
}

void Scanner::BootScan(ScanCollector& collector)
{
    const Instance instance = NewInstance(collector);
    const FileSystemHelper::Drives drives;
    for (const auto& drive : drives)
    {
        if (stop->Requested())
            break;
        if (FileSystemHelper::DriveTypeOf(drive->rootPath) != FileSystemHelper::DriveFixed)
            continue;
        ScanBootSector(instance.get(), drive->rootPath);
        summary.scanPaths.push_back(drive->rootPath);
    }
}
} // namespace CorvaneCommandLineScanner
