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

void ScanCallback(_ScanCbkParams* params, int* action, void* context)
{
    if (!params)
        return;
    // Nothing may unwind into the engine's own frames.
    try
    {
        ConsoleHelper::Print(L"Object Path: %s. Parent Containers: %s. Inner Object: %s\n",
                             params->objectPath, params->parentContainers, params->innerObject);
        if (!context)
        {
            Log(L"Error", "No self");
            return;
        }
        Scanner& scanner = *static_cast<Scanner*>(context);

        if (params->scanStatus == ThreatScanner::StatusInfected ||
            params->scanStatus == ThreatScanner::StatusSuspicious)
        {
            if (params->objectPath && HasTrustedSignature(params->objectPath))
            {
                Log(L"Debug", "tellmark digital signature is valid. path=", params->objectPath);
                return;
            }
            auto object = boost::make_shared<InfectedObject>(*params, scanner.request.action);
            scanner.summary.infectedObjects.push_back(object);
            scanner.pendingObject = object;
            if (action)
                *action = scanner.request.action;
            return;
        }

        // A call with the status ScanFailed reports an object the engine could not read in full
        // or act on, with the result code in the status flags. It is logged with the object's
        // path; a detection waiting for its outcome keeps its status (a failed action leaves
        // the object as it was found), and ends when the failure is about that object.
        if (params->scanStatus == ThreatScanner::StatusScanFailed)
        {
            const std::wstring path = Text(params->objectPath);
            Log(L"Error", "Couldn't scan or act on object. Path: ", path,
                ". Error: ", EngineResultName(params->scanStatusFlags));
            if (scanner.pendingObject && scanner.pendingObject->objectPath == path)
                scanner.pendingObject.reset();
            return;
        }

        // The engine reports the outcome of the action it took as the next call that is not a
        // detection; engines report it under the path they choose (a quarantined file's new
        // place, for example), so the call is not matched against the detection's path.
        if (scanner.pendingObject)
        {
            scanner.pendingObject->scanStatus = params->scanStatus;
            scanner.pendingObject.reset();
        }
    }
    catch (const std::exception& error)
    {
        Log(L"Error", error.what());
    }
}
} // namespace CorvaneCommandLineScanner
