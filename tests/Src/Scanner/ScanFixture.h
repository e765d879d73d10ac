#pragma once

#include "Installation.h"
#include "JobEnvironment.h"
#include "ScriptedEngine.h"

#include <boost/json.hpp>
#include <pugixml.hpp>
#include <sstream>
#include <streambuf>
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

// A job's console output, narrow and wide text in the order written, wide text as UTF-8.
class CapturedConsole : private std::wstreambuf
{
public:
    CapturedConsole() : wide(this) {}

    std::string Text() const { return narrow.str(); }

    std::ostringstream narrow;
    std::wostream wide;

private:
    std::streamsize xsputn(const wchar_t* text, std::streamsize count) override;
    int_type overflow(int_type character) override;
};

// A job environment for the program folder, writing to the console capture.
CorvaneCommandLineScanner::JobEnvironment TestEnvironment(const boost::filesystem::path& folder,
                                                          CapturedConsole& console);

// The lines this test program has logged since the object was made; the log is kept in a folder
// of its own for the whole test program.
class LogCapture
{
public:
    LogCapture();
    std::vector<std::string> Lines() const;

private:
    std::size_t start;
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
