#pragma once

#include "Installation.h"
#include "ScriptedEngine.h"

#include <boost/json.hpp>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace CorvaneTest
{
// An installation with the scripted engine as scan.dll.
class EngineInstallation : public Installation
{
public:
    explicit EngineInstallation(const std::string& script = "{}",
                                const boost::filesystem::path& folderName = "Corvane Scanner");

    // Replaces the engine's script.
    void Script(const std::string& script) const;

    // The engine's recorded calls, all or those of one export.
    std::vector<boost::json::object> Calls() const;
    std::vector<boost::json::object> Calls(const std::string& name) const;
    // The names of the recorded calls, in order.
    std::vector<std::string> CallNames() const;

    // The lines of this run's log file (no file: none).
    std::vector<std::string> LogLines() const;
};

// The report path the console names after "You can access scan result here: ", or empty.
std::string ReportPathFromOutput(const std::string& output);

// Parses a report file; fails the test when it does not parse.
void LoadReport(pugi::xml_document& document, const boost::filesystem::path& path);

// The Value attributes of the report's ScanPaths.
std::vector<std::string> ReportedPaths(const pugi::xml_document& document);

// A JSON string value as std::string; null gives "(null)".
std::string Text(const boost::json::value& value);
} // namespace CorvaneTest
