#include "Logger.h"
#include "Scanner/EngineCodeNames.h"
#include "Scanner/Scanner.h"
#include "Scanner/TrustedSignature.h"

#include "ConsoleHelper/Console.h"

#include <boost/make_shared.hpp>

namespace CorvaneCommandLineScanner
{
namespace
{
std::wstring Text(const wchar_t* text)
{
    return text ? std::wstring(text) : std::wstring();
}

// What a call with a given status does to the detection waiting for its outcome.
enum class PendingRule
{
    Starts,           // a detection: it becomes the pending one
    Ends,             // the outcome of the action on the detection: stored as its status
    EndsIfSameObject, // a failure: ends the detection when it names the detected object, which
                      // keeps its status (a failed action leaves the object as it was found)
    Keeps             // a report about another object: the detection stays as it is
};

// Every status the engine speaks, and its rule. Only the outcome of an action ends a detection
// with a new status, so a report of a clean object can never make a detection read Clean.
// Statuses outside this table keep the detection as well.
struct StatusRule
{
    std::int32_t status;
    PendingRule rule;
};
constexpr StatusRule statusRules[] = {
    {ThreatScanner::StatusScanFailed, PendingRule::EndsIfSameObject},
    {ThreatScanner::StatusClean, PendingRule::Keeps},
    {ThreatScanner::StatusDisinfected, PendingRule::Ends},
    {ThreatScanner::StatusInfected, PendingRule::Starts},
    {ThreatScanner::StatusSuspicious, PendingRule::Starts},
    {ThreatScanner::StatusDeleted, PendingRule::Ends},
    {ThreatScanner::StatusMoved, PendingRule::Ends},
    {ThreatScanner::StatusHidden, PendingRule::Keeps},
    {ThreatScanner::StatusUpdateFailed, PendingRule::Ends},
    {ThreatScanner::StatusDeletedReboot, PendingRule::Ends},
    {ThreatScanner::StatusPasswordProtected, PendingRule::Keeps},
    {ThreatScanner::StatusMovedReboot, PendingRule::Ends},
};

PendingRule RuleOf(std::int32_t status)
{
    for (const StatusRule& entry : statusRules)
    {
        if (entry.status == status)
            return entry.rule;
    }
    return PendingRule::Keeps;
}
} // namespace

InfectedObject::InfectedObject(const _ScanCbkParams& params, std::int32_t action)
    : objectType(params.objectType), objectPath(Text(params.objectPath)),
      parentContainers(Text(params.parentContainers)), innerObject(Text(params.innerObject)),
      objectFlags(params.objectFlags), archiveFlags(params.archiveFlags),
      scanStatus(params.scanStatus), scanStatusFlags(params.scanStatusFlags),
      threatType(params.threatType), pid(params.processId), regKey(params.registryKey),
      threatName(Text(params.threatName)),
      sysObjParentContainers(Text(params.sysObjParentContainers)),
      sysObjInnerObject(Text(params.sysObjInnerObject)), tempPath(Text(params.tempPath)),
      depthLevel(params.depthLevel), scanAction(action)
{
}

void ScanCollector::Report(const _ScanCbkParams& params, int* answer)
{
    const PendingRule rule = RuleOf(params.scanStatus);
    if (rule == PendingRule::Starts)
    {
        if (params.objectPath && HasTrustedSignature(params))
        {
            Log(L"Debug", "tellmark digital signature is valid. path=", params.objectPath);
            return;
        }
        auto object = boost::make_shared<InfectedObject>(params, action);
        detections.push_back(object);
        pending = object;
        if (answer)
            *answer = action;
        return;
    }

    // A call with the status ScanFailed reports an object the engine could not read in full or
    // act on, with the result code in the status flags. It is logged with the object's path.
    if (rule == PendingRule::EndsIfSameObject)
    {
        const std::wstring path = Text(params.objectPath);
        Log(L"Error", "Couldn't scan or act on object. Path: ", path,
            ". Error: ", EngineResultName(params.scanStatusFlags));
        if (pending && pending->objectPath == path)
        {
            if (params.scanStatusFlags == ThreatScanner::PathAccess)
                ++refusedActions;
            pending.reset();
        }
        return;
    }

    // The engine reports the outcome of the action it took as the next call after the
    // detection; engines report it under the path they choose (a quarantined file's new place,
    // for example), so the call is not matched against the detection's path.
    if (rule == PendingRule::Ends && pending)
    {
        pending->scanStatus = params.scanStatus;
        pending.reset();
    }
}

void ScanCallback(_ScanCbkParams* params, int* action, void* context)
{
    if (!params)
        return;
    // Nothing may unwind into the engine's own frames.
    try
    {
        auto* collector = static_cast<ScanCollector*>(context);
        ConsoleHelper::PrintTo(collector ? collector->Output() : ConsoleHelper::WideOut(),
                               L"Object Path: %s. Parent Containers: %s. Inner Object: %s\n",
                               params->objectPath, params->parentContainers, params->innerObject);
        if (!collector)
        {
            Log(L"Error", "No self");
            return;
        }
        collector->Report(*params, action);
    }
    catch (const std::exception& error)
    {
        Log(L"Error", error.what());
    }
}
} // namespace CorvaneCommandLineScanner
