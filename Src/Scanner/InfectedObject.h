#pragma once

#include "ThreatScanner/ThreatScanner.h"

#include <cstdint>
#include <string>

namespace CorvaneCommandLineScanner
{
// One detection, copied from the engine's callback record. Null strings become empty.
struct InfectedObject
{
    InfectedObject() = default;
    InfectedObject(const _ScanCbkParams& params, std::int32_t action);

    std::int32_t objectType = 0;
    std::wstring objectPath;
    std::wstring parentContainers;
    std::wstring innerObject;
    std::uint32_t objectFlags = 0;
    std::int32_t archiveFlags = 0;
    std::int32_t scanStatus = 0; // the detection's status, later the outcome of its action
    std::int32_t scanStatusFlags = 0;
    std::int32_t threatType = 0;
    std::uint32_t pid = 0;
    std::uint32_t regKey = 0;
    std::wstring threatName;
    std::wstring sysObjParentContainers;
    std::wstring sysObjInnerObject;
    std::wstring tempPath;
    std::uint32_t depthLevel = 0;
    std::int32_t scanAction = ThreatScanner::ActionNone;
};
} // namespace CorvaneCommandLineScanner
