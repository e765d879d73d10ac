#pragma once

#include "ThreatScanner/ThreatScanner.h"

#include <boost/program_options/variables_map.hpp>
#include <string>
#include <vector>

namespace CorvaneCommandLineScanner
{
// A command line that could not be parsed: the parser's message and the help text.
class InvalidCommandLine
{
public:
    InvalidCommandLine(std::string message, std::string helpText)
        : message(std::move(message)), helpText(std::move(helpText))
    {
    }

    std::string Message() const { return message; }
    std::string HelpText() const { return helpText; }

private:
    std::string message;
    std::string helpText;
};

// The parsed command line of this process. Immutable once built.
class CommandLineOptions
{
public:
    // Parses the process command line. Throws InvalidCommandLine.
    CommandLineOptions();
    // Parses the given tokens (the program path first).
    explicit CommandLineOptions(const std::vector<std::wstring>& tokens);

    const std::string& HelpText() const { return helpText; }

    bool Help() const { return Has("help"); }
    bool UpdateDefs() const { return Has("updatedefs"); }
    bool Quick() const { return Has("quick"); }
    bool Full() const { return Has("full"); }
    bool Custom() const { return Has("custom"); }
    bool Boot() const { return Has("boot"); }
    bool ProductInfo() const { return Has("product-info"); }
    bool DefinitionsInfo() const { return Has("definitions-info"); }
    bool UpdateApp() const { return Has("updateapp"); }
    bool ScanResultStdout() const { return Has("scan-result-stdout"); }
    bool ScanArchives() const { return Has("scan-archives"); }

    // The engine action: quarantine (move), else delete, else disinfect, else none.
    ThreatScanner::Action Action() const;

    // The --custom value split at ";" with blanks trimmed; empty segments stay.
    std::vector<std::wstring> CustomPaths() const;

    // The --scan-result value, or empty.
    std::wstring ScanResultPath() const;

private:
    bool Has(const char* name) const { return options.count(name) != 0; }

    boost::program_options::variables_map options;
    std::string helpText;
};
} // namespace CorvaneCommandLineScanner
