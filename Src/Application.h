#pragma once

#include "CommandLineOptions.h"
#include "ScanRequest.h"

namespace CorvaneCommandLineScanner
{
// The scan request that the options describe (scan type by precedence quick, full, custom,
// boot; custom paths and the archives flag for a custom scan only).
ScanRequest BuildScanRequest(const CommandLineOptions& options);

// One run of the program: options, settings, log, one job, the duration line.
void RunApplication();
} // namespace CorvaneCommandLineScanner
