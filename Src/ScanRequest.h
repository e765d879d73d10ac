#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CorvaneCommandLineScanner
{
// Scan types, named in reports as Quick, Full, Custom and Boot.
enum ScanType : std::int32_t
{
    ScanTypeQuick = 0,
    ScanTypeFull = 1,
    ScanTypeCustom = 2,
    ScanTypeBoot = 3,
};

// The settings of one scan, from the command line to the scanner.
struct ScanRequest
{
    std::int32_t scanType = ScanTypeQuick;
    std::vector<std::wstring> paths; // custom scan only, in the order given
    std::int32_t action = 1;         // engine action code applied to detections
    std::wstring resultPath;         // --scan-result, or empty
    bool scanArchives = true;
};
} // namespace CorvaneCommandLineScanner
