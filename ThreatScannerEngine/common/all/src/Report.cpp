#include "Report.h"
#include "FileSystem.h"

#include "Text.h"

#include <cstring>

namespace ThreatScannerEngine
{
namespace
{
const char* const containerSeparator = "=>";

struct ThreatClass
{
    std::int32_t status;
    std::int32_t threatType;
    std::uint32_t flags;
};

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

// Words in a threat name that give its category, first match wins.
struct Category
{
    const char* word;
    std::int32_t threatType;
    std::uint32_t flags;
};
const Category categories[] = {
    {"Limits.Exceeded", ThreatScanner::ThreatArchBomb, ThreatScanner::FlagArchBomb},
    {"ArchBomb", ThreatScanner::ThreatArchBomb, ThreatScanner::FlagArchBomb},
    {"Adware", ThreatScanner::ThreatAdware, ThreatScanner::FlagAdware},
    {"Spyware", ThreatScanner::ThreatSpyware, ThreatScanner::FlagSpyware},
    {"Dialer", ThreatScanner::ThreatDialer, ThreatScanner::FlagDialer},
    {"Rootkit", ThreatScanner::ThreatRootkit, 0},
    {"Phishing", ThreatScanner::ThreatSpam, 0},
    {"Spam", ThreatScanner::ThreatSpam, 0},
    {"PUA.", ThreatScanner::ThreatApp, ThreatScanner::FlagApp},
};

const char* const limitAlert = "Heuristics.Limits.Exceeded.";

// The scan call's result for an object that reached one of the engine's limits; 0 for any other
// threat name.
int LimitResult(const std::string& name)
{
    if (name.rfind(limitAlert, 0) != 0)
        return ThreatScanner::Success;
    const std::string limit = name.substr(std::strlen(limitAlert));
    if (limit == "MaxRecursion")
        return ThreatScanner::MaxLevels;
    if (limit == "MaxFiles")
        return ThreatScanner::MaxFiles;
    if (limit == "MaxScanTime")
        return ThreatScanner::Stopped;
    return ThreatScanner::MaxBytes; // file size, scan size and the parsers' own size limits
}

// The definitions name what they find: heuristic and "Suspicious" names are only suspicious, and
// a category word in the name gives the threat type (a virus when there is none).
ThreatClass Classify(const std::string& name)
{
    ThreatClass result{ThreatScanner::StatusInfected, ThreatScanner::ThreatVirus, 0};
    if (name.rfind("Heuristics.", 0) == 0 || Contains(name, ".Suspicious."))
        result.status = ThreatScanner::StatusSuspicious;
    for (const Category& category : categories)
    {
        if (Contains(name, category.word))
        {
            result.threatType = category.threatType;
            result.flags = category.flags;
            break;
        }
    }
    return result;
}

// Definitions outside the official set get a marker appended to their names; it says nothing
// about the threat.
std::string ThreatName(const std::string& name)
{
    const std::string marker = ".UNOFFICIAL";
    if (name.size() > marker.size() &&
        name.compare(name.size() - marker.size(), marker.size(), marker) == 0)
        return name.substr(0, name.size() - marker.size());
    return name;
}

// The folder and name an action works on: the walk's held folder, or for objects found by path
// (the executables of processes) their folder opened without following any link.
bool ActionPlace(const Target& target, const FileIdentity& identity, const FileScanResult& scanned,
                 SharedFolder& held, ActionTarget& place)
{
    place.path = target.objectPath;
    place.identity = identity;
    place.scannedSize = scanned.scannedSize;
    place.scannedChange = scanned.scannedChange;
    if (target.folder)
    {
        held = target.folder;
        place.name = target.name;
    }
    else
    {
        std::string folder;
        if (!SplitPath(target.objectPath, folder, place.name))
            return false;
        held = std::make_shared<const Descriptor>(OpenFolder(folder, true));
        if (!held->Valid())
            return false;
    }
    place.folder = held->Get();
    return true;
}

int CarryOut(int action, const Target& target, const FileIdentity& identity,
             const FileScanResult& scanned, const std::string& quarantineFolder,
             const std::string& threatName, std::int32_t& status)
{
    if (action != ThreatScanner::ActionQuarMove && action != ThreatScanner::ActionDelete)
        return ThreatScanner::Success;
    SharedFolder held;
    ActionTarget place;
    const bool found = ActionPlace(target, identity, scanned, held, place);
    if (action == ThreatScanner::ActionQuarMove)
    {
        const int result =
            found ? QuarantineFile(place, quarantineFolder, threatName) : ThreatScanner::FileMove;
        if (result == ThreatScanner::Success)
            status = ThreatScanner::StatusMoved;
        return result;
    }
    if (action == ThreatScanner::ActionDelete)
    {
        const int result = found ? RemoveFile(place) : ThreatScanner::FileRemove;
        if (result == ThreatScanner::Success)
            status = ThreatScanner::StatusDeleted;
        return result;
    }
    // Nothing to do, or nothing this engine can do (disinfection, renaming, copies).
    return ThreatScanner::Success;
}
} // namespace

void Reporter::Report(const Target& target, const FileIdentity* identity,
                      const FileScanResult& result)
{
    bool fileGone = false;
    // Once the scan is to stop, what was found is still reported, but nothing more is done to it.
    const bool stopping = context.Stopping();
    for (const Detection& detection : result.detections)
    {
        const std::string threatName = ThreatName(detection.threatName);
        const ThreatClass threat = Classify(threatName);

        std::string containers;
        if (detection.depth > 0)
        {
            containers = target.objectPath;
            for (std::size_t i = 0; i + 1 < detection.members.size(); ++i)
                containers += containerSeparator + detection.members[i];
        }
        const std::wstring objectPath = ToWide(target.objectPath);
        const std::wstring parentContainers = ToWide(containers);
        const std::wstring innerObject =
            ToWide(detection.members.empty() ? std::string() : detection.members.back());
        const std::wstring wideThreatName = ToWide(threatName);
        const std::wstring empty;
        const std::wstring signer = result.verifiedSigner.value_or(std::wstring());

        _ScanCbkParams params;
        std::memset(&params, 0, sizeof params);
        params.size = sizeof params;
        params.objectType = target.objectType;
        params.objectPath = objectPath.c_str();
        params.parentContainers = parentContainers.c_str();
        params.innerObject = innerObject.c_str();
        params.objectFlags = threat.flags | (detection.depth > 0 ? ThreatScanner::FlagArchive : 0u);
        params.archiveFlags = detection.depth > 0 ? 1 : 0;
        params.scanStatus = threat.status;
        params.threatType = threat.threatType;
        params.processId = target.processId;
        params.threatName = wideThreatName.c_str();
        params.sysObjParentContainers = empty.c_str();
        params.sysObjInnerObject = empty.c_str();
        params.tempPath = empty.c_str();
        params.depthLevel = detection.depth;
        params.verifiedSigner = result.verifiedSigner ? signer.c_str() : nullptr;

        int action = ThreatScanner::ActionNone;
        if (context.callback)
            context.callback(&params, &action, context.callbackContext);

        // An object over a limit may well be harmless; it is shown, not moved or removed.
        if (const int limit = LimitResult(threatName); limit != ThreatScanner::Success)
        {
            Error(limit);
            continue;
        }
        // Members of archives are left alone: removing one would mean rewriting the archive. A
        // file the system would not open was not read, and the action could not open it either.
        if (detection.depth > 0 || !identity || fileGone || stopping || threatName == blockedAlert)
            continue;
        std::int32_t outcome = params.scanStatus;
        const int actionResult = CarryOut(action, target, *identity, result,
                                          context.quarantineFolder, threatName, outcome);
        if (actionResult != ThreatScanner::Success)
        {
            Failure(target.objectPath, target.objectType, actionResult, 0);
            continue;
        }
        if (outcome == threat.status)
            continue;
        fileGone = true;
        params.scanStatus = outcome;
        int ignored = ThreatScanner::ActionNone;
        if (context.callback)
            context.callback(&params, &ignored, context.callbackContext);
    }
    if (result.error != ThreatScanner::Success)
        Failure(target.objectPath, target.objectType, result.error,
                ThreatScanner::FlagUnableToRead);
}

void Reporter::Failure(const std::string& objectPath, std::int32_t objectType, int code,
                       std::uint32_t objectFlags)
{
    Error(code);
    if (!context.callback)
        return;
    const std::wstring path = ToWide(objectPath);
    const std::wstring empty;
    _ScanCbkParams params;
    std::memset(&params, 0, sizeof params);
    params.size = sizeof params;
    params.objectType = objectType;
    params.objectPath = path.c_str();
    params.parentContainers = empty.c_str();
    params.innerObject = empty.c_str();
    params.objectFlags = objectFlags;
    params.scanStatus = ThreatScanner::StatusScanFailed;
    params.scanStatusFlags = code;
    params.threatName = empty.c_str();
    params.sysObjParentContainers = empty.c_str();
    params.sysObjInnerObject = empty.c_str();
    params.tempPath = empty.c_str();
    int ignored = ThreatScanner::ActionNone;
    context.callback(&params, &ignored, context.callbackContext);
}
} // namespace ThreatScannerEngine
