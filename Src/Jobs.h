#pragma once

#include "ScanRequest.h"

#include <string>

// The jobs the entry point dispatches to; each reports its own outcome on the console.
namespace CorvaneCommandLineScanner
{
void PrintProductInfo();
void PrintDefinitionsInfo();
// The version line of Plugins/update.txt ("Version: ..."), or empty.
std::string DefinitionsVersionText();
void UpdateDefinitions();
void CheckApplicationUpdate();
void RunScan(const ScanRequest& request);
} // namespace CorvaneCommandLineScanner
