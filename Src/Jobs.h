#pragma once

#include "ScanRequest.h"

#include <boost/filesystem/path.hpp>
#include <string>
#include <vector>

// The jobs the entry point dispatches to; each reports its own outcome on the console.
namespace CorvaneCommandLineScanner
{
void PrintProductInfo();
void PrintDefinitionsInfo();
// The version line of update.txt in the definitions' Plugins folder ("Version: ..."), or empty.
std::string DefinitionsVersionText();
// The same from the given file.
std::string DefinitionsVersionText(const boost::filesystem::path& path);
// The official signature databases that update.txt describes, one line each as the definitions
// information shows them ("Official database: daily.cvd, version 27100, built <UTC time>").
std::vector<std::string> OfficialDatabaseLines(const boost::filesystem::path& path);
void UpdateDefinitions();
void CheckApplicationUpdate();
void RunScan(const ScanRequest& request);
} // namespace CorvaneCommandLineScanner
