#pragma once

#include "ScanRequest.h"

// The jobs the entry point dispatches to; each reports its own outcome on the console.
namespace CorvaneCommandLineScanner
{
void PrintProductInfo();
void PrintDefinitionsInfo();
void UpdateDefinitions();
void CheckApplicationUpdate();
void RunScan(const ScanRequest& request);
} // namespace CorvaneCommandLineScanner
