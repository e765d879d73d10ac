#pragma once

#include "ThreatScanner/ThreatScanner.h"

#include <cstdint>
#include <string>
#include <vector>

namespace CorvaneCommandLineScanner
{
// Scan types, named in reports as Quick, Full, Custom and Boot (the numbers index the names).
enum class ScanType : std::int32_t
{
    Quick = 0,
    Full = 1,
    Custom = 2,
    Boot = 3,
};

// The settings of one scan, from the command line to the scanner.
struct ScanRequest
{
    ScanType scanType = ScanType::Quick;
    std::vector<std::wstring> paths; // custom scan only, in the order given
    ThreatScanner::Action action = ThreatScanner::ActionNone; // applied to detections
    std::wstring resultPath;                                  // --scan-result, or empty
    bool scanArchives = true;
};
} // namespace CorvaneCommandLineScanner
